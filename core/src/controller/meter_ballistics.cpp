#include "controller/meter_ballistics.hpp"

#include <algorithm>
#include <cmath>

namespace kestrune {

float peak_dbfs(float peak) {
    if (!(peak > 0.0f))
        return METER_FLOOR_DB;
    const float db = 20.0f * std::log10(peak);
    return std::clamp(db, METER_FLOOR_DB, 0.0f);
}

void MeterBallistics::update(float peak, std::chrono::steady_clock::time_point now) {
    // A clock that went back counts as no time passed.
    const float seconds =
        last_ && now > *last_ ? std::chrono::duration<float>(now - *last_).count() : 0.0f;
    last_ = now;
    const float fall = METER_FALL_DB_PER_SECOND * seconds;
    const float db = peak_dbfs(peak);

    level_db_ = std::max(db, std::max(level_db_ - fall, METER_FLOOR_DB));
    if (db >= hold_db_) {
        hold_db_ = db;
        hold_since_ = now;
    } else if (now - hold_since_ >= METER_HOLD) {
        hold_db_ = std::max(level_db_, hold_db_ - fall);
    }
    if (peak >= METER_CLIP_PEAK) {
        clip_until_ = now + METER_CLIP_HOLD;
    } else if (clip_until_ && now >= *clip_until_) {
        clip_until_.reset();
    }
}

}  // namespace kestrune
