#pragma once
// normalize_file through substitute file operations, for tests that make the
// file system fail at a chosen step.

#include <filesystem>

#include "error.hpp"
#include "files/file_ops.hpp"
#include "files/normalize.hpp"

namespace kestrune {

[[nodiscard]] Result<NormalizeOutcome> normalize_file(const std::filesystem::path& path,
                                                      const FileOps& ops);

}  // namespace kestrune
