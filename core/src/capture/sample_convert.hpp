#pragma once
// Packet samples of every supported encoding to 32-bit floats.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "capture/wave_format.hpp"

namespace kestrune {

[[nodiscard]] std::size_t bytes_per_sample(SampleEncoding encoding);

// Appends `samples` converted samples read from `data` (little-endian) to out:
// F32 clamped to [-1, 1] with NaN kept, I16 / 32767, I24 / 2^23, I32 * 2^-31,
// U8 (u - 128) / 127.5.
void append_converted(SampleEncoding encoding, const std::uint8_t* data, std::size_t samples,
                      std::vector<float>& out);

}  // namespace kestrune
