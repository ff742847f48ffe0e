#pragma once
// The processor's sense of time: a monotonic clock and a sleep that is as
// close to what was asked as the platform allows. Benchmarks and tests can
// supply their own.

#include <chrono>
#include <memory>

namespace kestrune {

class CycleClock {
public:
    virtual ~CycleClock() = default;
    // Monotonic; only differences mean anything.
    [[nodiscard]] virtual std::chrono::nanoseconds now() = 0;
    virtual void sleep_for(std::chrono::nanoseconds duration) = 0;
};

// The platform's precise clock. On Windows it holds a high-resolution timer
// (or a raised system timer resolution) for as long as it lives, so it should
// live only while recording.
[[nodiscard]] std::unique_ptr<CycleClock> make_system_cycle_clock();

}  // namespace kestrune
