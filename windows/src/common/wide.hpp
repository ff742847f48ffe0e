#pragma once
// The one pair of conversions at Win32 calls: UTF-8 inside, UTF-16 outside.

#include <filesystem>
#include <string>
#include <string_view>

namespace kestrune::win {

[[nodiscard]] std::wstring to_wide(std::string_view utf8);
// Unpaired surrogates become U+FFFD.
[[nodiscard]] std::string to_utf8(std::wstring_view wide);

}  // namespace kestrune::win
