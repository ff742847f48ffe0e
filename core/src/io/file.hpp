#pragma once
// The one seam between the file tools and the operating system's files. Each
// platform supplies open_file and replace_file; tests wrap File to fail at a
// chosen point.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>

#include "error.hpp"

namespace kestrune {

class File {
public:
    virtual ~File() = default;

    // Hands some of data to the file; returns how many bytes it took (0 when
    // it took none). Interrupted calls are retried inside.
    [[nodiscard]] virtual Result<std::size_t> write_some(std::span<const std::byte> data) = 0;
    // Returns 0 at the end of the file.
    [[nodiscard]] virtual Result<std::size_t> read_some(std::span<std::byte> out) = 0;
    [[nodiscard]] virtual Result<void> seek(std::uint64_t offset) = 0;
    // The length the file system reports now.
    [[nodiscard]] virtual Result<std::uint64_t> length() = 0;
    // Returns once everything written has reached the disk.
    [[nodiscard]] virtual Result<void> sync() = 0;
    // Idempotent; the destructor closes best-effort.
    [[nodiscard]] virtual Result<void> close() = 0;
};

using FilePtr = std::unique_ptr<File>;

enum class OpenMode {
    // Read and write, created or truncated. While open, other programs may read
    // it but not write, rename or delete it, and open_unless_in_use passes it by.
    CreateTruncate,
    // As CreateTruncate, but fails with AlreadyExists when something is there.
    CreateNew,
    // An existing file for reading and writing; never created.
    ExistingReadWrite,
    // An existing file for reading; others may read it too.
    ExistingRead,
};

[[nodiscard]] Result<FilePtr> open_file(const std::filesystem::path& path, OpenMode mode);

// An existing file for reading and writing, held as CreateTruncate holds it;
// absent when a writer (in this process or another) still has it open.
[[nodiscard]] Result<std::optional<FilePtr>> open_unless_in_use(const std::filesystem::path& path);

// Renames from onto to, replacing an existing target atomically.
[[nodiscard]] Result<void> replace_file(const std::filesystem::path& from,
                                        const std::filesystem::path& to);

// Renames from to to; AlreadyExists when something is at to, which stays.
[[nodiscard]] Result<void> rename_no_replace(const std::filesystem::path& from,
                                             const std::filesystem::path& to);

// Opens an existing file and brings what was written to it to the disk.
[[nodiscard]] Result<void> sync_file(const std::filesystem::path& path);

// Write all of data, retrying short writes; "failed to write whole buffer" when
// the file accepts nothing.
[[nodiscard]] Result<void> write_all(File& file, std::span<const std::byte> data);

// Fill all of out; "failed to fill whole buffer" when the file ends first.
[[nodiscard]] Result<void> read_exact(File& file, std::span<std::byte> out);

}  // namespace kestrune
