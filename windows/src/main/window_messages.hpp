#pragma once
// The program's private window messages between worker threads and the window.

#include <windows.h>

namespace kestrune::win {

inline constexpr UINT WM_APP_REFRESH_DEVICES = WM_APP + 1;
inline constexpr UINT WM_APP_SOURCE_RESULT = WM_APP + 2;

}  // namespace kestrune::win
