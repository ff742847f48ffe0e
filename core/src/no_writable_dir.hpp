#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace kestrune {

struct TriedDirectory {
    std::filesystem::path directory;
    std::string error_text;
};

// Every directory the output set-up tried, in order, with why it was unusable.
struct NoWritableDir {
    std::vector<TriedDirectory> tried;

    [[nodiscard]] std::string display_text() const;
};

}  // namespace kestrune
