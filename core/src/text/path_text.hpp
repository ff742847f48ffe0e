#pragma once
// Paths are std::filesystem::path everywhere; these convert at the edges
// without throwing, whatever bytes or UTF-16 units the path holds.

#include <filesystem>
#include <string>
#include <string_view>

namespace kestrune {

// The text shown to the user: UTF-8 with U+FFFD for what cannot be represented.
[[nodiscard]] std::string path_display(const std::filesystem::path& path);

// A path from program text (UTF-8).
[[nodiscard]] std::filesystem::path path_from_utf8(std::string_view text);

// Component-wise equality, the comparison the output location rules use.
[[nodiscard]] bool same_path(const std::filesystem::path& a, const std::filesystem::path& b);

}  // namespace kestrune
