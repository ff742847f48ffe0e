#pragma once
// The few facts of a RIFF WAVE header that the sample library does not tell:
// the declared depth (valid bits of an extensible header) and the data size
// the header announces, which may exceed what the file holds.

#include <cstdint>
#include <optional>

#include "error.hpp"
#include "io/file.hpp"

namespace kestrune {

enum class WavEncoding { Integer, Float, Other };

struct WavHeader {
    WavEncoding encoding = WavEncoding::Other;
    std::uint16_t channels = 0;
    std::uint32_t sample_rate = 0;
    std::uint16_t container_bits = 0;   // wBitsPerSample
    std::uint16_t bits_per_sample = 0;  // valid bits when extensible, else container_bits
    std::uint64_t data_offset = 0;      // first byte of the data chunk's body
    std::uint32_t data_size = 0;        // as announced by the data chunk
    std::uint64_t file_length = 0;

    // Bytes after the data chunk that are neither whole chunks nor a cut last
    // frame: audio the data size leaves out (a size capped at 4 GiB, or one
    // written before the recording ended).
    std::uint64_t unaccounted_bytes = 0;

    // The data chunk claims more bytes than follow its header in the file.
    [[nodiscard]] bool data_truncated() const { return data_offset + data_size > file_length; }
};

// Walks the chunks of a RIFF WAVE file. Absent when the bytes are not one (no
// "RIFF"/"WAVE" magic, no usable "fmt " before the end, or no "data" chunk);
// an error only when the file cannot be read. Leaves the file position anywhere.
[[nodiscard]] Result<std::optional<WavHeader>> read_wav_header(File& file);

}  // namespace kestrune
