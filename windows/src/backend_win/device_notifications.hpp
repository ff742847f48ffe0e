#pragma once
// The audio system's endpoint notifications, handed to threads of ours. The
// callbacks of IMMNotificationClient run on the system's own threads and must
// not block, take our locks or call back into the endpoint API: the handlers
// given here only set a flag or post a window message.

#include <windows.h>

#include <functional>
#include <thread>

#include "backend_win/endpoints.hpp"
#include "common/unique_handle.hpp"

namespace kestrune::win {

struct EndpointHandlers {
    // The console default of a flow moved to another endpoint (or to none).
    std::function<void(EDataFlow)> default_changed;
    // An endpoint was added, removed, or switched on or off.
    std::function<void()> devices_changed;
};

// The COM object that calls the handlers, unregistered (for tests).
[[nodiscard]] ComPtr<IMMNotificationClient> make_notification_client(EndpointHandlers handlers);

// A registered IMMNotificationClient; unregistered on release.
class EndpointNotifications {
public:
    // Registers a client that calls the handlers.
    [[nodiscard]] static StepValue<EndpointNotifications> start(IMMDeviceEnumerator* enumerator,
                                                                EndpointHandlers handlers);
    EndpointNotifications(EndpointNotifications&&) noexcept;
    EndpointNotifications& operator=(EndpointNotifications&&) noexcept;
    EndpointNotifications(const EndpointNotifications&) = delete;
    EndpointNotifications& operator=(const EndpointNotifications&) = delete;
    ~EndpointNotifications();

private:
    EndpointNotifications() = default;
    void unregister();

    ComPtr<IMMDeviceEnumerator> enumerator_;
    ComPtr<IMMNotificationClient> client_;
};

// Posts message (both parameters 0) to window whenever endpoints come, go or
// change default, from a thread of its own that holds the registration.
class DeviceWatcher {
public:
    DeviceWatcher(HWND window, UINT message);
    DeviceWatcher(const DeviceWatcher&) = delete;
    DeviceWatcher& operator=(const DeviceWatcher&) = delete;
    ~DeviceWatcher();

private:
    UniqueKernelHandle stop_;
    std::thread thread_;
};

}  // namespace kestrune::win
