#include "channel_map.hpp"

#include <algorithm>
#include <bit>
#include <optional>
#include <utility>

namespace kestrune {
namespace {

// -3 dB.
constexpr float HALF_POWER = 0.70710678f;

// A speaker's share of the left and right sides in a stereo fold-down.
std::pair<float, float> stereo_share(std::uint32_t position) {
    using namespace speaker;
    switch (position) {
        case FRONT_LEFT:
        case FRONT_LEFT_OF_CENTER:
            return {1.0f, 0.0f};
        case FRONT_RIGHT:
        case FRONT_RIGHT_OF_CENTER:
            return {0.0f, 1.0f};
        case FRONT_CENTER:
        case BACK_CENTER:
        case TOP_CENTER:
        case TOP_FRONT_CENTER:
        case TOP_BACK_CENTER:
            return {HALF_POWER, HALF_POWER};
        case BACK_LEFT:
        case SIDE_LEFT:
        case TOP_FRONT_LEFT:
        case TOP_BACK_LEFT:
            return {HALF_POWER, 0.0f};
        case BACK_RIGHT:
        case SIDE_RIGHT:
        case TOP_FRONT_RIGHT:
        case TOP_BACK_RIGHT:
            return {0.0f, HALF_POWER};
        default:
            return {0.0f, 0.0f};  // the LFE, and positions without a name
    }
}

// Surrounds are called side or back depending on the layout; either stands in
// for the other.
std::uint32_t stand_in(std::uint32_t position) {
    using namespace speaker;
    switch (position) {
        case SIDE_LEFT:
            return BACK_LEFT;
        case SIDE_RIGHT:
            return BACK_RIGHT;
        case BACK_LEFT:
            return SIDE_LEFT;
        case BACK_RIGHT:
            return SIDE_RIGHT;
        default:
            return 0;
    }
}

// The speaker of each channel: the mask's set bits in order; channels beyond
// them have none (0).
std::vector<std::uint32_t> positions(std::uint32_t mask, std::uint16_t channels) {
    std::vector<std::uint32_t> out(channels, 0);
    for (std::uint16_t c = 0; c < channels && mask != 0; ++c) {
        const std::uint32_t bit = mask & (~mask + 1);
        out[c] = bit;
        mask &= ~bit;
    }
    return out;
}

std::optional<std::size_t> index_in(std::uint32_t mask, std::uint32_t position) {
    if (position == 0 || (mask & position) == 0)
        return std::nullopt;
    return static_cast<std::size_t>(std::popcount(mask & (position - 1)));
}

}  // namespace

std::uint32_t default_channel_mask(std::uint16_t channels) {
    switch (channels) {
        case 1:
            return 0x4;
        case 2:
            return 0x3;
        case 3:
            return 0x7;
        case 4:
            return 0x33;
        case 5:
            return 0x37;
        case 6:
            return 0x3F;
        case 7:
            return 0x13F;
        case 8:
            return 0x63F;
        default:
            return 0;
    }
}

ChannelMap::ChannelMap(std::uint16_t from, std::uint16_t to, std::uint32_t mask)
    : from_(from), to_(to) {
    if (from == 0 || from == to) {
        kind_ = Kind::Pass;
        return;
    }
    if (from == 1 && to == 2) {
        kind_ = Kind::Duplicate;
        return;
    }
    if (from == 2 && to == 1) {
        kind_ = Kind::Average;
        return;
    }
    const std::uint32_t out_mask = to <= 2 ? 0x3 : default_channel_mask(to);
    if (from < to || to == 0 || out_mask == 0) {
        kind_ = Kind::Pad;
        return;
    }
    // 0x80000000 (every speaker) says as little as no mask at all.
    if (mask == 0 || (mask & 0x80000000u) != 0)
        mask = default_channel_mask(from);
    kind_ = Kind::Matrix;
    const std::uint16_t rows = std::max<std::uint16_t>(to, 2);
    std::vector<float> g(static_cast<std::size_t>(rows) * from, 0.0f);
    const std::vector<std::uint32_t> in = positions(mask, from);
    for (std::uint16_t c = 0; c < from; ++c) {
        std::optional<std::size_t> direct = to > 2 ? index_in(out_mask, in[c]) : std::nullopt;
        if (!direct && to > 2)
            direct = index_in(out_mask, stand_in(in[c]));
        if (direct) {
            g[*direct * from + c] = 1.0f;
            continue;
        }
        // Every layout of two or more channels starts with front left and right.
        const auto [left, right] = stereo_share(in[c]);
        g[c] += left;
        g[static_cast<std::size_t>(from) + c] += right;
    }
    if (to == 1) {
        gains_.resize(from);
        for (std::uint16_t c = 0; c < from; ++c)
            gains_[c] = 0.5f * (g[c] + g[static_cast<std::size_t>(from) + c]);
    } else {
        gains_ = std::move(g);
    }
}

void ChannelMap::apply(std::span<const float> samples, std::vector<float>& out) const {
    if (kind_ == Kind::Pass) {
        out.insert(out.end(), samples.begin(), samples.end());
        return;
    }
    const std::size_t frames = samples.size() / from_;
    out.reserve(out.size() + frames * to_);
    const float* in = samples.data();
    for (std::size_t f = 0; f < frames; ++f, in += from_) {
        switch (kind_) {
            case Kind::Duplicate:
                out.push_back(in[0]);
                out.push_back(in[0]);
                break;
            case Kind::Average:
                out.push_back((in[0] + in[1]) * 0.5f);
                break;
            case Kind::Matrix:
                for (std::uint16_t d = 0; d < to_; ++d) {
                    const float* row = gains_.data() + static_cast<std::size_t>(d) * from_;
                    float v = 0.0f;
                    for (std::uint16_t c = 0; c < from_; ++c)
                        v += row[c] * in[c];
                    out.push_back(v);
                }
                break;
            case Kind::Pad:
                for (std::uint16_t d = 0; d < to_; ++d)
                    out.push_back(d < from_ ? in[d] : 0.0f);
                break;
            case Kind::Pass:
                break;
        }
    }
}

void map_channels(std::span<const float> samples, std::uint16_t from, std::uint16_t to,
                  std::vector<float>& out, std::uint32_t mask) {
    ChannelMap(from, to, mask).apply(samples, out);
}

}  // namespace kestrune
