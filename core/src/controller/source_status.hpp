#pragma once
// The status texts about devices that went away while recording.

#include <string>
#include <vector>

#include "source_spec.hpp"

namespace kestrune {

// How a source is named to the user: "System audio", "Microphone", or the
// device's name as the device list shows it.
[[nodiscard]] std::string source_label(const SourceSpec& spec);

// "Microphone lost, waiting for it to return..."; several sources are joined
// with commas and "and". Empty for no source.
[[nodiscard]] std::string lost_status_text(const std::vector<SourceSpec>& lost);

// Added to the after-recording summary when sources had gaps: " (silence where
// a device was away: Microphone)". Empty for none.
[[nodiscard]] std::string gaps_note(const std::vector<SourceSpec>& gapped);

}  // namespace kestrune
