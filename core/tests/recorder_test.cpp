// The real Recorder and processor thread, fed by the fake backend's capture
// threads in real time; every check reads the files on disk.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <numbers>
#include <sstream>
#include <thread>

#include "recorder/recorder.hpp"
#include "support/bytes.hpp"
#include "support/fake_backend.hpp"
#include "support/faulty_file.hpp"
#include "support/recpart_reader.hpp"
#include "support/temp_dir.hpp"

namespace kestrune {
namespace {

using namespace std::chrono_literals;

constexpr OutputFormat FLOAT_STEREO{48000, 2, 32, true};

struct RecorderTest : ::testing::Test {
    test::TempDir dir;
    test::FakeBackend backend;
    test::FakeLocations locations;
    WriterConfig writer;

    RecordOptions options(RecordingMode mode = RecordingMode::SingleFile) const {
        RecordOptions o;
        o.output_dir = dir / "out";
        o.mode = mode;
        return o;
    }
    Result<Recorder> try_start(const RecordOptions& o) {
        return Recorder::start(o, RecorderServices{backend, locations, writer});
    }
    Recorder start(const RecordOptions& o) {
        Result<Recorder> r = try_start(o);
        EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().text);
        return std::move(*r);
    }
    // The processor lets the captures go after it has sent the file list, so
    // they may still be stopping when stop returns.
    bool all_captures_stopped() const {
        for (int i = 0; i < 200 && backend.running() != 0; ++i)
            std::this_thread::sleep_for(10ms);
        return backend.running() == 0;
    }
    // Starts a source the way the window's worker does, and attaches it.
    void switch_on(Recorder& rec, const SourceSpec& spec) {
        const std::size_t index = rec.source_index(spec).value();
        StartResult started = spec.kind == SourceKind::SystemAudio
                                  ? backend.start_loopback(std::nullopt, rec.source_buffer(index))
                                  : backend.start_default_input(rec.source_buffer(index));
        ASSERT_TRUE(started.has_value());
        EXPECT_FALSE(
            rec.attach_source(index, CaptureSource{spec, std::move(started->capture), nullptr}));
    }
};

// Amplitude of the frequency in one channel, by a single DFT bin.
double amplitude_at(const std::vector<float>& interleaved, std::uint16_t channels,
                    std::uint32_t rate, double frequency) {
    double re = 0, im = 0;
    const std::size_t frames = interleaved.size() / channels;
    for (std::size_t f = 0; f < frames; ++f) {
        const double w = 2.0 * std::numbers::pi * frequency * static_cast<double>(f) / rate;
        re += interleaved[f * channels] * std::cos(w);
        im += interleaved[f * channels] * std::sin(w);
    }
    return 2.0 * std::hypot(re, im) / static_cast<double>(frames);
}

TEST_F(RecorderTest, MixesAtOneOverTheSlotCountAndClamps) {
    // Two slots (system audio and an idle microphone): system audio at half.
    for (const float level : {0.8f, 3.0f}) {
        SCOPED_TRACE(level);
        test::TempDir out;
        backend.loopback.level = level;
        RecordOptions o = options();
        o.output_dir = out.path();
        Recorder rec = start(o);
        std::this_thread::sleep_for(400ms);
        const StopResult result = std::move(rec).stop();
        ASSERT_EQ(result.files.size(), 1u);
        const test::RecpartData d = test::read_recpart(result.files[0]);
        ASSERT_GT(d.frames(), 48000u * 3 / 10);
        float peak = 0;
        for (float v : d.samples)
            peak = std::max(peak, std::fabs(v));
        EXPECT_NEAR(peak, level > 2 ? 1.0f : 0.4f, 1e-3);
        if (level < 1) {
            EXPECT_NEAR(amplitude_at(d.samples, 2, 48000, 440.0), 0.4, 0.01);
        }
    }
}

TEST_F(RecorderTest, QuietSourceIsGivenUpAndTheMixRunsOn) {
    backend.microphone = test::fake_device(FLOAT_STEREO);
    backend.microphone.quiet = true;
    RecordOptions o = options();
    o.mic = true;
    Recorder rec = start(o);
    std::this_thread::sleep_for(500ms);
    const StopResult result = std::move(rec).stop();
    EXPECT_EQ(result.used_sources, 2u);
    const test::RecpartData d = test::read_recpart(result.files.at(0));
    // All that system audio delivered is written, at half level.
    EXPECT_GT(d.frames(), 48000u * 4 / 10);
    EXPECT_NEAR(amplitude_at(d.samples, 2, 48000, 440.0), 0.25, 0.01);
}

TEST_F(RecorderTest, BurstySourceIsPlacedWithoutGaps) {
    // System audio arrives in 40 ms bursts, the microphone steadily: each
    // stem is its tone without a hole from its first frame to the end, and
    // both span the same recording.
    backend.loopback.burst = 4;
    backend.microphone = test::fake_device(FLOAT_STEREO);
    RecordOptions o = options(RecordingMode::StemsSilence);
    o.mic = true;
    Recorder rec = start(o);
    std::this_thread::sleep_for(600ms);
    const StopResult result = std::move(rec).stop();
    ASSERT_EQ(result.files.size(), 2u);
    const test::RecpartData loop = test::read_recpart(result.files[0]);
    const test::RecpartData mic = test::read_recpart(result.files[1]);
    EXPECT_EQ(loop.frames(), mic.frames());
    for (const test::RecpartData* d : {&loop, &mic}) {
        // A 440 Hz tone at 0.5 moves by 0.029 between frames: a run of near
        // silence anywhere after its start is a hole.
        std::size_t first = 0;
        while (first < d->frames() && std::fabs(d->samples[2 * first]) < 0.05f)
            ++first;
        EXPECT_LT(first, 48000u / 20);
        std::size_t run = 0, longest = 0;
        for (std::size_t f = first; f < d->frames(); ++f) {
            run = std::fabs(d->samples[2 * f]) < 1e-3f ? run + 1 : 0;
            longest = std::max(longest, run);
        }
        EXPECT_LT(longest, 3u);
    }
}

TEST_F(RecorderTest, ChoosesTheGreatestNativeFormat) {
    struct Case {
        OutputFormat loopback, mic;
        std::optional<OutputFormat> fixed;
        OutputFormat expected;
    };
    const Case cases[] = {
        {{48000, 2, 32, true}, {44100, 1, 16, false}, {}, {48000, 2, 32, true}},
        {{44100, 2, 16, false}, {96000, 1, 24, false}, {}, {96000, 1, 24, false}},
        {{48000, 2, 16, false}, {48000, 6, 16, false}, {}, {48000, 6, 16, false}},
        {{48000, 2, 24, false}, {48000, 2, 16, true}, {}, {48000, 2, 32, true}},
        {{48000, 2, 16, false}, {48000, 2, 24, false}, {}, {48000, 2, 24, false}},
        // Depths the writer cannot write: deeper integers become float,
        // in-between ones 24-bit, shallower ones 16-bit.
        {{48000, 2, 32, false}, {44100, 1, 16, false}, {}, {48000, 2, 32, true}},
        {{48000, 2, 20, false}, {44100, 1, 16, false}, {}, {48000, 2, 24, false}},
        {{48000, 2, 8, false}, {44100, 1, 8, false}, {}, {48000, 2, 16, false}},
        {{48000, 2, 32, true},
         {44100, 1, 16, false},
         OutputFormat{44100, 2, 16, false},
         {44100, 2, 16, false}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected.sample_rate * 100 + c.expected.channels);
        test::TempDir out;
        backend.loopback = test::fake_device(c.loopback);
        backend.microphone = test::fake_device(c.mic);
        RecordOptions o = options();
        o.output_dir = out.path();
        o.loopback = false;  // not running: the probed formats count all the same
        o.mic = true;
        o.format = c.fixed;
        Recorder rec = start(o);
        EXPECT_EQ(rec.output_format(), c.expected);
        const StopResult result = std::move(rec).stop();
        EXPECT_EQ(test::read_recpart(result.files.at(0)).format, c.expected);
    }
}

TEST_F(RecorderTest, SlotsAndStartWarnings) {
    backend.loopback.fail_start = "Activate: 0x88890004";
    backend.inputs = {{"Line In", test::fake_device(FLOAT_STEREO)},
                      {"USB Mic", test::fake_device(FLOAT_STEREO)}};
    backend.inputs[1].device.fail_start = "unplugged";
    backend.renders = {{"Headphones", "{id-1}", test::fake_device(FLOAT_STEREO)}};
    backend.renders[0].device.fail_start = "GetMixFormat: 0x88890004";

    RecordOptions o = options();
    o.devices = {"USB Mic", "Line In", "No Such Device"};
    {
        Recorder rec = start(o);
        EXPECT_EQ(rec.total_sources(), 4u) << "no loopback entry: no loopback-device slots";
        EXPECT_EQ(rec.source_index(SourceSpec::input_device("USB Mic")), 3u);
        EXPECT_TRUE(rec.is_source_running(SourceSpec::input_device("Line In")));
        EXPECT_FALSE(rec.is_source_running(SourceSpec::system_audio()));
        EXPECT_EQ(rec.warnings(),
                  (std::vector<std::string>{
                      "Created output directory " + (dir / "out").string(),
                      "System audio (loopback) failed to start: Activate: 0x88890004",
                      "Input \"USB Mic\" failed to start: unplugged"}));
        const StopResult result = std::move(rec).stop();
        EXPECT_EQ(result.used_sources, 1u);
        EXPECT_TRUE(result.created);
    }
    o.devices = {"[Loopback] Headphones"};
    Recorder rec = start(o);
    EXPECT_EQ(rec.total_sources(), 3u) << "system audio, microphone, Headphones";
    EXPECT_EQ(rec.warnings().back(),
              "Loopback \"Headphones\" failed to start: GetMixFormat: 0x88890004");
    (void)std::move(rec).stop();
    EXPECT_TRUE(all_captures_stopped());

    backend.default_input.reset();
    o.mic = true;
    Recorder no_mic = start(o);
    EXPECT_EQ(no_mic.total_sources(), 2u) << "no default input: no microphone slot, no warning";
    EXPECT_EQ(no_mic.warnings().size(), 2u);
}

TEST_F(RecorderTest, SwitchingAndAttachingSources) {
    RecordOptions o = options();
    Recorder rec = start(o);
    const SourceSpec mic = SourceSpec::default_microphone();
    rec.disable_source(mic);  // not running: only its flag
    EXPECT_FALSE(rec.is_source_running(mic));
    EXPECT_EQ(rec.attach_source(1, std::unexpected(std::string("already active"))), std::nullopt);
    EXPECT_EQ(rec.attach_source(1, std::unexpected(std::string("Failed to start mic: gone"))),
              "Failed to start mic: gone");
    switch_on(rec, mic);
    EXPECT_TRUE(rec.is_source_running(mic));
    EXPECT_EQ(backend.running(), 2);
    rec.disable_source(mic);
    EXPECT_FALSE(rec.is_source_running(mic));
    EXPECT_EQ(backend.running(), 1) << "switching off stops the capture";
    switch_on(rec, mic);  // the same slot again counts once
    const StopResult result = std::move(rec).stop();
    EXPECT_EQ(result.used_sources, 2u);
    EXPECT_FALSE(result.error);
}

TEST_F(RecorderTest, SingleFileKeepsGrowingWhileEverySourceIsOff) {
    Recorder rec = start(options());
    std::this_thread::sleep_for(100ms);
    rec.disable_source(SourceSpec::system_audio());
    const auto off = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(300ms);
    switch_on(rec, SourceSpec::system_audio());
    const double off_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - off).count();
    std::this_thread::sleep_for(100ms);
    const StopResult result = std::move(rec).stop();
    const test::RecpartData d = test::read_recpart(result.files.at(0));
    // Silence for the time off, within a few blocks; audio around it.
    std::size_t zeros = 0;
    for (std::size_t f = 0; f < d.frames(); ++f)
        zeros += d.samples[2 * f] == 0.0f;
    EXPECT_NEAR(static_cast<double>(zeros), off_seconds * 48000, 8 * 240.0);
}

