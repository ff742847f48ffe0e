#include <gtest/gtest.h>

#include <vector>

#include "backend_win/device_notifications.hpp"
#include "common/com.hpp"

namespace kestrune::win {
namespace {

TEST(DeviceNotifications, ConsoleDefaultMovesAndDeviceChangesReachTheirHandlers) {
    std::vector<EDataFlow> moved;
    int changed = 0;
    ComPtr<IMMNotificationClient> client = make_notification_client(
        {[&](EDataFlow flow) { moved.push_back(flow); }, [&] { ++changed; }});

    EXPECT_EQ(client->OnDefaultDeviceChanged(eRender, eConsole, L"{a}"), S_OK);
    EXPECT_EQ(client->OnDefaultDeviceChanged(eCapture, eConsole, nullptr), S_OK);  // none now
    // The other roles move on their own; sources record the console default.
    EXPECT_EQ(client->OnDefaultDeviceChanged(eRender, eCommunications, L"{b}"), S_OK);
    EXPECT_EQ(client->OnDefaultDeviceChanged(eRender, eMultimedia, L"{b}"), S_OK);
    EXPECT_EQ(moved, (std::vector<EDataFlow>{eRender, eCapture}));

    EXPECT_EQ(client->OnDeviceAdded(L"{c}"), S_OK);
    EXPECT_EQ(client->OnDeviceRemoved(L"{c}"), S_OK);
    EXPECT_EQ(client->OnDeviceStateChanged(L"{c}", DEVICE_STATE_UNPLUGGED), S_OK);
    EXPECT_EQ(client->OnPropertyValueChanged(L"{c}", PROPERTYKEY{}), S_OK);
    EXPECT_EQ(changed, 3);

    ComPtr<IUnknown> unknown;
    EXPECT_EQ(client.As(&unknown), S_OK);
    ComPtr<IMMDeviceEnumerator> wrong;
    EXPECT_EQ(client.As(&wrong), E_NOINTERFACE);
}

TEST(DeviceNotifications, RegistersWithTheEnumeratorAndUnregistersOnRelease) {
    ComInit com;
    auto enumerator = create_enumerator();
    ASSERT_TRUE(enumerator) << enumerator.error();
    auto registered = EndpointNotifications::start(enumerator->Get(), {});
    ASSERT_TRUE(registered) << registered.error();
    EndpointNotifications moved = std::move(*registered);
}

}  // namespace
}  // namespace kestrune::win
