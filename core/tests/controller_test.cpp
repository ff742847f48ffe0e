#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "controller/controller.hpp"
#include "controller/source_status.hpp"
#include "support/bytes.hpp"
#include "support/fake_backend.hpp"
#include "support/fake_view.hpp"
#include "support/temp_dir.hpp"
#include "text/path_text.hpp"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::FakeDialogs;
using test::FakeView;

constexpr OutputFormat NATIVE{48000, 2, 32, true};

// A capture that delivers nothing; it notes when it is released.
class QuietCapture : public CaptureHandle {
public:
    explicit QuietCapture(std::shared_ptr<std::atomic<int>> released)
        : released_(std::move(released)) {}
    ~QuietCapture() override { ++*released_; }

private:
    std::shared_ptr<std::atomic<int>> released_;
};

// A machine with system audio, a microphone, one more output and one more
// input; starts succeed unless told otherwise.
class MachineBackend : public CaptureBackend {
public:
    std::optional<std::string> default_input_name() override { return "Mic"; }
    std::optional<OutputFormat> probe_input_format(const std::string&) override { return NATIVE; }
    std::expected<OutputFormat, std::string> probe_loopback_format(
        const std::optional<std::string>&) override {
        return NATIVE;
    }
    StartResult start_default_input(std::shared_ptr<SampleBuffer>) override {
        if (mic_error)
            return std::unexpected(*mic_error);
        StartResult r = started();
        r->health = mic_health;
        return r;
    }
    StartResult start_named_input(const std::string&, std::shared_ptr<SampleBuffer>) override {
        return started();
    }
    StartResult start_loopback(const std::optional<std::string>&,
                               std::shared_ptr<SampleBuffer>) override {
        return started();
    }
    std::vector<InputDeviceEntry> list_input_devices() override { return inputs; }
    std::vector<RenderEndpointEntry> list_render_endpoints() override { return outputs; }

    StartResult started() {
        return StartedCapture{std::make_unique<QuietCapture>(released), NATIVE, 0, nullptr};
    }

    std::optional<std::string> mic_error;
    // What the microphone's capture says about its device.
    std::shared_ptr<CaptureHealth> mic_health = std::make_shared<CaptureHealth>();
    std::vector<InputDeviceEntry> inputs{{"Line In"}};
    std::vector<RenderEndpointEntry> outputs{{"Headphones", "{id-2}"}};
    std::shared_ptr<std::atomic<int>> released = std::make_shared<std::atomic<int>>(0);
};

// Keeps requested starts and posted reports until the test delivers them.
class HeldStarter : public SourceStarter {
public:
    struct Request {
        SourceSpec spec;
        std::uint64_t index;
    };
    void start_worker(const SourceSpec& spec, std::uint64_t index,
                      std::shared_ptr<SampleBuffer>) override {
        requests.push_back({spec, index});
    }
    void post_report(std::unique_ptr<SourceStartReport> report) override {
        posted.push_back(std::move(report));
    }
    std::vector<Request> requests;
    std::vector<std::unique_ptr<SourceStartReport>> posted;
};

struct Window {
    test::TempDir dir;
    MachineBackend backend;
    test::FakeLocations places;
    HeldStarter starter;
    FakeView view;
    FakeDialogs dialogs;
    WindowState state;
    std::chrono::steady_clock::time_point clock{1000s};

    Window() {
        fs::create_directory(dir / "out");
        view.set_text(Control::Output, path_display(dir / "out"));
        view.check(Control::SystemAudio);
        view.set_status("Ready.");
    }
    Controller controller() {
        return Controller(state, view, dialogs,
                          ControllerServices{backend, places, starter, [this] { return clock; }});
    }
    std::vector<fs::path> wavs(const fs::path& in) const {
        std::vector<fs::path> out;
        for (const auto& e : fs::recursive_directory_iterator(in)) {
            if (e.path().extension() == ".wav")
                out.push_back(e.path());
        }
        return out;
    }
};

constexpr Control LOCKED[] = {Control::Single, Control::StemsSilence, Control::StemsInstructed,
                              Control::Quality, Control::AskSave};

