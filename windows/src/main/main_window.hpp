#pragma once
// The main window: its class, its controls built from one table, scaling,
// colours, focus and the routing of messages to the window logic.

#include <windows.h>

#include <cstddef>

#include "error.hpp"
#include "main/window_slot.hpp"

namespace kestrune::win {

inline constexpr const wchar_t* MAIN_WINDOW_CLASS = L"KestruneMain";
inline constexpr UINT_PTR IDT_TICK = 1;
inline constexpr UINT_PTR IDT_METERS = 2;
inline constexpr UINT METER_INTERVAL_MS = 50;
// One-shot: a timed recording's end, on time rather than at the next tick.
inline constexpr UINT_PTR IDT_DEADLINE = 3;

inline constexpr int IDC_START = 101;
inline constexpr int IDC_MIC = 102;
inline constexpr int IDC_SYSTEM = 103;
inline constexpr int IDC_DEVICES = 104;
inline constexpr int IDC_OUTPUT = 105;
inline constexpr int IDC_REPAIR = 106;
inline constexpr int IDC_NORMALIZE = 107;
inline constexpr int IDC_SINGLE = 108;
inline constexpr int IDC_STEMS_SILENCE = 109;
inline constexpr int IDC_STEMS_INSTRUCTED = 110;
inline constexpr int IDC_QUALITY = 111;
inline constexpr int IDC_ASK_SAVE = 112;
inline constexpr int IDC_STATUS = 113;
inline constexpr int IDC_METER_HINT = 115;

// Places the first count level meters in their cells at the slot's scale.
void place_meters(WindowSlot& slot, std::size_t count);

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// Arms IDT_DEADLINE for the window state's deadline, if there is one.
void arm_deadline_timer(HWND window);

// Registers the window class; "Failed to register window class" on failure.
[[nodiscard]] Result<void> register_main_window_class(HINSTANCE instance);

// Creates the (hidden) main window from this thread's window slot, whose
// initial configuration must be filled; "Failed to create window" on failure.
[[nodiscard]] Result<HWND> create_main_window(HINSTANCE instance);

}  // namespace kestrune::win
