#pragma once
// Channel mapping from a source's channel count to its target's. Sources with
// more channels than the target are downmixed by speaker position, as a
// film's centre channel carries the dialogue and must not be lost.

#include <cstdint>
#include <span>
#include <vector>

namespace kestrune {

// Speaker positions as WAVEFORMATEXTENSIBLE.dwChannelMask sets them; the
// channels of a stream appear in the order of their bits.
namespace speaker {
inline constexpr std::uint32_t FRONT_LEFT = 0x1;
inline constexpr std::uint32_t FRONT_RIGHT = 0x2;
inline constexpr std::uint32_t FRONT_CENTER = 0x4;
inline constexpr std::uint32_t LOW_FREQUENCY = 0x8;
inline constexpr std::uint32_t BACK_LEFT = 0x10;
inline constexpr std::uint32_t BACK_RIGHT = 0x20;
inline constexpr std::uint32_t FRONT_LEFT_OF_CENTER = 0x40;
inline constexpr std::uint32_t FRONT_RIGHT_OF_CENTER = 0x80;
inline constexpr std::uint32_t BACK_CENTER = 0x100;
inline constexpr std::uint32_t SIDE_LEFT = 0x200;
inline constexpr std::uint32_t SIDE_RIGHT = 0x400;
inline constexpr std::uint32_t TOP_CENTER = 0x800;
inline constexpr std::uint32_t TOP_FRONT_LEFT = 0x1000;
inline constexpr std::uint32_t TOP_FRONT_CENTER = 0x2000;
inline constexpr std::uint32_t TOP_FRONT_RIGHT = 0x4000;
inline constexpr std::uint32_t TOP_BACK_LEFT = 0x8000;
inline constexpr std::uint32_t TOP_BACK_CENTER = 0x10000;
inline constexpr std::uint32_t TOP_BACK_RIGHT = 0x20000;
}  // namespace speaker

// The usual layout of a channel count when a stream names none: mono is a
// centre, 6 is 5.1 with back surrounds, 8 is 7.1; 0 for counts without one.
[[nodiscard]] std::uint32_t default_channel_mask(std::uint16_t channels);

// Maps frames of `from` channels to frames of `to` channels:
// - equal counts, or from == 0: unchanged;
// - mono to stereo: the sample twice; stereo to mono: the average;
// - more channels than the target: downmixed by the speaker positions of
//   mask (0: the default layout of `from`). Into stereo, as ITU-R BS.775 has
//   it: centre at -3 dB into both sides, surround and back channels at -3 dB
//   into their side, LFE left out. Into mono: the average of that stereo.
//   Into a larger layout, speakers it has stay where they are and the rest
//   fold in as for stereo;
// - otherwise the channels that exist are copied and the rest is silence.
// A partial trailing frame is ignored.
class ChannelMap {
public:
    ChannelMap(std::uint16_t from, std::uint16_t to, std::uint32_t mask = 0);

    // Appends the mapped samples to out.
    void apply(std::span<const float> samples, std::vector<float>& out) const;

    [[nodiscard]] std::uint16_t from() const { return from_; }
    [[nodiscard]] std::uint16_t to() const { return to_; }

private:
    enum class Kind { Pass, Duplicate, Average, Matrix, Pad };

    std::uint16_t from_;
    std::uint16_t to_;
    Kind kind_ = Kind::Pass;
    std::vector<float> gains_;  // to_ rows of from_ gains, for Matrix
};

// One-off form of ChannelMap, for callers that map a single run.
void map_channels(std::span<const float> samples, std::uint16_t from, std::uint16_t to,
                  std::vector<float>& out, std::uint32_t mask = 0);

}  // namespace kestrune
