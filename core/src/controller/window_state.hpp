#pragma once
// The window's single state record, as far as the window logic uses it. The
// Windows build keeps it, with the window's handles, in a per-thread slot of
// the window's thread.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "cli/gui_startup.hpp"
#include "controller/meter_ballistics.hpp"
#include "recorder/recorder.hpp"

namespace kestrune {

struct WindowState {
    std::optional<Recorder> recording;  // present exactly while recording
    std::optional<std::chrono::steady_clock::time_point> started_at;
    std::optional<std::chrono::steady_clock::time_point> deadline;
    WindowConfig initial;                   // from the entry; never changes afterwards
    std::vector<std::string> device_names;  // list-box order
    std::vector<bool> device_on;
    // The status shown when recording started, put back once no source is lost.
    std::string recording_status;
    std::vector<SourceSpec> lost_shown;  // the sources the status line calls lost
    std::vector<MeterBallistics> meters;  // by source index, while recording
};

}  // namespace kestrune