TEST(Controller, StartAndStopFollowTheStateTable) {
    Window w;
    w.controller().toggle_recording();
    ASSERT_TRUE(w.state.recording.has_value());
    EXPECT_TRUE(w.view.messages.empty());
    const fs::path target = w.state.recording->target();
    EXPECT_EQ(target.parent_path(), w.dir / "out");
    EXPECT_EQ(target.extension(), ".recpart");
    EXPECT_EQ(w.view.text(Control::Status), "Recording to " + path_display(target));
    EXPECT_EQ(w.view.text(Control::StartStop), "&Stop Recording");
    EXPECT_EQ(w.view.text(Control::Duration), "");
    for (Control c : LOCKED)
        EXPECT_FALSE(w.view.enabled(c));
    for (Control c : {Control::Mic, Control::SystemAudio, Control::Devices, Control::Output,
                      Control::Repair, Control::Normalize}) {
        EXPECT_TRUE(w.view.enabled(c));
    }
    EXPECT_EQ(w.view.text(Control::Output), path_display(w.dir / "out"));  // unchanged

    w.clock += 1s;
    w.controller().on_tick();
    EXPECT_EQ(w.view.text(Control::Duration), "Duration: 0m 1s");

    w.controller().toggle_recording();
    EXPECT_FALSE(w.state.recording.has_value());
    EXPECT_FALSE(w.state.started_at.has_value());
    EXPECT_EQ(w.view.text(Control::StartStop), "&Start Recording");
    EXPECT_EQ(w.view.text(Control::Duration), "");
    for (Control c : LOCKED)
        EXPECT_TRUE(w.view.enabled(c));
    const auto wavs = w.wavs(w.dir / "out");
    ASSERT_EQ(wavs.size(), 1u);
    EXPECT_EQ(w.view.text(Control::Status), "Saved: " + path_display(wavs[0]));
    // System audio alone of system audio and microphone: quiet, so asked (and declined).
    EXPECT_EQ(w.view.questions.size(), 1u);
}

TEST(Controller, StatusTellsWhileADeviceIsAwayAndTheSummaryMentionsTheGap) {
    Window w;
    w.view.check(Control::Mic);
    w.controller().toggle_recording();
    const std::string recording_status = w.view.text(Control::Status);
    ASSERT_TRUE(recording_status.starts_with("Recording to ")) << recording_status;
    CaptureHealth& mic = *w.backend.mic_health;

    mic.lost.store(true);  // unplugged
    mic.gaps.store(1);
    w.controller().on_tick();
    EXPECT_EQ(w.view.text(Control::Status), "Microphone lost, waiting for it to return...");
    w.view.set_status("Something else");  // a status of its own is not written over every tick
    w.controller().on_tick();
    EXPECT_EQ(w.view.text(Control::Status), "Something else");

    mic.lost.store(false);  // back
    w.controller().on_tick();
    EXPECT_EQ(w.view.text(Control::Status), recording_status);

    w.controller().toggle_recording();
    const auto wavs = w.wavs(w.dir / "out");
    ASSERT_EQ(wavs.size(), 1u);
    EXPECT_EQ(w.view.text(Control::Status),
              "Saved: " + path_display(wavs[0]) + " (silence where a device was away: Microphone)");

    // Several at once, as the texts put them.
    EXPECT_EQ(lost_status_text({SourceSpec::system_audio(), SourceSpec::default_microphone(),
                                SourceSpec::input_device("USB Mic")}),
              "System audio, Microphone and USB Mic lost, waiting for them to return...");
}

TEST(Controller, GatherOptionsReadsTheControls) {
    Window w;
    w.view.check(Control::Mic);
    w.view.check(Control::SystemAudio, false);
    w.view.check(Control::StemsInstructed);
    w.view.quality = 2;
    w.view.set_text(Control::Output, " spaced ");
    w.state.device_names = {"[Loopback] Headphones", "Line In", "Gone"};
    w.state.device_on = {true, false};  // shorter: the third name is ignored
    RecordOptions o = w.controller().gather_options();
    EXPECT_TRUE(o.mic);
    EXPECT_FALSE(o.loopback);
    EXPECT_EQ(o.mode, RecordingMode::StemsInstructed);
    EXPECT_EQ(o.format, (OutputFormat{48000, 2, 24, false}));
    EXPECT_EQ(o.output_dir, fs::path(" spaced "));
    EXPECT_EQ(o.devices, std::vector<std::string>{"[Loopback] Headphones"});

    w.view.check(Control::StemsSilence);  // wins over instructed
    w.view.missing.insert(Control::Mic);
    for (int selection : {-1, 0, 5}) {
        w.view.quality = selection;
        o = w.controller().gather_options();
        EXPECT_FALSE(o.format.has_value()) << selection;
        EXPECT_FALSE(o.mic);
        EXPECT_EQ(o.mode, RecordingMode::StemsSilence);
    }
}

