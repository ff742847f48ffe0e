#pragma once
// What the benchmarks share: CPU time of the calling thread, a clock that
// moves only when the processor sleeps, and a session without locations.

#include <time.h>

#include <chrono>
#include <filesystem>
#include <optional>

#include "processor/processor.hpp"
#include "session/session.hpp"

namespace kestrune::bench {

inline double thread_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

class SteppedClock final : public CycleClock {
public:
    explicit SteppedClock(std::chrono::nanoseconds start = {}) : t_(start) {}
    std::chrono::nanoseconds now() override { return t_; }
    void sleep_for(std::chrono::nanoseconds d) override { t_ += d; }

private:
    std::chrono::nanoseconds t_;
};

struct NoLocations final : SessionLocations {
    std::optional<std::filesystem::path> working_dir() const override { return std::nullopt; }
    std::optional<std::filesystem::path> program_path() const override { return std::nullopt; }
    std::optional<std::filesystem::path> documents_dir() const override { return std::nullopt; }
};

}  // namespace kestrune::bench
