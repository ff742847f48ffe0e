#include "source_spec.hpp"

namespace kestrune {

std::string SourceSpec::describe() const {
    switch (kind) {
        case SourceKind::SystemAudio:
            return "system audio (loopback)";
        case SourceKind::DefaultMicrophone:
            return "microphone";
        case SourceKind::InputDevice:
            return "input \"" + name + "\"";
        case SourceKind::LoopbackDevice:
            return "loopback \"" + name + "\"";
    }
    return {};
}

bool operator==(const SourceSpec& a, const SourceSpec& b) {
    if (a.kind != b.kind) return false;
    if (a.kind == SourceKind::InputDevice || a.kind == SourceKind::LoopbackDevice)
        return a.name == b.name;
    return true;
}

bool is_loopback_entry(std::string_view entry) {
    return entry.size() > 10 && entry.starts_with(LOOPBACK_PREFIX);
}

}  // namespace kestrune
