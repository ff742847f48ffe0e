#include "controller/controller.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "cli/gui_startup.hpp"
#include "controller/after_recording.hpp"
#include "controller/source_status.hpp"
#include "controller/window_layout.hpp"
#include "quality_presets.hpp"
#include "text/join.hpp"
#include "text/path_text.hpp"

namespace kestrune {
namespace {

constexpr Control LOCKED_WHILE_RECORDING[] = {Control::Single, Control::StemsSilence,
                                              Control::StemsInstructed, Control::Quality,
                                              Control::AskSave};

}  // namespace

std::string duration_text(std::uint64_t elapsed) {
    if (elapsed == 0)
        return {};
    const std::uint64_t seconds = elapsed % 60;
    const std::uint64_t minutes = (elapsed % 3600) / 60;
    const std::uint64_t hours = elapsed / 3600;
    std::string text = "Duration: ";
    if (hours != 0)
        text += std::to_string(hours) + "h ";
    return text + std::to_string(minutes) + "m " + std::to_string(seconds) + "s";
}

Control control_for(const SourceSpec& spec) {
    switch (spec.kind) {
        case SourceKind::DefaultMicrophone:
            return Control::Mic;
        case SourceKind::SystemAudio:
            return Control::SystemAudio;
        case SourceKind::InputDevice:
        case SourceKind::LoopbackDevice:
            break;
    }
    return Control::Devices;
}

Controller::Controller(WindowState& state, View& view, Dialogs& dialogs,
                       ControllerServices services)
    : state_(state), view_(view), dialogs_(dialogs), services_(std::move(services)) {}

RecordOptions Controller::gather_options() const {
    RecordOptions options;
    options.loopback = view_.is_checked(Control::SystemAudio);
    options.mic = view_.is_checked(Control::Mic);
    if (view_.is_checked(Control::StemsSilence)) {
        options.mode = RecordingMode::StemsSilence;
    } else if (view_.is_checked(Control::StemsInstructed)) {
        options.mode = RecordingMode::StemsInstructed;
    } else {
        options.mode = RecordingMode::SingleFile;
    }
    options.output_dir = path_from_utf8(view_.output_text());
    const int selected = view_.quality_selection();
    const auto rows = quality_presets();
    options.format.reset();
    if (selected >= 0 && static_cast<std::size_t>(selected) < rows.size()) {
        options.format = rows[static_cast<std::size_t>(selected)].format;
    }
    const std::size_t n = std::min(state_.device_names.size(), state_.device_on.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (state_.device_on[i])
            options.devices.push_back(state_.device_names[i]);
    }
    return options;
}

void Controller::toggle_recording() {
    if (state_.recording) {
        stop_recording();
    } else {
        start_recording(gather_options(), std::nullopt);
    }
}

void Controller::start_recording(const RecordOptions& options,
                                 std::optional<std::uint64_t> duration_secs) {
    auto started = Recorder::start(
        options, RecorderServices{services_.backend, services_.locations, services_.writer});
    if (!started) {
        const Error& error = started.error();
        std::string message;
        if (error.no_writable_dir) {
            view_.set_status("Recording couldn't be started: no writeable output directory.");
            message = error.text;
        } else {
            view_.set_status("Error: " + error.text);
            message = "Recording couldn't be started:\n" + error.text;
        }
        view_.show_message(message, "Cannot start recording", MessageIcon::Error);
        return;
    }

    const std::vector<std::string> warnings = started->warnings();
    std::string status = "Recording to " + path_display(started->target());
    if (!warnings.empty())
        status += " (warning: " + join(warnings, "; ") + ")";
    state_.recording_status = status;
    state_.lost_shown.clear();
    view_.set_status(status);
    if (!same_path(started->output_dir(), options.output_dir)) {
        view_.set_text(Control::Output, path_display(started->output_dir()));
    }
    view_.set_text(Control::StartStop, "&Stop Recording");
    for (Control c : LOCKED_WHILE_RECORDING)
        view_.set_enabled(c, false);

    const auto now = services_.now();
    state_.recording.emplace(std::move(*started));
    state_.started_at = now;
    state_.deadline.reset();
    if (duration_secs) {
        state_.deadline = saturating_deadline(now, *duration_secs);
        state_.recording->end_after(std::chrono::seconds(
            std::min<std::uint64_t>(*duration_secs, std::numeric_limits<std::int32_t>::max())));
    }
    view_.show_recording_on_taskbar(true,
                                    state_.deadline ? std::optional<double>(0.0) : std::nullopt);
    update_duration_label();

    std::vector<std::string> shown;
    for (const auto& w : warnings) {
        if (!w.starts_with("Created output directory"))
            shown.push_back(w);
    }
    if (!shown.empty()) {
        view_.show_message("Recording is running, but:\n\n" + join(shown, "\n"),
                           "Recording started with problems", MessageIcon::Warning);
    }
}

void Controller::stop_recording(bool unattended) {
    view_.set_text(Control::StartStop, "&Start Recording");
    view_.set_text(Control::Duration, "");
    for (Control c : LOCKED_WHILE_RECORDING)
        view_.set_enabled(c, true);
    state_.meters.clear();
    view_.show_meters({});
    view_.show_recording_on_taskbar(false, std::nullopt);
    state_.started_at.reset();
    state_.deadline.reset();
    if (!state_.recording)
        return;
    // Idle from here on: whatever the dialogs below dispatch sees no recording.
    Recorder recording = std::move(*state_.recording);
    state_.recording.reset();
    const bool ask_where = view_.is_checked(Control::AskSave);
    finish_recording(std::move(recording), ask_where, view_, dialogs_, unattended);
}

void Controller::on_tick() {
    if (state_.recording && state_.recording->last_error()) {
        stop_recording();
        return;
    }
    if (state_.deadline && services_.now() >= *state_.deadline) {
        stop_recording(true);
        view_.post_close();
        return;
    }
    update_source_status();
    update_duration_label();
}

void Controller::update_source_status() {
    if (!state_.recording)
        return;
    Recorder& recording = *state_.recording;
    std::vector<SourceSpec> lost = recording.lost_sources();
    LevelMeters& levels = recording.level_meters();
    for (std::size_t i = 0; i < std::min(recording.total_sources(), levels.size()); ++i)
        levels.set_lost(i, std::find(lost.begin(), lost.end(), recording.source_spec(i)) !=
                               lost.end());
    if (lost == state_.lost_shown)
        return;
    view_.set_status(lost.empty() ? state_.recording_status : lost_status_text(lost));
    state_.lost_shown = std::move(lost);
}

void Controller::on_meter_tick() {
    update_meters();
    update_duration_label();
}

void Controller::update_meters() {
    if (!state_.recording)
        return;
    Recorder& recording = *state_.recording;
    LevelMeters& levels = recording.level_meters();
    const std::size_t n = std::min(recording.total_sources(), levels.size());
    state_.meters.resize(n);
    const auto now = services_.now();
    std::vector<MeterReading> shown;
    for (std::size_t i = 0; i < n; ++i) {
        // Taken even when not shown, so that a source switched on again
        // does not start with a stale peak.
        const float peak = levels.take_peak(i);
        const bool lost = levels.lost(i);
        if (!recording.is_source_enabled(i) && !lost) {
            state_.meters[i] = MeterBallistics{};
            continue;
        }
        MeterBallistics& meter = state_.meters[i];
        meter.update(lost ? 0.0f : peak, now);
        shown.push_back({source_label(recording.source_spec(i)), meter.level_db(), meter.hold_db(),
                         meter.clipped(), lost});
    }
    view_.show_meters(shown);
}

void Controller::update_duration_label() {
    if (!state_.started_at)
        return;
    const auto now = services_.now();
    if (now < *state_.started_at)
        return;
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::seconds>(now - *state_.started_at).count();
    if (elapsed <= 0)
        return;
    view_.set_text(Control::Duration, duration_text(static_cast<std::uint64_t>(elapsed)));
    if (state_.deadline && *state_.deadline > *state_.started_at) {
        const double total =
            std::chrono::duration<double>(*state_.deadline - *state_.started_at).count();
        const double done = std::chrono::duration<double>(now - *state_.started_at).count();
        view_.show_recording_on_taskbar(true, std::min(done / total, 1.0));
    }
}

void Controller::refresh_device_list() {
    std::vector<std::string> names;
    for (const auto& endpoint : services_.backend.list_render_endpoints()) {
        names.push_back(std::string(LOOPBACK_PREFIX) + endpoint.friendly_name);
    }
    for (const auto& device : services_.backend.list_input_devices()) {
        names.push_back(device.name);
    }
    std::vector<bool> on(names.size(), false);
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::size_t old_n = std::min(state_.device_names.size(), state_.device_on.size());
        for (std::size_t j = 0; j < old_n; ++j) {
            if (state_.device_names[j] == names[i]) {
                on[i] = state_.device_on[j];
                break;
            }
        }
    }
    state_.device_names = std::move(names);
    state_.device_on = std::move(on);
    view_.list_clear();
    for (std::size_t i = 0; i < state_.device_names.size(); ++i) {
        view_.list_append(device_item_text(state_.device_names[i], state_.device_on[i]));
    }
}

