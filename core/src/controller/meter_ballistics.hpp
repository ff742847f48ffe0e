#pragma once
// How a level meter moves: peaks in dBFS from -60 to 0, rising at once and
// falling back at a steady rate, a peak hold that stays for a moment, and a
// clip mark that stays a little longer so that a short overload is seen.

#include <chrono>
#include <optional>

namespace kestrune {

inline constexpr float METER_FLOOR_DB = -60.0f;
inline constexpr float METER_FALL_DB_PER_SECOND = 30.0f;
inline constexpr std::chrono::milliseconds METER_HOLD{1500};
inline constexpr std::chrono::milliseconds METER_CLIP_HOLD{3000};
// A sample this close to full scale counts as clipped: the largest 16-bit
// value is 32767/32768.
inline constexpr float METER_CLIP_PEAK = 0.9999f;

// 20 log10(peak), within METER_FLOOR_DB..0; the floor for silence and NaN.
[[nodiscard]] float peak_dbfs(float peak);

class MeterBallistics {
public:
    // The highest absolute sample since the last update (0 when none came).
    void update(float peak, std::chrono::steady_clock::time_point now);

    [[nodiscard]] float level_db() const { return level_db_; }
    [[nodiscard]] float hold_db() const { return hold_db_; }
    [[nodiscard]] bool clipped() const { return clip_until_.has_value(); }

private:
    float level_db_ = METER_FLOOR_DB;
    float hold_db_ = METER_FLOOR_DB;
    std::optional<std::chrono::steady_clock::time_point> last_;
    std::chrono::steady_clock::time_point hold_since_{};
    std::optional<std::chrono::steady_clock::time_point> clip_until_;
};

}  // namespace kestrune
