#pragma once

namespace kestrune {

// The numeric codes are stored and compared; their order is the window's.
enum class RecordingMode : int { SingleFile = 0, StemsSilence = 1, StemsInstructed = 2 };

[[nodiscard]] constexpr bool is_stems(RecordingMode mode) {
    return mode != RecordingMode::SingleFile;
}

}  // namespace kestrune
