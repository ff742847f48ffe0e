#include "capture/sample_convert.hpp"

#include <cmath>
#include <cstring>

namespace kestrune {
namespace {

template <class T>
T load(const std::uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

float clamp_unit(float x) {
    if (std::isnan(x))
        return x;
    return x < -1.0f ? -1.0f : (x > 1.0f ? 1.0f : x);
}

}  // namespace

std::size_t bytes_per_sample(SampleEncoding encoding) {
    switch (encoding) {
        case SampleEncoding::U8:
            return 1;
        case SampleEncoding::I16:
            return 2;
        case SampleEncoding::I24:
            return 3;
        case SampleEncoding::F32:
        case SampleEncoding::I32:
            return 4;
    }
    return 4;
}

void append_converted(SampleEncoding encoding, const std::uint8_t* data, std::size_t samples,
                      std::vector<float>& out) {
    const std::size_t base = out.size();
    out.resize(base + samples);
    float* dst = out.data() + base;
    // One loop per encoding, so that each compiles to straight-line code.
    switch (encoding) {
        case SampleEncoding::F32:
            for (std::size_t i = 0; i < samples; ++i)
                dst[i] = clamp_unit(load<float>(data + 4 * i));
            break;
        case SampleEncoding::I16:
            for (std::size_t i = 0; i < samples; ++i)
                dst[i] = static_cast<float>(load<std::int16_t>(data + 2 * i)) / 32767.0f;
            break;
        case SampleEncoding::I24:
            for (std::size_t i = 0; i < samples; ++i) {
                const std::uint8_t* p = data + 3 * i;
                // The three bytes at the top of an int32 sign-extend it.
                const std::uint32_t raw = (static_cast<std::uint32_t>(p[0]) << 8) |
                                          (static_cast<std::uint32_t>(p[1]) << 16) |
                                          (static_cast<std::uint32_t>(p[2]) << 24);
                dst[i] =
                    static_cast<float>(static_cast<std::int32_t>(raw)) * (1.0f / 2147483648.0f);
            }
            break;
        case SampleEncoding::I32:
            for (std::size_t i = 0; i < samples; ++i)
                dst[i] =
                    static_cast<float>(load<std::int32_t>(data + 4 * i)) * (1.0f / 2147483648.0f);
            break;
        case SampleEncoding::U8:
            for (std::size_t i = 0; i < samples; ++i)
                dst[i] = (static_cast<float>(data[i]) - 128.0f) / 127.5f;
            break;
    }
}

}  // namespace kestrune
