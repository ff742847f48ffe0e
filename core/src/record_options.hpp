#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "output_format.hpp"
#include "recording_mode.hpp"

namespace kestrune {

// The working directory joined with "kestrune" ("." when it cannot be read).
[[nodiscard]] std::filesystem::path default_output_dir();

// What a recording is started with.
struct RecordOptions {
    std::filesystem::path output_dir = default_output_dir();  // empty: default_output_dir
    std::vector<std::string> devices;  // device entries as the device list shows them
    std::optional<OutputFormat> format;  // absent: automatic
    bool loopback = true;
    bool mic = false;
    RecordingMode mode = RecordingMode::SingleFile;
};

}  // namespace kestrune