TEST(Controller, StartWarningsAndFailures) {
    {
        SCOPED_TRACE("created directory: status only");
        Window w;
        const fs::path fresh = w.dir / "fresh";
        w.view.set_text(Control::Output, path_display(fresh));
        w.controller().toggle_recording();
        ASSERT_TRUE(w.state.recording.has_value());
        EXPECT_EQ(w.view.text(Control::Status),
                  "Recording to " + path_display(w.state.recording->target()) +
                      " (warning: Created output directory " + path_display(fresh) + ")");
        EXPECT_TRUE(w.view.messages.empty());
        w.controller().stop_recording();
    }
    {
        SCOPED_TRACE("fallback directory and a failed microphone");
        Window w;
        test::write_bytes(w.dir / "file", {'x'});
        w.places.working = w.dir / "work";
        fs::create_directory(*w.places.working);
        w.view.set_text(Control::Output, path_display(w.dir / "file" / "sub"));
        w.view.check(Control::Mic);
        w.backend.mic_error = "device busy";
        w.controller().toggle_recording();
        ASSERT_TRUE(w.state.recording.has_value());
        EXPECT_EQ(w.view.text(Control::Output), path_display(*w.places.working));
        const std::string status = w.view.text(Control::Status);
        EXPECT_TRUE(status.starts_with("Recording to " + path_display(*w.places.working)))
            << status;
        EXPECT_NE(status.find(" (warning: Could not write to "), std::string::npos) << status;
        EXPECT_NE(status.find("; Microphone failed to start: device busy)"), std::string::npos)
            << status;
        ASSERT_EQ(w.view.messages.size(), 1u);
        EXPECT_TRUE(
            w.view.messages[0].text.starts_with("Recording is running, but:\n\nCould not "
                                                "write to "));
        EXPECT_TRUE(w.view.messages[0].text.ends_with("\nMicrophone failed to start: device busy"));
        EXPECT_EQ(w.view.messages[0].caption, "Recording started with problems");
        EXPECT_EQ(w.view.messages[0].icon, MessageIcon::Warning);
        w.controller().stop_recording();
    }
    {
        SCOPED_TRACE("no writable directory");
        Window w;
        test::write_bytes(w.dir / "file", {'x'});
        w.view.set_text(Control::Output, path_display(w.dir / "file" / "sub"));
        w.controller().toggle_recording();
        EXPECT_FALSE(w.state.recording.has_value());
        EXPECT_EQ(w.view.text(Control::Status),
                  "Recording couldn't be started: no writeable output directory.");
        ASSERT_EQ(w.view.messages.size(), 1u);
        EXPECT_NE(w.view.messages[0].text.find("Tried:"), std::string::npos);
        EXPECT_EQ(w.view.messages[0].caption, "Cannot start recording");
        EXPECT_EQ(w.view.messages[0].icon, MessageIcon::Error);
        EXPECT_EQ(w.view.text(Control::StartStop), "");  // never switched
        for (Control c : LOCKED)
            EXPECT_TRUE(w.view.enabled(c));
    }
}

TEST(Controller, DurationLabelBoundaries) {
    struct Case {
        std::uint64_t secs;
        const char* text;
    };
    const Case cases[] = {{0, ""},
                          {1, "Duration: 0m 1s"},
                          {7, "Duration: 0m 7s"},
                          {59, "Duration: 0m 59s"},
                          {60, "Duration: 1m 0s"},
                          {725, "Duration: 12m 5s"},
                          {3599, "Duration: 59m 59s"},
                          {3600, "Duration: 1h 0m 0s"},
                          {3725, "Duration: 1h 2m 5s"},
                          {90061, "Duration: 25h 1m 1s"},
                          {UINT64_MAX, "Duration: 5124095576030431h 0m 15s"}};
    for (const Case& c : cases)
        EXPECT_EQ(duration_text(c.secs), c.text) << c.secs;

    Window w;
    Controller ctl = w.controller();
    ctl.update_duration_label();  // never started: nothing
    EXPECT_EQ(w.view.text(Control::Duration), "");
    w.state.started_at = w.clock;
    w.view.set_text(Control::Duration, "kept");
    w.clock += 999ms;
    ctl.update_duration_label();
    EXPECT_EQ(w.view.text(Control::Duration), "kept");
    w.clock -= 5s;  // clock behind the start
    ctl.update_duration_label();
    EXPECT_EQ(w.view.text(Control::Duration), "kept");
    w.clock += 5s + 3599s;
    ctl.update_duration_label();
    EXPECT_EQ(w.view.text(Control::Duration), "Duration: 59m 59s");
}

