#pragma once
// The file operations the file tools go through; tests substitute ones that
// fail on demand. The defaults are the platform's.

#include <filesystem>
#include <functional>

#include "error.hpp"
#include "io/file.hpp"

namespace kestrune {

struct FileOps {
    std::function<Result<FilePtr>(const std::filesystem::path&, OpenMode)> open = open_file;
    std::function<Result<void>(const std::filesystem::path&, const std::filesystem::path&)>
        replace = replace_file;
};

}  // namespace kestrune
