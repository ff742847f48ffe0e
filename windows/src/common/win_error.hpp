#pragma once
// Win32 and COM failures as our error values.

#include <windows.h>

#include <string>

#include "error.hpp"

namespace kestrune::win {

// "0x" and the eight upper-case hexadecimal digits of hr.
[[nodiscard]] std::string hresult_hex(HRESULT hr);

// "<step>: 0x" + code, e.g. "Initialize: 0x88890003".
[[nodiscard]] std::string hr_text(const char* step, HRESULT hr);

// The system's message for a Win32 error code, without a trailing line break.
[[nodiscard]] std::string system_message(DWORD code);

[[nodiscard]] ErrorKind kind_from_win32(DWORD code);

// An error from GetLastError() (or the given code) with the system's text.
[[nodiscard]] Error last_error(DWORD code = ::GetLastError());

}  // namespace kestrune::win