TEST_F(RecorderTest, SilencedStemsStayAligned) {
    backend.microphone.frequency = 1000;
    RecordOptions o = options(RecordingMode::StemsSilence);
    o.mic = true;
    Recorder rec = start(o);
    std::this_thread::sleep_for(150ms);
    rec.disable_source(SourceSpec::default_microphone());
    std::this_thread::sleep_for(400ms);
    switch_on(rec, SourceSpec::default_microphone());
    std::this_thread::sleep_for(150ms);
    rec.disable_source(SourceSpec::system_audio());
    std::this_thread::sleep_for(200ms);
    const StopResult result = std::move(rec).stop();
    EXPECT_TRUE(result.stems);
    ASSERT_EQ(result.files.size(), 2u);
    EXPECT_EQ(result.files[0].filename(), "loopback.recpart");
    EXPECT_EQ(result.files[1].filename(), "mic.recpart");
    const test::RecpartData loop = test::read_recpart(result.files[0]);
    const test::RecpartData mic = test::read_recpart(result.files[1]);
    EXPECT_GT(loop.frames(), 48000u * 8 / 10);
    // A live source trails the clock by its chunk and by how late its thread
    // gets the processor, which on a loaded machine is tens of milliseconds;
    // the exact block count is checked on a hand-moved clock in the processor
    // tests.
    EXPECT_NEAR(static_cast<double>(mic.frames()), static_cast<double>(loop.frames()), 24 * 240.0);
}

