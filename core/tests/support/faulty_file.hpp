#pragma once
// A real file that stops accepting writes after a given number of bytes, for
// driving write failures at any point.

#include <cstdint>
#include <filesystem>
#include <memory>

#include "io/file.hpp"
#include "files/recpart_writer.hpp"

namespace kestrune::test {

struct FaultPlan {
    // Total bytes the file accepts before every further write fails.
    std::uint64_t fail_after_bytes = UINT64_MAX;
    // At most this many bytes per write call (short writes).
    std::size_t max_chunk = SIZE_MAX;
};

[[nodiscard]] FilePtr make_faulty_file(FilePtr inner, FaultPlan plan);

// An opener for WriterConfig whose files fail as planned; the plan is shared
// by every file it opens, so bytes count across parts.
[[nodiscard]] FileOpener faulty_opener(FaultPlan plan);

}  // namespace kestrune::test
