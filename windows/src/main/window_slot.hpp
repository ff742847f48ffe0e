#pragma once
// The window's state record with its Win32 half: one per window thread, in a
// per-thread slot. Handlers reach it through window_slot() for as long as
// they run, and never keep references to its parts across a message box or
// dialog, which dispatch other handlers in their nested message loops.

#include <shobjidl.h>
#include <windows.h>
#include <wrl/client.h>

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "backend_win/device_notifications.hpp"
#include "capture/capture_backend.hpp"
#include "common/com.hpp"
#include "common/unique_handle.hpp"
#include "controller/view.hpp"
#include "controller/window_layout.hpp"
#include "controller/window_state.hpp"
#include "main/session_locations_win.hpp"

namespace kestrune::win {

inline constexpr std::size_t CONTROL_COUNT = static_cast<std::size_t>(Control::Duration) + 1;

struct WindowSlot {
    WindowState state;
    HWND main = nullptr;
    std::array<HWND, CONTROL_COUNT> controls{};  // null: the window lacks it
    HFONT font = nullptr;                        // the stock GUI font or owned_font
    UniqueGdiObject owned_font;                  // the scaled copy, when one was made
    HWND last_focus = nullptr;
    std::vector<HWND> table_controls;      // one per row of the control table, null if skipped
    std::array<HWND, METER_MAX> meters{};  // created hidden, shown while recording
    std::size_t meters_laid_out = 0;       // the meter count the meters are placed for
    HWND tooltip = nullptr;                // the status's full text
    std::wstring status_tip;               // what the tooltip shows
    UINT dpi = 96;
    // The taskbar button's progress; the apartment is kept for as long as the pointer.
    std::optional<ComInit> taskbar_com;
    Microsoft::WRL::ComPtr<ITaskbarList3> taskbar;
    bool taskbar_tried = false;
    float scale = 1.0f;
    std::size_t layout_device_count = 0;      // the device items the size was laid out for
    std::unique_ptr<CaptureBackend> backend;  // for the window thread's own calls
    WinSessionLocations locations;
    std::unique_ptr<DeviceWatcher>
        device_watch;  // refreshes the device list as devices come and go

    [[nodiscard]] HWND control(Control c) const { return controls[static_cast<std::size_t>(c)]; }
};

// This thread's slot, created empty on first use.
[[nodiscard]] WindowSlot& window_slot();
// Replaces whatever the slot held with a fresh one.
WindowSlot& reset_window_slot();
// Whether the slot exists on this thread (the window procedure of a window
// created without start-up data finds none).
[[nodiscard]] bool has_window_slot();

}  // namespace kestrune::win
