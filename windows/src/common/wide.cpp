#include "common/wide.hpp"

#include "text/utf.hpp"

namespace kestrune::win {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide strings are UTF-16");

std::wstring to_wide(std::string_view utf8) {
    const std::u16string u16 = utf8_to_utf16(utf8);
    return std::wstring(reinterpret_cast<const wchar_t*>(u16.data()), u16.size());
}

std::string to_utf8(std::wstring_view wide) {
    return utf16_to_utf8(
        std::u16string_view(reinterpret_cast<const char16_t*>(wide.data()), wide.size()));
}

}  // namespace kestrune::win