TEST(Controller, TaskbarShowsTheRecordingAndATimedOnesProgress) {
    Window w;
    w.controller().toggle_recording();
    EXPECT_TRUE(w.view.taskbar_recording);
    EXPECT_FALSE(w.view.taskbar_done.has_value());  // no end known
    w.controller().toggle_recording();
    EXPECT_FALSE(w.view.taskbar_recording);

    w.controller().start_recording(w.controller().gather_options(), 10);
    EXPECT_TRUE(w.view.taskbar_recording);
    EXPECT_EQ(w.view.taskbar_done, std::optional<double>(0.0));
    w.clock += 2500ms;
    w.controller().on_meter_tick();
    ASSERT_TRUE(w.view.taskbar_done.has_value());
    EXPECT_NEAR(*w.view.taskbar_done, 0.25, 1e-9);
    w.controller().stop_recording();
    EXPECT_FALSE(w.view.taskbar_recording);
}

TEST(Controller, StemsStatusNamesTheSessionFolder) {
    Window w;
    w.view.check(Control::Single, false);
    w.view.check(Control::StemsSilence);
    w.controller().toggle_recording();
    ASSERT_TRUE(w.state.recording.has_value());
    const fs::path target = w.state.recording->target();
    EXPECT_TRUE(fs::is_directory(target)) << target;
    EXPECT_EQ(target.parent_path(), w.dir / "out");
    EXPECT_EQ(w.view.text(Control::Status), "Recording to " + path_display(target));
    w.controller().stop_recording();
}

TEST(Controller, DeadlineStopsTheRecordingAndClosesTheWindow) {
    Window w;
    w.controller().start_recording(w.controller().gather_options(), 5);
    ASSERT_TRUE(w.state.recording.has_value());
    w.clock += 4999ms;
    w.controller().on_tick();
    EXPECT_TRUE(w.state.recording.has_value());
    EXPECT_EQ(w.view.close_posts, 0);
    w.clock += 1ms;
    w.controller().on_tick();
    EXPECT_FALSE(w.state.recording.has_value());
    EXPECT_EQ(w.view.close_posts, 1);
    EXPECT_EQ(w.wavs(w.dir / "out").size(), 1u);
    // The mix of one source of two is quiet, but a timed run has nobody to ask:
    // the question would hold the program open for ever.
    EXPECT_TRUE(w.view.questions.empty());

    // A duration beyond the clock's range saturates instead of wrapping into the past.
    Window far;
    far.controller().start_recording(far.controller().gather_options(), UINT64_MAX);
    far.clock += 10s;
    far.controller().on_tick();
    EXPECT_TRUE(far.state.recording.has_value());
    far.controller().stop_recording();

    // A failed automatic start still closes the window at the entry's deadline.
    Window failed;
    failed.state.deadline = failed.clock + 5s;
    failed.clock += 6s;
    failed.controller().on_tick();
    EXPECT_EQ(failed.view.close_posts, 1);
}

TEST(Controller, DeviceListRefreshKeepsFlagsByName) {
    Window w;
    w.controller().refresh_device_list();
    EXPECT_EQ(w.state.device_names, (std::vector<std::string>{"[Loopback] Headphones", "Line In"}));
    EXPECT_EQ(w.view.list_items, (std::vector<std::string>{"off  \u2014  [Loopback] Headphones",
                                                           "off  \u2014  Line In"}));
    // Space while idle only flips the item; the next start includes it.
    w.view.selection = 1;
    EXPECT_TRUE(w.controller().toggle_device_item());
    EXPECT_EQ(w.view.list_items[1], "on   \u2014  Line In");
    EXPECT_EQ(w.view.selection, std::optional<std::size_t>(1));
    EXPECT_EQ(w.controller().gather_options().devices, std::vector<std::string>{"Line In"});

    w.backend.inputs = {{"USB Mic"}, {"Line In"}};
    w.controller().refresh_device_list();
    EXPECT_EQ(w.view.list_items,
              (std::vector<std::string>{"off  \u2014  [Loopback] Headphones",
                                        "off  \u2014  USB Mic", "on   \u2014  Line In"}));

    w.view.selection.reset();
    EXPECT_FALSE(w.controller().toggle_device_item());
    EXPECT_EQ(w.state.device_on, (std::vector<bool>{false, false, true}));
}