// 200 ms that end 100 ms before the file does: on a loaded machine the last
// moments of a live source may reach the processor after the stop.
std::vector<float> near_the_end(const test::RecpartData& d) {
    const std::size_t frames = 48000 / 5, margin = 48000 / 10;
    if (d.frames() < frames + margin)
        return d.samples;
    const auto end = d.samples.end() - static_cast<std::ptrdiff_t>(2 * margin);
    return std::vector<float>(end - static_cast<std::ptrdiff_t>(2 * frames), end);
}

TEST_F(RecorderTest, SourcesFollowDevicesThatComeAndGo) {
    using Change = std::function<void(test::FakeBackend&)>;
    test::FakeDevice headphones = test::fake_device(FLOAT_STEREO);
    headphones.frequency = 2000;
    // Returns in another format: a 44.1 kHz mono headset.
    test::FakeDevice headset = test::fake_device({44100, 1, 16, false});
    headset.frequency = 1500;
    struct Case {
        const char* what;
        SourceSpec source;
        const char* stem;
        Change away;
        Change back;  // none: nothing more happens
        bool lost_meanwhile;
        double tone_after;
    };
    const Case cases[] = {
        {"microphone unplugged and plugged in again", SourceSpec::default_microphone(), "mic",
         [](auto& b) { b.lose(test::FAKE_DEFAULT_INPUT); },
         [](auto& b) { b.restore(test::FAKE_DEFAULT_INPUT); }, true, 1000},
        {"default output moves to the headphones", SourceSpec::system_audio(), "loopback",
         [&](auto& b) { b.change_default_output(headphones); }, nullptr, false, 2000},
        {"default microphone removed, the headset becomes the default",
         SourceSpec::default_microphone(), "mic", [](auto& b) { b.lose(test::FAKE_DEFAULT_INPUT); },
         [&](auto& b) { b.change_default_input(headset); }, true, 1500},
        {"named input comes back as another device", SourceSpec::input_device("USB Mic"), "USB Mic",
         [](auto& b) { b.lose("USB Mic"); }, [&](auto& b) { b.restore("USB Mic", headset); }, true,
         1500},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempDir out;
        test::FakeBackend fake;
        fake.loopback.frequency = 500;
        fake.microphone = test::fake_device(FLOAT_STEREO);
        fake.microphone.frequency = 1000;
        test::FakeDevice usb = test::fake_device(FLOAT_STEREO);
        usb.frequency = 1000;
        fake.inputs = {{"USB Mic", usb}};
        RecordOptions o = options(RecordingMode::StemsSilence);
        o.output_dir = out.path();
        o.mic = true;
        if (c.source.kind == SourceKind::InputDevice)
            o.devices = {c.source.name};
        Result<Recorder> started = Recorder::start(o, RecorderServices{fake, locations, writer});
        ASSERT_TRUE(started.has_value());
        Recorder rec = std::move(*started);
        const auto wait_for_lost = [&rec](bool lost) {
            // A lost device is tried again every 2 s.
            for (int i = 0; i < 300 && rec.lost_sources().empty() == lost; ++i)
                std::this_thread::sleep_for(10ms);
            return rec.lost_sources();
        };
        std::this_thread::sleep_for(200ms);
        c.away(fake);
        if (c.lost_meanwhile) {
            EXPECT_EQ(wait_for_lost(true), std::vector<SourceSpec>{c.source});
            std::this_thread::sleep_for(200ms);
            c.back(fake);
        }
        EXPECT_EQ(wait_for_lost(false), std::vector<SourceSpec>{});
        std::this_thread::sleep_for(500ms);
        const StopResult result = std::move(rec).stop();
        EXPECT_EQ(result.gapped, std::vector<SourceSpec>{c.source});

        ASSERT_FALSE(result.error) << *result.error;
        const auto stem = std::find_if(
            result.files.begin(), result.files.end(),
            [&](const auto& f) { return f.filename() == std::string(c.stem) + ".recpart"; });
        ASSERT_NE(stem, result.files.end());
        const test::RecpartData d = test::read_recpart(*stem);
        ASSERT_GT(d.frames(), 48000u * 3 / 10);
        // Every stem spans the whole recording, gap or no gap.
        for (const auto& f : result.files)
            EXPECT_EQ(test::read_recpart(f).frames(), d.frames()) << f;
        // The end comes from the device recorded after the change, in the
        // format it came back with.
        const std::vector<float> last = near_the_end(d);
        EXPECT_NEAR(amplitude_at(last, 2, 48000, c.tone_after), 0.5, 0.05);
        if (!c.lost_meanwhile)
            continue;
        // While the device was away the stem holds silence, at least the
        // 200 ms it was gone for, after the audio from before.
        std::size_t longest = 0, run = 0, run_start = 0, longest_start = 0;
        for (std::size_t f = 0; f < d.frames(); ++f) {
            if (d.samples[2 * f] != 0.0f) {
                run = 0;
                continue;
            }
            if (run++ == 0)
                run_start = f;
            if (run > longest) {
                longest = run;
                longest_start = run_start;
            }
        }
        EXPECT_GE(longest, 48000u / 5);
        EXPECT_GE(longest_start, 48000u / 10);
        EXPECT_LT(longest_start + longest, d.frames() - 48000u * 3 / 10);
    }
}

