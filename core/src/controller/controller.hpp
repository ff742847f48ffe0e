#pragma once
// The logic of the main window: options from the controls, starting and
// stopping the Recorder, the controls' states, the duration label, switching
// sources while recording and the workers' reports. Runs on the window's
// thread only; the window procedure builds one per message.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "capture/capture_backend.hpp"
#include "capture/source_start.hpp"
#include "controller/view.hpp"
#include "controller/window_state.hpp"
#include "record_options.hpp"
#include "session/session_locations.hpp"

namespace kestrune {

inline constexpr const char* ALREADY_ACTIVE = "already active";

// Source starts while recording run off the window's thread and come back as
// reports, the way posted window messages do.
class SourceStarter {
public:
    virtual ~SourceStarter() = default;
    // Starts the source on a worker that later delivers its report to
    // Controller::on_source_report.
    virtual void start_worker(const SourceSpec& spec, std::uint64_t index,
                              std::shared_ptr<SampleBuffer> buffer) = 0;
    // Delivers report later, as a posted message.
    virtual void post_report(std::unique_ptr<SourceStartReport> report) = 0;
};

struct ControllerServices {
    CaptureBackend& backend;
    const SessionLocations& locations;
    SourceStarter& starter;
    std::function<std::chrono::steady_clock::time_point()> now = [] {
        return std::chrono::steady_clock::now();
    };
    WriterConfig writer = {};
};

class Controller {
public:
    Controller(WindowState& state, View& view, Dialogs& dialogs, ControllerServices services);

    [[nodiscard]] RecordOptions gather_options() const;
    void toggle_recording();
    void start_recording(const RecordOptions& options, std::optional<std::uint64_t> duration_secs);
    // unattended: stopped by the command line's deadline, with nobody to ask.
    void stop_recording(bool unattended = false);
    void on_tick();
    // About 20 times a second: the meters and, when its text changes, the
    // duration label.
    void on_meter_tick();
    void update_duration_label();
    // Shows which sources are waiting for their device, or the recording's
    // own status once none is; the timer and the capture threads' notices
    // call it.
    void update_source_status();
    void update_meters();
    void refresh_device_list();
    // Space in the device list; false when nothing is selected, so that the
    // key goes to the list's own handling.
    bool toggle_device_item();
    void set_source_enabled(const SourceSpec& spec, bool enabled);
    void on_source_report(std::unique_ptr<SourceStartReport> report);

private:
    WindowState& state_;
    View& view_;
    Dialogs& dialogs_;
    ControllerServices services_;
};

// "Duration: 0m 7s", "Duration: 1h 2m 5s"; empty for 0 seconds.
[[nodiscard]] std::string duration_text(std::uint64_t elapsed_secs);

// The control that belongs to a source: the microphone or system-audio check
// box, or the device list for the named kinds.
[[nodiscard]] Control control_for(const SourceSpec& spec);

}  // namespace kestrune
