#pragma once
// The level meter control: one source's name, its peak level as a bar with a
// hold mark, a clip mark and the level in dB, or "lost". Painted through an
// off-screen bitmap so that 20 updates a second do not flicker. It answers
// what it shows, for tests that must not read pixels.

#include <windows.h>

#include "controller/view.hpp"
#include "error.hpp"

namespace kestrune::win {

inline constexpr const wchar_t* LEVEL_METER_CLASS = L"KestruneLevelMeter";

// lparam: const MeterReading*; the window text becomes its label.
inline constexpr UINT METER_SET_READING = WM_USER + 1;
// Returns the shown level in hundredths of a dB (-6.02 dBFS: -602).
inline constexpr UINT METER_GET_LEVEL = WM_USER + 2;
// Returns the shown hold mark in hundredths of a dB.
inline constexpr UINT METER_GET_HOLD = WM_USER + 3;
// Returns METER_FLAG_* bits.
inline constexpr UINT METER_GET_FLAGS = WM_USER + 4;
inline constexpr LRESULT METER_FLAG_CLIPPED = 1;
inline constexpr LRESULT METER_FLAG_LOST = 2;

[[nodiscard]] Result<void> register_level_meter_class(HINSTANCE instance);

}  // namespace kestrune::win