TEST_F(RecorderTest, DeviceSwitchedOnWithoutASlotGetsOne) {
    // No input device was asked for at the start, so none has a slot.
    test::FakeDevice usb = test::fake_device(FLOAT_STEREO);
    usb.frequency = 1000;
    backend.inputs = {{"USB Mic", usb}};
    const SourceSpec spec = SourceSpec::input_device("USB Mic");
    for (const RecordingMode mode :
         {RecordingMode::SingleFile, RecordingMode::StemsSilence, RecordingMode::StemsInstructed}) {
        SCOPED_TRACE(static_cast<int>(mode));
        test::TempDir out;
        RecordOptions o = options(mode);
        o.output_dir = out.path();
        Recorder rec = start(o);
        ASSERT_EQ(rec.total_sources(), 2u);
        EXPECT_EQ(rec.source_index(spec), std::nullopt);
        std::this_thread::sleep_for(200ms);
        const std::size_t index = rec.add_slot(spec);
        EXPECT_EQ(index, 2u);
        EXPECT_EQ(rec.add_slot(spec), index) << "one slot per source";
        StartResult started = backend.start_named_input("USB Mic", rec.source_buffer(index));
        ASSERT_TRUE(started.has_value());
        EXPECT_FALSE(rec.attach_source(
            index, CaptureSource{spec, std::move(started->capture), std::move(started->health)}));
        std::this_thread::sleep_for(400ms);
        const StopResult result = std::move(rec).stop();
        EXPECT_EQ(result.total_sources, 3u);
        EXPECT_EQ(result.used_sources, 2u);
        if (mode == RecordingMode::SingleFile) {
            ASSERT_EQ(result.files.size(), 1u);
            const test::RecpartData d = test::read_recpart(result.files[0]);
            const std::vector<float> last = near_the_end(d);
            // 1/N over the three slots there are now.
            EXPECT_NEAR(amplitude_at(last, 2, 48000, 1000.0), 0.5 / 3, 0.02);
            EXPECT_NEAR(amplitude_at(last, 2, 48000, 440.0), 0.5 / 3, 0.02);
            continue;
        }
        // The microphone, never on, has a stem only when stems are padded.
        ASSERT_EQ(result.files.size(), mode == RecordingMode::StemsSilence ? 3u : 2u);
        EXPECT_EQ(result.files.back().filename(), "USB Mic.recpart");
        const test::RecpartData d = test::read_recpart(result.files.back());
        // A padded stem starts at the recording's start like the others.
        if (mode == RecordingMode::StemsSilence) {
            EXPECT_EQ(d.frames(), test::read_recpart(result.files[0]).frames());
        }
        ASSERT_GT(d.frames(), 48000u / 4);
        const std::vector<float> last = near_the_end(d);
        EXPECT_NEAR(amplitude_at(last, 2, 48000, 1000.0), 0.5, 0.02);
    }
}

