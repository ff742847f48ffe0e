#pragma once
// Small WAV files built byte by byte, so that the file tools are tested on
// headers and encodings they did not write themselves, damaged ones included.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "support/bytes.hpp"

namespace kestrune::test {

inline constexpr std::uint16_t WAVE_TAG_PCM = 0x0001;
inline constexpr std::uint16_t WAVE_TAG_FLOAT = 0x0003;
inline constexpr std::uint16_t WAVE_TAG_EXTENSIBLE = 0xFFFE;

struct WavSpec {
    std::uint16_t channels = 1;
    std::uint32_t sample_rate = 48000;
    std::uint16_t bits_per_sample = 16;  // container bits when extensible
    bool is_float = false;
    bool extensible = false;
    std::uint16_t valid_bits = 0;  // extensible only; 0: the container's bits
    std::uint16_t format_tag = 0;  // overrides the encoding's tag (the sub-format when extensible)
};

struct WavDamage {
    std::size_t cut_bytes = 0;                              // taken off the end of the file
    std::optional<std::uint32_t> data_size = std::nullopt;  // announced instead of the real size
};

// Integer samples are values at the declared depth (valid bits), stored
// MSB-aligned in their container; 8-bit ones are stored unsigned.
[[nodiscard]] std::vector<std::uint8_t> int_wav_bytes(const WavSpec& spec,
                                                      const std::vector<std::int32_t>& samples,
                                                      const WavDamage& damage = {});
// Stored as 32-bit or 64-bit floats by bits_per_sample.
[[nodiscard]] std::vector<std::uint8_t> float_wav_bytes(const WavSpec& spec,
                                                        const std::vector<double>& samples,
                                                        const WavDamage& damage = {});

std::filesystem::path write_int_wav(const std::filesystem::path& path, const WavSpec& spec,
                                    const std::vector<std::int32_t>& samples,
                                    const WavDamage& damage = {});
std::filesystem::path write_float_wav(const std::filesystem::path& path, const WavSpec& spec,
                                      const std::vector<double>& samples,
                                      const WavDamage& damage = {});

struct WavContents {
    std::uint16_t format_tag = 0;
    std::uint16_t sub_format_tag = 0;  // the format tag itself unless extensible
    std::uint16_t channels = 0;
    std::uint32_t sample_rate = 0;
    std::uint16_t bits_per_sample = 0;
    std::uint16_t valid_bits = 0;    // bits_per_sample unless extensible
    std::vector<std::int32_t> ints;  // integer files, at the valid depth
    std::vector<float> floats;       // float files
};

// Parses a RIFF/WAVE file on its own terms; nothing when it is not one.
[[nodiscard]] std::optional<WavContents> read_wav(const std::filesystem::path& path);

}  // namespace kestrune::test
