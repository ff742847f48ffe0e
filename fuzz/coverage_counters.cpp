// GCC's -fsanitize-coverage=trace-pc calls __sanitizer_cov_trace_pc at every
// basic block; libFuzzer reads inline 8-bit counters. This maps one onto the
// other: each calling address bumps a counter picked by a hash of it. Two
// blocks may share a counter; the fuzzer then sees a little less, never
// something false. The tables are global because the coverage interface is.

#include <cstddef>
#include <cstdint>

extern "C" {
void __sanitizer_cov_8bit_counters_init(std::uint8_t* start, std::uint8_t* stop);
void __sanitizer_cov_pcs_init(const std::uintptr_t* start, const std::uintptr_t* stop);
}

namespace {

constexpr std::size_t COUNTERS = std::size_t{1} << 16;

alignas(64) std::uint8_t counters[COUNTERS];
// A (pc, flags) pair per counter; the slot number stands in for the address.
std::uintptr_t pcs[2 * COUNTERS];

__attribute__((constructor)) void register_counters() {
    for (std::size_t i = 0; i < COUNTERS; ++i)
        pcs[2 * i] = i + 1;
    __sanitizer_cov_8bit_counters_init(counters, counters + COUNTERS);
    __sanitizer_cov_pcs_init(pcs, pcs + 2 * COUNTERS);
}

}  // namespace

extern "C" void __sanitizer_cov_trace_pc() {
    auto pc = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
    pc *= 0x9E3779B97F4A7C15ull;
    std::uint8_t& counter = counters[(pc >> 40) & (COUNTERS - 1)];
    if (counter != 0xFF)
        ++counter;
}

// GCC also reports float comparisons, which libFuzzer has no use for.
extern "C" void __sanitizer_cov_trace_cmpf(float, float) {}
extern "C" void __sanitizer_cov_trace_cmpd(double, double) {}