TEST_F(RecorderTest, TimedRecordingFilesHoldExactlyItsLength) {
    backend.microphone = test::fake_device({44100, 1, 16, false});
    backend.microphone.start_delay = 100ms;
    for (RecordingMode mode : {RecordingMode::SingleFile, RecordingMode::StemsSilence}) {
        SCOPED_TRACE(static_cast<int>(mode));
        test::TempDir out;
        RecordOptions o = options(mode);
        o.output_dir = out.path();
        o.mic = true;
        Recorder rec = start(o);
        rec.end_after(300ms);
        std::this_thread::sleep_for(450ms);  // the stop comes late
        const StopResult result = std::move(rec).stop();
        ASSERT_FALSE(result.files.empty());
        for (const auto& f : result.files)
            EXPECT_EQ(test::read_recpart(f).frames(), 48000u * 3 / 10) << f;
    }
}

TEST_F(RecorderTest, InstructedSegmentsAreNamedAndPlaced) {
    RecordOptions o = options(RecordingMode::StemsInstructed);
    const auto t0 = std::chrono::steady_clock::now();
    const auto seconds_since_start = [t0] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    };
    Recorder rec = start(o);
    // The timeline starts somewhere inside start().
    const double start_took = seconds_since_start();
    const SourceSpec mic = SourceSpec::default_microphone();
    std::this_thread::sleep_for(200ms);
    const double first_on = seconds_since_start();
    switch_on(rec, mic);
    std::this_thread::sleep_for(150ms);
    rec.disable_source(mic);
    std::this_thread::sleep_for(100ms);
    const double second_on = seconds_since_start();
    switch_on(rec, mic);
    std::this_thread::sleep_for(100ms);
    const StopResult result = std::move(rec).stop();
    ASSERT_EQ(result.files.size(), 3u);
    const std::filesystem::path folder = result.files[0].parent_path();
    EXPECT_EQ(result.files[0].filename(), "loopback.recpart");
    EXPECT_EQ(result.files[1].filename(), "mic.recpart");
    EXPECT_EQ(result.files[2].filename(), "mic_2.recpart");
    EXPECT_EQ(folder.parent_path(), dir / "out");
    EXPECT_EQ(folder.filename().string().rfind("recording_", 0), 0u);

    const auto bytes = test::read_bytes(folder / "instructions.txt");
    const std::string text(bytes.begin(), bytes.end());
    const std::size_t lines = text.find("# sample_offset file\n");
    ASSERT_NE(lines, std::string::npos);
    std::istringstream in(text.substr(lines + 21));
    std::uint64_t first = 1, second = 0, third = 0;
    std::string a, b, c;
    in >> first >> a >> second >> b >> third >> c;
    EXPECT_LT(first, 0.03 * 48000);
    EXPECT_EQ(a, "loopback");
    EXPECT_EQ(b, "mic");
    EXPECT_EQ(c, "mic_2");
    // Offsets on the 48 kHz timeline, where the switches happened.
    for (const auto& [offset, on] : {std::pair{second, first_on}, std::pair{third, second_on}}) {
        EXPECT_GT(static_cast<double>(offset), (on - start_took - 0.03) * 48000);
        EXPECT_LT(static_cast<double>(offset), (on + 0.03) * 48000);
    }
}

