#pragma once

#include <filesystem>
#include <optional>

namespace kestrune {

// Largest sample magnitude relative to full scale; absent when the file cannot
// be read as WAV or has an unsupported integer depth.
[[nodiscard]] std::optional<float> measure_peak(const std::filesystem::path& path);

}  // namespace kestrune
