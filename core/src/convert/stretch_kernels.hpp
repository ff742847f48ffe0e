#pragma once
// The inner loops of the drift stretch: one output frame per step from TAPS
// input frames, the position in fixed point. A baseline build for every
// x86-64 (or other) processor and, where the compiler can make it, one for
// processors with AVX2 and FMA; the stretch picks one once.

#include <cstddef>
#include <cstdint>

namespace kestrune::stretch {

inline constexpr int TAPS = 16;
inline constexpr int HALF = TAPS / 2;
inline constexpr int PHASE_BITS = 12;
inline constexpr int PHASES = 1 << PHASE_BITS;
// The position's fraction; the nearest phase is its top PHASE_BITS, rounded.
inline constexpr int FRACTION_BITS = 40;
inline constexpr std::uint64_t FRACTION_MASK = (std::uint64_t{1} << FRACTION_BITS) - 1;
inline constexpr std::uint64_t PHASE_ROUNDING = std::uint64_t{1}
                                                << (FRACTION_BITS - PHASE_BITS - 1);

// The table row nearest to a position's fraction (0 to PHASES).
[[nodiscard]] inline std::size_t phase_of(std::uint64_t pos) {
    return static_cast<std::size_t>(((pos & FRACTION_MASK) + PHASE_ROUNDING) >>
                                    (FRACTION_BITS - PHASE_BITS));
}

// One run of outputs. x is the input frame that the first tap of position 0
// reads; outputs stop after n or when the position reaches `last`.
struct Run {
    const float* x;
    float* y;
    std::size_t n;
    std::uint64_t pos;
    std::uint64_t step;
    std::uint64_t last;
    // PHASES + 1 rows of TAPS coefficients; the same with each coefficient
    // twice, for interleaved stereo.
    const float* table;
    const float* pair_table;
};

// Each returns the outputs made and leaves run.pos after the last.
using Kernel = std::size_t (*)(Run& run);

struct Kernels {
    Kernel mono;
    Kernel stereo;
};

[[nodiscard]] Kernels baseline_kernels();
// Null kernels when this build or processor has no AVX2 and FMA.
[[nodiscard]] Kernels avx2_kernels();

}  // namespace kestrune::stretch
