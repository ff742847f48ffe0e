#pragma once
// Turning .recpart files into .wav files: after every recording, and for
// whatever an interrupted recording left behind.

#include <filesystem>
#include <vector>

#include "error.hpp"

namespace kestrune {

// Rewrites the header from the file length (whole frames), syncs it and moves
// the file to a free .wav name, never over an existing file. Fails without
// touching a file that a recording still holds open.
[[nodiscard]] Result<std::filesystem::path> finalize_recpart(const std::filesystem::path& path);

struct RepairResult {
    std::filesystem::path path;                   // the .recpart file as found
    Result<std::filesystem::path> outcome;        // the new .wav path, or why not
    bool in_use = false;  // a running recording holds it: left alone, not failed
};

// Finalizes every *.recpart entry directly inside dir, then those directly
// inside each of its folders (the session folders of stem recordings), in
// listing order. A directory that cannot be listed gives an empty list.
[[nodiscard]] std::vector<RepairResult> repair_directory(const std::filesystem::path& dir);

}  // namespace kestrune