TEST_F(RecorderTest, ResampledToneKeepsItsFrequencyAndLevel) {
    // A 1 kHz tone at 0.5 from a 44.1 kHz mono microphone, recorded alone as
    // a 48 kHz stereo stem.
    backend.microphone = test::fake_device({44100, 1, 16, false});
    backend.microphone.frequency = 1000;
    RecordOptions o = options(RecordingMode::StemsSilence);
    o.loopback = false;
    o.mic = true;
    Recorder rec = start(o);
    std::this_thread::sleep_for(500ms);
    const StopResult result = std::move(rec).stop();
    const test::RecpartData d = test::read_recpart(result.files.at(1));
    ASSERT_EQ(d.format, FLOAT_STEREO);
    ASSERT_GT(d.frames(), 20000u);
    const std::vector<float> middle(d.samples.begin() + 4800, d.samples.end() - 4800);
    EXPECT_NEAR(amplitude_at(middle, 2, 48000, 1000.0), 0.5, 0.005);
    EXPECT_LT(amplitude_at(middle, 2, 48000, 1088.0), 0.005);  // not 1000 x 48000/44100
    std::size_t crossings = 0;
    for (std::size_t f = 1; f < middle.size() / 2; ++f)
        crossings += (middle[2 * f - 2] < 0) != (middle[2 * f] < 0);
    const double seconds = static_cast<double>(middle.size() / 2) / 48000;
    EXPECT_NEAR(crossings / (2 * seconds), 1000.0, 5.0);
    for (std::size_t f = 0; f < middle.size() / 2; ++f)
        ASSERT_EQ(middle[2 * f], middle[2 * f + 1]);
}

