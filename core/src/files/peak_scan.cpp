#include "files/peak_scan.hpp"

#include <cstddef>

namespace kestrune {
namespace {

// Independent lanes with a fixed count let the compiler keep them in vector
// registers at every optimisation level that vectorises at all.
constexpr std::size_t LANES = 32;

template <class Acc, class T, class Magnitude>
Acc lane_max(std::span<const T> samples, Magnitude magnitude) {
    Acc lanes[LANES] = {};
    const std::size_t n = samples.size();
    const T* p = samples.data();
    std::size_t i = 0;
    for (; i + LANES <= n; i += LANES) {
        for (std::size_t j = 0; j < LANES; ++j) {
            const Acc a = magnitude(p[i + j]);
            lanes[j] = a > lanes[j] ? a : lanes[j];
        }
    }
    Acc m = 0;
    for (; i < n; ++i) {
        const Acc a = magnitude(p[i]);
        m = a > m ? a : m;
    }
    for (const Acc a : lanes)
        m = a > m ? a : m;
    return m;
}

}  // namespace

float full_scale(std::uint16_t bits) {
    switch (bits) {
        case 8:
            return 127.0f;
        case 16:
            return 32767.0f;
        case 24:
            return 8388607.0f;
        default:
            return 2147483648.0f;
    }
}

std::uint32_t max_magnitude(std::span<const std::int16_t> samples) {
    return static_cast<std::uint32_t>(lane_max<std::int32_t>(samples, [](std::int16_t s) {
        const std::int32_t v = s;
        return v < 0 ? -v : v;
    }));
}

std::uint32_t max_magnitude(std::span<const std::int32_t> samples) {
    return lane_max<std::uint32_t>(samples, [](std::int32_t s) {
        const auto v = static_cast<std::uint32_t>(s);
        return s < 0 ? 0u - v : v;
    });
}

float max_magnitude(std::span<const float> samples) {
    return lane_max<float>(samples, [](float x) { return x < 0.0f ? -x : x; });
}

}  // namespace kestrune
