#pragma once
// .recpart files as a crash leaves them: a header that still announces no
// audio, followed by whatever sample bytes had reached the file.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "output_format.hpp"

namespace kestrune::test {

// The writer's header with data size 0, built by hand from the field table.
[[nodiscard]] std::vector<std::uint8_t> zero_size_header(const OutputFormat& format);

// A recognisable byte pattern, so that tests can see the samples were kept.
[[nodiscard]] std::vector<std::uint8_t> sample_bytes(std::size_t count);

// zero_size_header(format) followed by sample_bytes(data_bytes).
[[nodiscard]] std::vector<std::uint8_t> crashed_recpart(const OutputFormat& format,
                                                        std::size_t data_bytes);

void write_crashed_recpart(const std::filesystem::path& path, const OutputFormat& format,
                           std::size_t data_bytes);

}  // namespace kestrune::test