bool Controller::toggle_device_item() {
    const auto selected = view_.list_selection();
    const std::size_t n = std::min(state_.device_names.size(), state_.device_on.size());
    if (!selected || *selected >= n)
        return false;
    const std::size_t i = *selected;
    const bool on = !state_.device_on[i];
    state_.device_on[i] = on;
    const std::string name = state_.device_names[i];
    view_.list_replace(i, device_item_text(name, on));
    view_.list_select(i);
    set_source_enabled(is_loopback_entry(name) ? SourceSpec::loopback_device(name)
                                               : SourceSpec::input_device(name),
                       on);
    return true;
}

void Controller::set_source_enabled(const SourceSpec& spec, bool enabled) {
    if (!state_.recording)
        return;
    Recorder& recording = *state_.recording;
    if (!enabled) {
        recording.disable_source(spec);
        return;
    }
    // A device with no slot yet (plugged in later, or of a kind nobody asked
    // for at the start) gets one, so that it is recorded too.
    const std::size_t index = recording.add_slot(spec);
    view_.set_enabled(control_for(spec), false);
    if (recording.is_source_running(spec)) {
        services_.starter.post_report(std::make_unique<SourceStartReport>(
            SourceStartReport{spec, index, std::unexpected(std::string(ALREADY_ACTIVE))}));
    } else {
        services_.starter.start_worker(spec, index, recording.source_buffer(index));
    }
}

void Controller::on_source_report(std::unique_ptr<SourceStartReport> report) {
    if (!report)
        return;
    const Control control = control_for(report->spec);
    view_.set_enabled(control, true);
    view_.set_focus(control);
    std::optional<std::string> text;
    if (state_.recording) {
        text = state_.recording->attach_source(static_cast<std::size_t>(report->index),
                                               std::move(report->result));
    }
    // A capture that arrives after the recording ended is stopped here.
    report.reset();
    if (text) {
        view_.set_status("Source failed to start: " + *text);
        view_.show_message("A source could not be started:\n" + *text, "Source failed to start",
                           MessageIcon::Error);
    }
}

}  // namespace kestrune
