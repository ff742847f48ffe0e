#pragma once
// WAVEFORMATEX and WAVEFORMATEXTENSIBLE read from their bytes, so that device
// formats and mix formats are understood the same way on every platform.

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>

#include "output_format.hpp"

namespace kestrune {

// Format tags as the WAV and Windows audio formats define them.
inline constexpr std::uint16_t WAVE_TAG_PCM = 0x0001;
inline constexpr std::uint16_t WAVE_TAG_IEEE_FLOAT = 0x0003;
inline constexpr std::uint16_t WAVE_TAG_EXTENSIBLE = 0xFFFE;

// Sizes of WAVEFORMATEX and WAVEFORMATEXTENSIBLE.
inline constexpr std::size_t WAVE_FORMAT_EX_SIZE = 18;
inline constexpr std::size_t WAVE_FORMAT_EXTENSIBLE_SIZE = 40;

enum class SampleKind { Integer, Float, Other };

struct WaveFormatInfo {
    std::uint16_t tag = 0;
    std::uint16_t channels = 0;
    std::uint32_t sample_rate = 0;
    std::uint16_t block_align = 0;
    std::uint16_t container_bits = 0;  // wBitsPerSample
    std::uint16_t valid_bits = 0;      // the extensible header's, else the container's
    // From the tag, or from the extensible header's sub-format.
    SampleKind kind = SampleKind::Other;
    bool extensible = false;  // tag and a full extensible header
    // dwChannelMask of a full extensible header, else 0 (no positions given).
    std::uint32_t channel_mask = 0;
};

// Absent when fewer than 18 bytes are given.
[[nodiscard]] std::optional<WaveFormatInfo> parse_wave_format(std::span<const std::uint8_t> bytes);

// The device format rule: an extensible header (40 bytes or more) gives its
// valid bits and float sub-format, anything else its bits and float tag.
[[nodiscard]] std::optional<OutputFormat> device_format_from_blob(
    std::span<const std::uint8_t> bytes);

// How one stream's samples are laid out in its packets.
enum class SampleEncoding { F32, I16, I24, I32, U8 };

// The encoding of a stream's samples, or the sample type's name (for example
// "F64") when it is not one that capture converts.
[[nodiscard]] std::expected<SampleEncoding, std::string> stream_encoding(
    const WaveFormatInfo& format);

}  // namespace kestrune
