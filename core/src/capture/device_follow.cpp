#include "capture/device_follow.hpp"

#include <thread>

namespace kestrune {
namespace {

class SteadyClock final : public CycleClock {
public:
    std::chrono::nanoseconds now() override {
        return std::chrono::steady_clock::now().time_since_epoch();
    }
    void sleep_for(std::chrono::nanoseconds d) override { std::this_thread::sleep_for(d); }
};

}  // namespace

void follow_device(DeviceOpener& opener, std::unique_ptr<DeviceStream> stream,
                   const std::atomic<bool>& stop, CaptureHealth& health, CycleClock& clock,
                   std::chrono::nanoseconds poll) {
    // A device that is not there at first is tried at once.
    std::chrono::nanoseconds next_try = clock.now();
    if (!stream)
        health.lost.store(true);
    while (!stop.load()) {
        clock.sleep_for(poll);
        if (opener.default_changed()) {
            // The old stream closes before the new default opens: some
            // drivers allow one stream per endpoint at a time.
            if (stream)
                health.gaps.fetch_add(1);
            stream.reset();
            next_try = clock.now();
        }
        if (stream && !stream->pump()) {
            stream.reset();
            health.gaps.fetch_add(1);
            health.lost.store(true);
            // At once: an invalidated stream whose device is still there (its
            // format changed) reopens without a gap of two seconds.
            next_try = clock.now();
        }
        if (!stream && clock.now() >= next_try) {
            stream = opener.open();
            if (stream) {
                health.lost.store(false);
            } else {
                health.lost.store(true);
                next_try = clock.now() + LOST_RETRY_INTERVAL;
            }
        }
    }
}

void follow_device(DeviceOpener& opener, std::unique_ptr<DeviceStream> stream,
                   const std::atomic<bool>& stop, CaptureHealth& health,
                   std::chrono::nanoseconds poll) {
    SteadyClock clock;
    follow_device(opener, std::move(stream), stop, health, clock, poll);
}

}  // namespace kestrune
