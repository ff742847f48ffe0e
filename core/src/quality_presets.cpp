#include "quality_presets.hpp"

namespace kestrune {

std::vector<QualityPreset> quality_presets() {
    return {
        {std::nullopt, "Auto (match source)", std::nullopt},
        {"cd", "CD quality  \u2014  44.1 kHz / 16-bit", OutputFormat{44100, 2, 16, false}},
        {"studio", "Studio  \u2014  48 kHz / 24-bit", OutputFormat{48000, 2, 24, false}},
        {"hires", "High-res  \u2014  96 kHz / 24-bit", OutputFormat{96000, 2, 24, false}},
        {"hires-float", "High-res float  \u2014  96 kHz / 32-bit float",
         OutputFormat{96000, 2, 32, true}},
    };
}

}  // namespace kestrune
