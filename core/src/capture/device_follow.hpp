#pragma once
// A capture that outlives its device. When the device goes away the source
// is marked lost and its device is tried again every LOST_RETRY_INTERVAL; a
// source that records the default device moves to the new default as soon as
// it changes. The platform opens and drains streams; this decides when.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#include "platform/cycle_clock.hpp"

namespace kestrune {

inline constexpr std::chrono::milliseconds FOLLOW_POLL_INTERVAL{3};
inline constexpr std::chrono::seconds LOST_RETRY_INTERVAL{2};

// What a running capture tells the recording about its device; shared between
// the capture thread (writer) and the window's thread (reader).
struct CaptureHealth {
    std::atomic<bool> lost{false};
    // Times delivery broke off: the device went away, or the default moved.
    std::atomic<std::uint32_t> gaps{0};
};

// One open stream of a device.
class DeviceStream {
public:
    virtual ~DeviceStream() = default;
    // Hands over what the device delivered since the last call; false once the
    // device is gone for good (this stream will deliver nothing again).
    [[nodiscard]] virtual bool pump() = 0;
};

class DeviceOpener {
public:
    virtual ~DeviceOpener() = default;
    // Opens the device the source records as things are now: the default
    // device, whichever that is; a named device by its identifier, then by
    // its name. Null when it is not there.
    [[nodiscard]] virtual std::unique_ptr<DeviceStream> open() = 0;
    // True when the default device has changed since the last call; always
    // false for a source that records a named device.
    [[nodiscard]] virtual bool default_changed() = 0;
};

// Pumps stream every poll interval until stop is set, reopening as the
// device comes and goes. stream may be null (the device is not there yet).
void follow_device(DeviceOpener& opener, std::unique_ptr<DeviceStream> stream,
                   const std::atomic<bool>& stop, CaptureHealth& health, CycleClock& clock,
                   std::chrono::nanoseconds poll = FOLLOW_POLL_INTERVAL);

// The same on the steady clock with plain sleeps.
void follow_device(DeviceOpener& opener, std::unique_ptr<DeviceStream> stream,
                   const std::atomic<bool>& stop, CaptureHealth& health,
                   std::chrono::nanoseconds poll = FOLLOW_POLL_INTERVAL);

}  // namespace kestrune
