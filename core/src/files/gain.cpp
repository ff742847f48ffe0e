#include "files/gain.hpp"

#include <cstddef>
#include <limits>

namespace kestrune {
namespace {

// NaN passes both comparisons unchanged.
float clamp_unit(float v) {
    v = v < -1.0f ? -1.0f : v;
    return v > 1.0f ? 1.0f : v;
}

// Rounds toward zero and saturates as a float-to-int conversion should: the
// largest float below 2^31 is 2,147,483,520, everything above it saturates.
// Written as selects around one in-range conversion so that it vectorises.
std::int32_t truncate_saturating(float w) {
    const bool over = w >= 2147483648.0f;
    const bool under = w < -2147483648.0f;
    const float safe = (over || under || w != w) ? 0.0f : w;
    const auto t = static_cast<std::int32_t>(safe);
    return over ? std::numeric_limits<std::int32_t>::max()
                : (under ? std::numeric_limits<std::int32_t>::min() : t);
}

float scaled(float s, float fs, float g) {
    return clamp_unit((s / fs) * g) * fs;
}

template <class T, class F>
void each(std::span<const T> in, std::span<T> out, F f) {
    const std::size_t n = in.size() < out.size() ? in.size() : out.size();
    for (std::size_t i = 0; i < n; ++i)
        out[i] = f(in[i]);
}

}  // namespace

std::int32_t scale_sample(std::int32_t s, float fs, float g) {
    return truncate_saturating(scaled(static_cast<float>(s), fs, g));
}

void apply_gain(std::span<const std::int32_t> in, std::span<std::int32_t> out, float fs, float g) {
    each(in, out, [fs, g](std::int32_t s) { return scale_sample(s, fs, g); });
}

void apply_gain(std::span<const float> in, std::span<float> out, float g) {
    each(in, out, [g](float x) { return clamp_unit(x * g); });
}

GainTable::GainTable(float fs, float g) : table_(65536) {
    for (std::int32_t s = -32768; s <= 32767; ++s)
        table_[static_cast<std::size_t>(s + 32768)] =
            static_cast<std::int16_t>(scale_sample(s, fs, g));
}

void GainTable::apply(std::span<const std::int16_t> in, std::span<std::int16_t> out) const {
    const std::size_t n = in.size() < out.size() ? in.size() : out.size();
    const std::int16_t* table = table_.data();
    for (std::size_t i = 0; i < n; ++i)
        out[i] = table[in[i] + 32768];
}

}  // namespace kestrune
