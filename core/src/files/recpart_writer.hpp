#pragma once
// One open .recpart file: a WAV file from its first byte whose header says
// "no audio" until the file is finished, so a crash loses at most the unwritten
// buffer and repair can recompute the sizes from the length.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <vector>

#include "error.hpp"
#include "io/file.hpp"
#include "output_format.hpp"

namespace kestrune {

inline constexpr std::uint64_t PART_LIMIT_BYTES = 1'900'000'000;
inline constexpr std::size_t WRITE_BUFFER_BYTES = 8192;
inline constexpr std::uint64_t INTEGER_HEADER_BYTES = 44;
inline constexpr std::uint64_t FLOAT_HEADER_BYTES = 58;

// The paths of every file created for a recording, in creation order.
using FileList = std::vector<std::filesystem::path>;

using FileOpener = std::function<Result<FilePtr>(const std::filesystem::path&)>;

// Seams for tests: a smaller part limit, and files that fail on demand. The
// defaults are what recordings use.
struct WriterConfig {
    std::uint64_t part_limit = PART_LIMIT_BYTES;
    FileOpener open;  // empty: open_file(path, OpenMode::CreateNew)
};

class RecpartWriter {
public:
    // Creates the file with its header on disk, so a file that exists is
    // always one repair can read.
    [[nodiscard]] static Result<RecpartWriter> create(const std::filesystem::path& path,
                                                      OutputFormat format,
                                                      WriterConfig config = {});

    RecpartWriter(RecpartWriter&&) noexcept;
    RecpartWriter& operator=(RecpartWriter&&) noexcept;
    RecpartWriter(const RecpartWriter&) = delete;
    RecpartWriter& operator=(const RecpartWriter&) = delete;
    ~RecpartWriter();

    // Encodes samples in the file's format. Once the part holds part_limit data
    // bytes or more, finishes it and continues at next_part_path, or the first
    // free name after it, which is then appended to file_list. A finished part
    // stays open until close, so that repair passes it by as the live one.
    [[nodiscard]] Result<void> write_block(std::span<const float> samples,
                                           const std::filesystem::path& next_part_path,
                                           FileList& file_list);
    // Hands the buffered bytes to the file.
    [[nodiscard]] Result<void> flush();
    // Rewrites the header from the file's current length (whole frames).
    [[nodiscard]] Result<void> rewrite_header();
    // flush, then rewrite_header even when the flush failed, so a full disk
    // still leaves a header that describes what reached it; the first error
    // wins.
    [[nodiscard]] Result<void> finish();
    // flush with errors ignored, then close. Idempotent.
    void close();

    [[nodiscard]] const OutputFormat& format() const { return format_; }
    [[nodiscard]] std::uint64_t data_bytes() const { return data_bytes_; }
    [[nodiscard]] std::uint32_t part() const { return part_; }
    // The file the writer was created on: its stem names the later parts.
    [[nodiscard]] const std::filesystem::path& first_path() const { return first_path_; }

private:
    RecpartWriter(FilePtr file, std::filesystem::path path, OutputFormat format,
                  WriterConfig config);

    FilePtr file_;
    std::vector<FilePtr> finished_parts_;
    std::filesystem::path first_path_;
    std::vector<std::byte> buffer_;
    std::size_t buffered_ = 0;
    OutputFormat format_;
    WriterConfig config_;
    std::uint64_t data_bytes_ = 0;
    std::uint32_t part_ = 1;
};

// The header for format with the given data size (44 or 58 bytes).
[[nodiscard]] std::vector<std::byte> build_header(const OutputFormat& format,
                                                  std::uint32_t data_size);

// Rewrites the header at offset 0 from the file's length, counting whole
// frames only.
[[nodiscard]] Result<void> rewrite_header(File& file, const OutputFormat& format);

// path itself when nothing is there, else the first free stem_N.ext.
[[nodiscard]] std::filesystem::path unique_path(const std::filesystem::path& path);

}  // namespace kestrune
