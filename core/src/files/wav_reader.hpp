#pragma once
// A WAV file read in blocks through libsndfile, with samples at the file's own
// depth: the integer s of the header's declared bits (valid bits of an
// extensible header, MSB-aligned in its container), or the float as stored.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>

#include "error.hpp"
#include "files/file_ops.hpp"
#include "output_format.hpp"

namespace kestrune {

// The integer depths whose full scale is defined.
[[nodiscard]] bool is_supported_integer_depth(std::uint16_t bits);

class WavReader {
public:
    // Fails with the library's text for what it cannot read as WAV, with
    // "Unsupported bit depth: N" for integer depths other than 8, 16, 24, 32,
    // and "Unsupported sample format" for encodings other than integer PCM and
    // 32-bit float.
    [[nodiscard]] static Result<WavReader> open(const std::filesystem::path& path,
                                                const FileOps& ops = {});

    WavReader(WavReader&&) noexcept;
    WavReader& operator=(WavReader&&) noexcept;
    ~WavReader();

    // bits_per_sample is the declared depth; 32 with is_float for float files.
    [[nodiscard]] const OutputFormat& format() const;
    // Frames the reads deliver: what the file holds, never more than announced.
    [[nodiscard]] std::uint64_t frames() const;
    // The header announces more data than the file holds.
    [[nodiscard]] bool data_truncated() const;
    // Bytes after the data chunk that are not whole chunks: audio the data
    // size leaves out, which reads never deliver.
    [[nodiscard]] std::uint64_t unaccounted_bytes() const;

    // Fills out with whole frames; returns the samples read, 0 at the end. The
    // type must fit the format: int16_t for depths up to 16, int32_t above, float
    // for float files. Fewer frames than asked for before the end is an error.
    [[nodiscard]] Result<std::size_t> read(std::span<std::int16_t> out);
    [[nodiscard]] Result<std::size_t> read(std::span<std::int32_t> out);
    [[nodiscard]] Result<std::size_t> read(std::span<float> out);

    // Back to the first sample.
    [[nodiscard]] Result<void> rewind();

    // Idempotent; the destructor closes best-effort.
    [[nodiscard]] Result<void> close();

private:
    struct Impl;
    explicit WavReader(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace kestrune
