#pragma once

#include <filesystem>

#include "error.hpp"

namespace kestrune {

enum class NormalizeOutcome { Normalized, Unchanged };

// Scales the file so that its peak is full scale, through path with extension
// "wav.tmp"; on any failure the file at path is left as it was.
[[nodiscard]] Result<NormalizeOutcome> normalize_file(const std::filesystem::path& path);

}  // namespace kestrune
