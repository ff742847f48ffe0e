#pragma once
// Reads a finished .recpart (or .wav) back as float samples, decoding the
// writer's 16-bit, 24-bit and float layouts.

#include <filesystem>
#include <vector>

#include "output_format.hpp"

namespace kestrune::test {

struct RecpartData {
    OutputFormat format;
    std::vector<float> samples;  // interleaved
    [[nodiscard]] std::size_t frames() const {
        return format.channels ? samples.size() / format.channels : 0;
    }
};

[[nodiscard]] RecpartData read_recpart(const std::filesystem::path& path);

}  // namespace kestrune::test
