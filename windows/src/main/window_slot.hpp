#pragma once
// The window's state record with its Win32 half: one per window thread, in a
// per-thread slot. Handlers reach it through window_slot() for as long as
// they run, and never keep references to its parts across a message box or
// dialog, which dispatch other handlers in their nested message loops.

#include <windows.h>

#include <array>
#include <cstddef>
#include <memory>

#include "backend_win/device_notifications.hpp"
#include "capture/capture_backend.hpp"
#include "common/unique_handle.hpp"
#include "controller/view.hpp"
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
