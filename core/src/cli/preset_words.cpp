#include "cli/preset_words.hpp"

#include "quality_presets.hpp"

namespace kestrune {

std::optional<std::optional<OutputFormat>> find_preset(std::string_view word) {
    for (const QualityPreset& row : quality_presets()) {
        if (row.key && *row.key == word)
            return row.format;
    }
    return std::nullopt;
}

std::string invalid_preset_message(std::string_view word) {
    std::string text = "Unknown format preset '";
    text += word;
    text += "'. Valid options: auto";
    for (const QualityPreset& row : quality_presets()) {
        if (!row.key)
            continue;
        text += ", ";
        text += *row.key;
    }
    return text;
}

}  // namespace kestrune
