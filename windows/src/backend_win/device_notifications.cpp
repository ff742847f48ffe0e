#include "backend_win/device_notifications.hpp"

#include <atomic>
#include <system_error>
#include <utility>

#include "common/com.hpp"
#include "common/win_error.hpp"
#include "io/console.hpp"

namespace kestrune::win {
namespace {

class NotificationClient final : public IMMNotificationClient {
public:
    explicit NotificationClient(EndpointHandlers handlers) : handlers_(std::move(handlers)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr)
            return E_POINTER;
        if (iid == __uuidof(IUnknown) || iid == __uuidof(IMMNotificationClient)) {
            *out = static_cast<IMMNotificationClient*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0)
            delete this;
        return left;
    }

    HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR, DWORD) override {
        return devices_changed();
    }
    HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR) override { return devices_changed(); }
    HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR) override { return devices_changed(); }
    HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role, LPCWSTR) override {
        // Sources record the console default; the other roles' moves follow
        // or precede it with calls of their own.
        if (role == eConsole && handlers_.default_changed)
            handlers_.default_changed(flow);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override {
        return S_OK;
    }

private:
    HRESULT devices_changed() {
        if (handlers_.devices_changed)
            handlers_.devices_changed();
        return S_OK;
    }

    std::atomic<ULONG> refs_{1};
    const EndpointHandlers handlers_;
};

}  // namespace

ComPtr<IMMNotificationClient> make_notification_client(EndpointHandlers handlers) {
    ComPtr<IMMNotificationClient> client;
    client.Attach(new NotificationClient(std::move(handlers)));
    return client;
}

StepValue<EndpointNotifications> EndpointNotifications::start(IMMDeviceEnumerator* enumerator,
                                                              EndpointHandlers handlers) {
    EndpointNotifications n;
    n.client_ = make_notification_client(std::move(handlers));
    const HRESULT hr = enumerator->RegisterEndpointNotificationCallback(n.client_.Get());
    if (FAILED(hr))
        return std::unexpected(hr_text("RegisterEndpointNotificationCallback", hr));
    n.enumerator_ = enumerator;
    return n;
}

EndpointNotifications::EndpointNotifications(EndpointNotifications&& other) noexcept
    : enumerator_(std::move(other.enumerator_)), client_(std::move(other.client_)) {}

EndpointNotifications& EndpointNotifications::operator=(EndpointNotifications&& other) noexcept {
    if (this != &other) {
        unregister();
        enumerator_ = std::move(other.enumerator_);
        client_ = std::move(other.client_);
    }
    return *this;
}

EndpointNotifications::~EndpointNotifications() {
    unregister();
}

void EndpointNotifications::unregister() {
    // After this returns no callback runs any more, so the handlers' targets
    // may go.
    if (enumerator_ && client_)
        enumerator_->UnregisterEndpointNotificationCallback(client_.Get());
    enumerator_.Reset();
    client_.Reset();
}

DeviceWatcher::DeviceWatcher(HWND window, UINT message)
    : stop_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (!stop_)
        return;
    try {
        thread_ = std::thread([window, message, stop = stop_.get()] {
            ComInit com;
            auto enumerator = create_enumerator();
            if (!enumerator)
                return;
            auto notifications = EndpointNotifications::start(
                enumerator->Get(),
                {[window, message](EDataFlow) { ::PostMessageW(window, message, 0, 0); },
                 [window, message] { ::PostMessageW(window, message, 0, 0); }});
            if (!notifications) {
                write_stderr_line("Device list will not follow device changes: " +
                                  notifications.error());
                return;
            }
            ::WaitForSingleObject(stop, INFINITE);
        });
    } catch (const std::system_error&) {
        // The list then shows the devices of start-up until a recording starts.
    }
}

DeviceWatcher::~DeviceWatcher() {
    if (stop_)
        ::SetEvent(stop_.get());
    if (thread_.joinable())
        thread_.join();
}

}  // namespace kestrune::win
