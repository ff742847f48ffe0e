#pragma once
// Where the running program's file is.

#include <filesystem>
#include <optional>

namespace kestrune::win {

// The executable's full path, however long; absent when the system cannot say.
[[nodiscard]] std::optional<std::filesystem::path> executable_path();

}  // namespace kestrune::win