TEST_F(RecorderTest, FallbackDirectoriesAndNoWritableDir) {
    // A regular file where a directory should be makes any path below it
    // unusable, for root too.
    test::write_bytes(dir / "blocker", {1});
    locations.working = dir / "wd";
    std::filesystem::create_directory(dir / "wd");
    RecordOptions o = options();
    o.output_dir = dir / "blocker" / "out";
    {
        Recorder rec = start(o);
        EXPECT_EQ(rec.output_dir(), dir / "wd");
        ASSERT_FALSE(rec.warnings().empty());
        EXPECT_EQ(rec.warnings()[0].rfind("Could not write to " + o.output_dir.string() +
                                              "; recording in " + (dir / "wd").string() +
                                              " instead: Not a directory",
                                          0),
                  0u)
            << rec.warnings()[0];
        const StopResult result = std::move(rec).stop();
        EXPECT_FALSE(result.created);
        EXPECT_EQ(result.files.at(0).parent_path(), dir / "wd");
    }
    ASSERT_TRUE(all_captures_stopped());
    backend.loopback.fail_start.reset();
    locations.working = dir / "blocker" / "wd";
    locations.program = dir / "blocker" / "bin" / "kestrune.exe";
    locations.documents.reset();
    Result<Recorder> failed = try_start(o);
    ASSERT_FALSE(failed.has_value());
    ASSERT_TRUE(failed.error().no_writable_dir.has_value());
    const auto& tried = failed.error().no_writable_dir->tried;
    ASSERT_EQ(tried.size(), 4u);
    EXPECT_EQ(tried[2].directory, dir / "blocker" / "bin" / "kestrune");
    EXPECT_EQ(tried[3].directory, dir / "blocker" / "bin");
    EXPECT_NE(failed.error().text.find("\n\nTried:\n" + o.output_dir.string() + ": "),
              std::string::npos);
    EXPECT_EQ(backend.running(), 0) << "the started capture is stopped again";
}

