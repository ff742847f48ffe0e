#pragma once
// UTF-8 is the program's inner text form; UTF-16 appears only at the platform
// boundary. Both directions replace what cannot be represented with U+FFFD.

#include <string>
#include <string_view>

namespace kestrune {

[[nodiscard]] std::string utf16_to_utf8(std::u16string_view text);
[[nodiscard]] std::u16string utf8_to_utf16(std::string_view text);

// Replaces every ill-formed UTF-8 sequence with U+FFFD.
[[nodiscard]] std::string sanitize_utf8(std::string_view text);

}  // namespace kestrune
