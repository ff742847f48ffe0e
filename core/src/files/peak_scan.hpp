#pragma once
// Sample magnitudes relative to full scale, one block at a time.

#include <cstdint>
#include <span>

namespace kestrune {

// fs of an integer depth: 127, 32767, 8388607 or 2147483648 for 8, 16, 24 and
// 32 bits. The asymmetric 32-bit value makes its most negative sample exactly
// full scale.
[[nodiscard]] float full_scale(std::uint16_t bits);

// Largest |s| of the block, as an integer; 0 for an empty block. |s| ÷ fs grows
// with |s| in single precision, so dividing this once gives the block's peak.
[[nodiscard]] std::uint32_t max_magnitude(std::span<const std::int16_t> samples);
[[nodiscard]] std::uint32_t max_magnitude(std::span<const std::int32_t> samples);
// Largest |x|; NaN never raises it.
[[nodiscard]] float max_magnitude(std::span<const float> samples);

}  // namespace kestrune
