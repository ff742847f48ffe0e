#pragma once
// A WAV file written in blocks through libsndfile at a given format, with
// samples at that format's depth: integers of its bits (8-bit ones are stored
// unsigned by the library) or floats. 24-bit, 32-bit, float and multichannel
// files get a WAVE_FORMAT_EXTENSIBLE header.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>

#include "error.hpp"
#include "files/file_ops.hpp"
#include "output_format.hpp"

namespace kestrune {

class WavWriter {
public:
    // Creates or truncates the file and writes a provisional header. Integer
    // depths 8, 16, 24, 32 and 32-bit float only.
    [[nodiscard]] static Result<WavWriter> create(const std::filesystem::path& path,
                                                  const OutputFormat& format,
                                                  const FileOps& ops = {});

    WavWriter(WavWriter&&) noexcept;
    WavWriter& operator=(WavWriter&&) noexcept;
    ~WavWriter();  // closes best-effort; the header may then be incomplete

    // Whole frames, in the type that fits the format (as WavReader::read).
    [[nodiscard]] Result<void> write(std::span<const std::int16_t> samples);
    [[nodiscard]] Result<void> write(std::span<const std::int32_t> samples);
    [[nodiscard]] Result<void> write(std::span<const float> samples);

    // Completes the header, brings the file to the disk and closes it; the
    // first error wins.
    [[nodiscard]] Result<void> finish();

private:
    struct Impl;
    explicit WavWriter(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace kestrune
