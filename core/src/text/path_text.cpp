#include "path_text.hpp"

#include <type_traits>

#include "utf.hpp"

namespace kestrune {
namespace {

// Native path strings are UTF-16 on Windows and bytes (taken as UTF-8) elsewhere.
template <class Char>
std::string native_to_utf8(const std::basic_string<Char>& native) {
    if constexpr (sizeof(Char) == 2) {
        return utf16_to_utf8(
            std::u16string_view(reinterpret_cast<const char16_t*>(native.data()), native.size()));
    } else {
        return sanitize_utf8(native);
    }
}

template <class Char>
std::basic_string<Char> utf8_to_native(std::string_view text) {
    if constexpr (sizeof(Char) == 2) {
        const std::u16string wide = utf8_to_utf16(text);
        return std::basic_string<Char>(reinterpret_cast<const Char*>(wide.data()), wide.size());
    } else {
        return std::basic_string<Char>(text);
    }
}

}  // namespace

std::string path_display(const std::filesystem::path& path) {
    return native_to_utf8(path.native());
}

std::filesystem::path path_from_utf8(std::string_view text) {
    return std::filesystem::path(utf8_to_native<std::filesystem::path::value_type>(text));
}

bool same_path(const std::filesystem::path& a, const std::filesystem::path& b) {
    return a.compare(b) == 0;
}

}  // namespace kestrune
