#pragma once

#include <cstdint>

namespace kestrune {

// Sample format of a written file or of a source's native stream.
struct OutputFormat {
    std::uint32_t sample_rate = 0;
    std::uint16_t channels = 0;
    std::uint16_t bits_per_sample = 0;
    bool is_float = false;

    friend bool operator==(const OutputFormat&, const OutputFormat&) = default;
};

}  // namespace kestrune
