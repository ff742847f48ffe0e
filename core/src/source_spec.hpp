#pragma once

#include <string>
#include <string_view>

namespace kestrune {

inline constexpr std::string_view LOOPBACK_PREFIX = "[Loopback] ";

enum class SourceKind : int { SystemAudio = 0, DefaultMicrophone = 1, InputDevice = 2, LoopbackDevice = 3 };

// Identifies one capture source. Named kinds carry the display name; for a
// loopback device that name already starts with LOOPBACK_PREFIX.
struct SourceSpec {
    SourceKind kind = SourceKind::SystemAudio;
    std::string name;

    [[nodiscard]] static SourceSpec system_audio() { return {SourceKind::SystemAudio, {}}; }
    [[nodiscard]] static SourceSpec default_microphone() {
        return {SourceKind::DefaultMicrophone, {}};
    }
    [[nodiscard]] static SourceSpec input_device(std::string name) {
        return {SourceKind::InputDevice, std::move(name)};
    }
    [[nodiscard]] static SourceSpec loopback_device(std::string name) {
        return {SourceKind::LoopbackDevice, std::move(name)};
    }

    // The description used in messages, e.g. input "USB Mic".
    [[nodiscard]] std::string describe() const;

    // Kinds 0 and 1 ignore the name; named kinds compare it byte for byte.
    friend bool operator==(const SourceSpec& a, const SourceSpec& b);
};

// A device entry names a loopback device when it is longer than the prefix
// without its space and starts with the whole prefix.
[[nodiscard]] bool is_loopback_entry(std::string_view entry);

}  // namespace kestrune
