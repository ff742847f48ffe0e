#include "files/read_peak.hpp"

#include <vector>

#include "files/peak_scan.hpp"

namespace kestrune {
namespace {

template <class T>
Result<float> scan(WavReader& reader, OnReadError on_error) {
    std::vector<T> block(block_samples(reader.format().channels));
    decltype(max_magnitude(std::span<const T>())) peak = 0;
    for (;;) {
        Result<std::size_t> n = reader.read(std::span<T>(block));
        if (!n) {
            if (on_error == OnReadError::Fail)
                return std::unexpected(std::move(n.error()));
            break;
        }
        if (*n == 0)
            break;
        const auto m = max_magnitude(std::span<const T>(block.data(), *n));
        if (m > peak)
            peak = m;
    }
    if constexpr (std::is_same_v<T, float>) {
        return peak;
    } else {
        return static_cast<float>(peak) / full_scale(reader.format().bits_per_sample);
    }
}

}  // namespace

std::size_t block_samples(std::uint16_t channels) {
    constexpr std::size_t target = std::size_t{1} << 17;
    const std::size_t c = channels == 0 ? 1 : channels;
    return target > c ? target / c * c : c;
}

Result<float> read_peak(WavReader& reader, OnReadError on_error) {
    const OutputFormat& f = reader.format();
    if (f.is_float)
        return scan<float>(reader, on_error);
    if (f.bits_per_sample <= 16)
        return scan<std::int16_t>(reader, on_error);
    return scan<std::int32_t>(reader, on_error);
}

}  // namespace kestrune
