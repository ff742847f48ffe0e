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
    const std::size_t step = bytes_per_sample(encoding);
    out.reserve(out.size() + samples);
    for (std::size_t i = 0; i < samples; ++i, data += step) {
        switch (encoding) {
            case SampleEncoding::F32:
                out.push_back(clamp_unit(load<float>(data)));
                break;
            case SampleEncoding::I16:
                out.push_back(static_cast<float>(load<std::int16_t>(data)) / 32767.0f);
                break;
            case SampleEncoding::I24: {
                // Shift the three bytes to the top of an int32 to sign-extend.
                const std::uint32_t raw = (static_cast<std::uint32_t>(data[0]) << 8) |
                                          (static_cast<std::uint32_t>(data[1]) << 16) |
                                          (static_cast<std::uint32_t>(data[2]) << 24);
                out.push_back(static_cast<float>(static_cast<std::int32_t>(raw)) *
                              (1.0f / 2147483648.0f));
                break;
            }
            case SampleEncoding::I32:
                out.push_back(static_cast<float>(load<std::int32_t>(data)) *
                              (1.0f / 2147483648.0f));
                break;
            case SampleEncoding::U8:
                out.push_back((static_cast<float>(data[0]) - 128.0f) / 127.5f);
                break;
        }
    }
}

}  // namespace kestrune