TEST_F(RecorderTest, WriteErrorMidRecordingKeepsTheFiles) {
    writer.open = test::faulty_opener({.fail_after_bytes = 200'000, .max_chunk = SIZE_MAX});
    Recorder rec = start(options());
    std::optional<std::string> seen;
    for (int i = 0; i < 200 && !seen; ++i) {
        std::this_thread::sleep_for(10ms);
        seen = rec.last_error();
    }
    EXPECT_EQ(seen, "injected write failure");
    EXPECT_EQ(backend.running(), 1) << "captures run until stop";
    const StopResult result = std::move(rec).stop();
    EXPECT_EQ(result.error, "injected write failure");
    ASSERT_EQ(result.files.size(), 1u);
    // Everything the failing file took is still there for repair.
    EXPECT_EQ(std::filesystem::file_size(result.files[0]), 200'000u);
    // The processor lets the captures go after it has sent the list.
    for (int i = 0; i < 200 && backend.running() != 0; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(backend.running(), 0);
}

// A file whose close takes a while, so a list sent before the close is seen.
class SlowClosingFile final : public File {
public:
    SlowClosingFile(FilePtr inner, std::shared_ptr<std::atomic<int>> closed)
        : inner_(std::move(inner)), closed_(std::move(closed)) {}
    Result<std::size_t> write_some(std::span<const std::byte> data) override {
        return inner_->write_some(data);
    }
    Result<std::size_t> read_some(std::span<std::byte> out) override {
        return inner_->read_some(out);
    }
    Result<void> seek(std::uint64_t offset) override { return inner_->seek(offset); }
    Result<std::uint64_t> length() override { return inner_->length(); }
    Result<void> sync() override { return inner_->sync(); }
    Result<void> close() override {
        if (done_)
            return {};
        std::this_thread::sleep_for(100ms);
        done_ = true;
        Result<void> r = inner_->close();
        ++*closed_;
        return r;
    }

private:
    FilePtr inner_;
    std::shared_ptr<std::atomic<int>> closed_;
    bool done_ = false;
};

TEST_F(RecorderTest, StopReportsAnErrorOfTheLastWrites) {
    // One second of float stereo is 46 full write buffers and a part one. The
    // file takes the header and the full buffers, so only the write at stop
    // fails; the user must not see "Saved".
    constexpr std::uint64_t full_buffers = 46 * WRITE_BUFFER_BYTES;
    writer.open =
        test::faulty_opener({.fail_after_bytes = 58 + full_buffers, .max_chunk = SIZE_MAX});
    backend.loopback.speed = 0;
    backend.loopback.max_frames = 48000;
    Recorder rec = start(options());
    std::filesystem::path file;
    for (const auto& e : std::filesystem::directory_iterator(dir / "out"))
        file = e.path();
    for (int i = 0; i < 500 && std::filesystem::file_size(file) < 58 + full_buffers; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(std::filesystem::file_size(file), 58 + full_buffers);
    EXPECT_EQ(rec.last_error(), std::nullopt);
    const StopResult result = std::move(rec).stop();
    EXPECT_EQ(result.error, "injected write failure");
    EXPECT_EQ(result.files, FileList{file});
}

TEST_F(RecorderTest, StopReturnsOnlyOnceEveryFileIsClosed) {
    // Windows refuses to rename or move a file that is still open, and the
    // caller finalizes the list at once.
    auto closed = std::make_shared<std::atomic<int>>(0);
    writer.open = [closed](const std::filesystem::path& path) -> Result<FilePtr> {
        Result<FilePtr> f = open_file(path, OpenMode::CreateTruncate);
        if (!f)
            return f;
        return FilePtr(std::make_unique<SlowClosingFile>(std::move(*f), closed));
    };
    RecordOptions o = options(RecordingMode::StemsSilence);
    o.mic = true;
    Recorder rec = start(o);
    std::this_thread::sleep_for(50ms);
    const StopResult result = std::move(rec).stop();
    ASSERT_EQ(result.files.size(), 2u);
    EXPECT_EQ(closed->load(), 2);
}

TEST_F(RecorderTest, FullPartsRollOverIntoNumberedFiles) {
    writer.part_limit = 48000 * 8 / 10;  // a part per 100 ms of float stereo
    Recorder rec = start(options());
    std::this_thread::sleep_for(350ms);
    const StopResult result = std::move(rec).stop();
    ASSERT_GE(result.files.size(), 3u);
    const std::string stem = result.files[0].stem().string();
    for (std::size_t i = 1; i < result.files.size(); ++i)
        EXPECT_EQ(result.files[i].filename(), stem + "_part" + std::to_string(i + 1) + ".recpart");
    for (std::size_t i = 0; i + 1 < result.files.size(); ++i)
        EXPECT_GE(test::read_recpart(result.files[i]).samples.size() * 4, writer.part_limit);
}

}  // namespace
}  // namespace kestrune
