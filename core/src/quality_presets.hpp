#pragma once

#include <optional>
#include <string>
#include <vector>

#include "output_format.hpp"

namespace kestrune {

struct QualityPreset {
    std::optional<std::string> key;  // the --format word; absent for the automatic row
    std::string label;
    std::optional<OutputFormat> format;  // absent: match the sources
};

// The five rows, in the order the window and the usage text show them.
[[nodiscard]] std::vector<QualityPreset> quality_presets();

}  // namespace kestrune
