// A plain Sleep(5) lasts up to 15.6 ms at the default timer resolution. A
// high-resolution waitable timer (Windows 10 1803 and later) wakes within a
// fraction of a millisecond without changing the system-wide resolution; where
// it is missing, the resolution is raised to 1 ms for the clock's lifetime.

#include <windows.h>

#include <mmsystem.h>  // after windows.h, which it needs

#include "common/unique_handle.hpp"
#include "platform/cycle_clock.hpp"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace kestrune {
namespace {

class WinCycleClock final : public CycleClock {
public:
    WinCycleClock() {
        LARGE_INTEGER f{};
        ::QueryPerformanceFrequency(&f);
        frequency_ = f.QuadPart > 0 ? f.QuadPart : 1;
        timer_.reset(::CreateWaitableTimerExW(
            nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS));
        if (!timer_)
            raised_resolution_ = ::timeBeginPeriod(1) == TIMERR_NOERROR;
    }
    WinCycleClock(const WinCycleClock&) = delete;
    WinCycleClock& operator=(const WinCycleClock&) = delete;
    ~WinCycleClock() override {
        if (raised_resolution_)
            ::timeEndPeriod(1);
    }

    std::chrono::nanoseconds now() override {
        LARGE_INTEGER c{};
        ::QueryPerformanceCounter(&c);
        const long long whole = c.QuadPart / frequency_;
        const long long rest = c.QuadPart % frequency_;
        return std::chrono::nanoseconds(whole * 1'000'000'000LL +
                                        rest * 1'000'000'000LL / frequency_);
    }

    void sleep_for(std::chrono::nanoseconds duration) override {
        if (duration.count() <= 0)
            return;
        if (timer_) {
            LARGE_INTEGER due{};
            due.QuadPart = -static_cast<LONGLONG>(duration.count() / 100);  // relative, 100 ns
            if (due.QuadPart == 0)
                due.QuadPart = -1;
            if (::SetWaitableTimer(timer_.get(), &due, 0, nullptr, nullptr, FALSE) &&
                ::WaitForSingleObject(timer_.get(), INFINITE) == WAIT_OBJECT_0)
                return;
        }
        const auto ms = (duration.count() + 999'999) / 1'000'000;
        ::Sleep(static_cast<DWORD>(ms));
    }

private:
    win::UniqueKernelHandle timer_;
    long long frequency_ = 1;
    bool raised_resolution_ = false;
};

}  // namespace

std::unique_ptr<CycleClock> make_system_cycle_clock() {
    return std::make_unique<WinCycleClock>();
}

}  // namespace kestrune