TEST(Controller, SwitchingSourcesWhileRecording) {
    Window w;
    w.view.check(Control::Mic);
    w.controller().refresh_device_list();
    w.controller().toggle_recording();
    ASSERT_TRUE(w.state.recording.has_value());
    Recorder& rec = *w.state.recording;
    ASSERT_TRUE(rec.is_source_running(SourceSpec::default_microphone()));

    {
        SCOPED_TRACE("microphone off, then on again");
        w.controller().set_source_enabled(SourceSpec::default_microphone(), false);
        EXPECT_FALSE(rec.is_source_running(SourceSpec::default_microphone()));
        EXPECT_TRUE(rec.is_source_running(SourceSpec::system_audio()));
        EXPECT_EQ(*w.backend.released, 1);
        EXPECT_TRUE(w.view.enabled(Control::Mic));

        w.controller().set_source_enabled(SourceSpec::default_microphone(), true);
        EXPECT_FALSE(w.view.enabled(Control::Mic));
        ASSERT_EQ(w.starter.requests.size(), 1u);
        EXPECT_EQ(w.starter.requests[0].spec, SourceSpec::default_microphone());
        EXPECT_EQ(w.starter.requests[0].index, 1u);
        w.view.focus.reset();
        w.controller().on_source_report(std::make_unique<SourceStartReport>(SourceStartReport{
            SourceSpec::default_microphone(), 1,
            CaptureSource{SourceSpec::default_microphone(),
                          std::make_unique<QuietCapture>(w.backend.released), nullptr}}));
        EXPECT_TRUE(w.view.enabled(Control::Mic));
        EXPECT_EQ(w.view.focus, std::optional<Control>(Control::Mic));
        EXPECT_TRUE(rec.is_source_running(SourceSpec::default_microphone()));
        EXPECT_TRUE(w.view.messages.empty());
    }
    {
        SCOPED_TRACE("enabling a running source reports already active");
        w.controller().set_source_enabled(SourceSpec::system_audio(), true);
        EXPECT_FALSE(w.view.enabled(Control::SystemAudio));
        ASSERT_EQ(w.starter.posted.size(), 1u);
        ASSERT_FALSE(w.starter.posted[0]->result.has_value());
        EXPECT_EQ(w.starter.posted[0]->result.error(), "already active");
        w.controller().on_source_report(std::move(w.starter.posted[0]));
        EXPECT_TRUE(w.view.enabled(Control::SystemAudio));
        EXPECT_TRUE(w.view.messages.empty());
        EXPECT_TRUE(w.view.text(Control::Status).starts_with("Recording to "))
            << w.view.text(Control::Status);
    }
    {
        SCOPED_TRACE("a device that had no slot gets one and is started");
        w.view.selection = 0;
        EXPECT_TRUE(w.controller().toggle_device_item());
        EXPECT_EQ(w.view.list_items[0], "on   \u2014  [Loopback] Headphones");
        EXPECT_FALSE(w.view.enabled(Control::Devices));
        ASSERT_EQ(w.starter.requests.size(), 2u);
        EXPECT_EQ(w.starter.requests[1].spec, SourceSpec::loopback_device("[Loopback] Headphones"));
        EXPECT_EQ(w.starter.requests[1].index, w.state.recording->total_sources() - 1);
    }
    {
        SCOPED_TRACE("a source that fails to start");
        w.controller().on_source_report(std::make_unique<SourceStartReport>(
            SourceStartReport{SourceSpec::input_device("Line In"), 2,
                              std::unexpected(std::string("no such device"))}));
        EXPECT_TRUE(w.view.enabled(Control::Devices));
        EXPECT_EQ(w.view.focus, std::optional<Control>(Control::Devices));
        EXPECT_EQ(w.view.text(Control::Status), "Source failed to start: no such device");
        ASSERT_EQ(w.view.messages.size(), 1u);
        EXPECT_EQ(w.view.messages[0].text, "A source could not be started:\nno such device");
        EXPECT_EQ(w.view.messages[0].caption, "Source failed to start");
        EXPECT_TRUE(w.state.recording.has_value());
    }
    w.controller().stop_recording();
    {
        SCOPED_TRACE("a late report after the stop is dropped and its capture released");
        const int before = *w.backend.released;
        w.view.messages.clear();
        w.controller().on_source_report(std::make_unique<SourceStartReport>(SourceStartReport{
            SourceSpec::default_microphone(), 1,
            CaptureSource{SourceSpec::default_microphone(),
                          std::make_unique<QuietCapture>(w.backend.released), nullptr}}));
        EXPECT_EQ(*w.backend.released, before + 1);
        EXPECT_TRUE(w.view.messages.empty());
        EXPECT_TRUE(w.view.enabled(Control::Mic));
    }
    // Switching while idle starts nothing.
    w.controller().set_source_enabled(SourceSpec::default_microphone(), true);
    EXPECT_TRUE(w.view.enabled(Control::Mic));
    EXPECT_EQ(w.starter.requests.size(), 2u);
}

}  // namespace
}  // namespace kestrune
