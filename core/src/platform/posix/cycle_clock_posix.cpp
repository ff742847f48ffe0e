// Linux sleeps already have sub-millisecond precision; nanosleep on the
// monotonic clock just avoids drifting with wall-clock changes.

#include <time.h>

#include <cerrno>

#include "platform/cycle_clock.hpp"

namespace kestrune {
namespace {

class PosixCycleClock final : public CycleClock {
public:
    std::chrono::nanoseconds now() override {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::steady_clock::now().time_since_epoch());
    }

    void sleep_for(std::chrono::nanoseconds duration) override {
        if (duration.count() <= 0)
            return;
        timespec ts{};
        ts.tv_sec = static_cast<time_t>(duration.count() / 1'000'000'000);
        ts.tv_nsec = static_cast<long>(duration.count() % 1'000'000'000);
        while (::clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, &ts) == EINTR) {
        }
    }
};

}  // namespace

std::unique_ptr<CycleClock> make_system_cycle_clock() {
    return std::make_unique<PosixCycleClock>();
}

}  // namespace kestrune
