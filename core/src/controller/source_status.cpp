#include "controller/source_status.hpp"

namespace kestrune {
namespace {

std::string labels(const std::vector<SourceSpec>& specs) {
    std::string text;
    for (std::size_t i = 0; i < specs.size(); ++i) {
        if (i > 0)
            text += i + 1 == specs.size() ? " and " : ", ";
        text += source_label(specs[i]);
    }
    return text;
}

}  // namespace

std::string source_label(const SourceSpec& spec) {
    switch (spec.kind) {
        case SourceKind::SystemAudio:
            return "System audio";
        case SourceKind::DefaultMicrophone:
            return "Microphone";
        case SourceKind::InputDevice:
        case SourceKind::LoopbackDevice:
            break;
    }
    return spec.name;
}

std::string lost_status_text(const std::vector<SourceSpec>& lost) {
    if (lost.empty())
        return {};
    return labels(lost) + " lost, waiting for " + (lost.size() == 1 ? "it" : "them") +
           " to return...";
}

std::string gaps_note(const std::vector<SourceSpec>& gapped) {
    if (gapped.empty())
        return {};
    return " (silence where a device was away: " + labels(gapped) + ")";
}

}  // namespace kestrune
