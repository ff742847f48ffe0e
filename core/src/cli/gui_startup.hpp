#pragma once
// What the entry hands to the window start-up.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/command_line.hpp"
#include "output_format.hpp"
#include "record_options.hpp"
#include "recording_mode.hpp"

namespace kestrune {

// The window's controls as it opens.
struct WindowConfig {
    std::string output_folder;  // text of the output-folder field, UTF-8
    std::vector<std::string> devices;
    std::optional<OutputFormat> format;  // absent: automatic
    bool loopback = true;
    bool mic = false;
    RecordingMode mode = RecordingMode::SingleFile;
};

// A recording to start as soon as the window exists (--duration).
struct AutoStart {
    RecordOptions options;
    std::uint64_t duration_secs = 0;
};

struct GuiStartup {
    WindowConfig config;
    std::optional<AutoStart> auto_start;
    // When the timed recording stops; time_point::max() when the duration
    // reaches beyond what the clock can represent.
    std::optional<std::chrono::steady_clock::time_point> deadline;
};

// now + secs, saturated at the clock's maximum instead of overflowing.
[[nodiscard]] std::chrono::steady_clock::time_point saturating_deadline(
    std::chrono::steady_clock::time_point now, std::uint64_t secs);

// The start-up data for parsed options: with a duration, the configuration of
// the timed recording; without, the window's defaults.
[[nodiscard]] GuiStartup make_gui_startup(const CliOptions& options,
                                          std::chrono::steady_clock::time_point now);

}  // namespace kestrune
