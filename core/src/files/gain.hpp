#pragma once
// Scaling samples by a gain at their own depth, one block at a time. in and out
// may be the same storage.

#include <cstdint>
#include <span>
#include <vector>

namespace kestrune {

// y = trunc(clamp((s ÷ fs) × g, −1, 1) × fs) in single precision, in that order;
// NaN gives 0 and what exceeds the 32-bit range gives 2,147,483,647.
[[nodiscard]] std::int32_t scale_sample(std::int32_t s, float fs, float g);

void apply_gain(std::span<const std::int32_t> in, std::span<std::int32_t> out, float fs, float g);

// y = clamp(x × g, −1, 1); NaN stays NaN.
void apply_gain(std::span<const float> in, std::span<float> out, float g);

// scale_sample for 8- and 16-bit samples, looked up: a table over every value
// is cheaper than the division per sample once a block is longer than it.
class GainTable {
public:
    GainTable(float fs, float g);
    void apply(std::span<const std::int16_t> in, std::span<std::int16_t> out) const;

private:
    std::vector<std::int16_t> table_;  // indexed by s + 32768
};

}  // namespace kestrune
