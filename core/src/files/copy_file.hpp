#pragma once
// Copying a whole file, for moves that a rename cannot do (across volumes).
// Each platform supplies it with its own copy call.

#include <filesystem>

#include "error.hpp"

namespace kestrune {

// Copies from to a new file at to; fails when something is already there.
[[nodiscard]] Result<void> copy_whole_file(const std::filesystem::path& from,
                                           const std::filesystem::path& to);

}  // namespace kestrune
