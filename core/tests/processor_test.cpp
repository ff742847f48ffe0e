// The processor driven cycle by cycle on a hand-moved clock, so every block
// count below is exact.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "files/finalize.hpp"
#include "processor/processor.hpp"
#include "session/session.hpp"
#include "support/bytes.hpp"
#include "support/fake_backend.hpp"
#include "support/faulty_file.hpp"
#include "support/recpart_reader.hpp"
#include "support/temp_dir.hpp"

namespace kestrune {
namespace {

using namespace std::chrono_literals;

class ManualClock final : public CycleClock {
public:
    std::chrono::nanoseconds now() override { return t_; }
    void sleep_for(std::chrono::nanoseconds d) override { t_ += d; }

private:
    std::chrono::nanoseconds t_{1'000'000'000};
};

struct SourceDef {
    std::string label;
    std::uint32_t rate = 48000;
    std::uint16_t channels = 2;
    bool enabled = true;
};

constexpr OutputFormat FLOAT_STEREO{48000, 2, 32, true};

// A processor over a session made by the real set-up, its inputs in the hand
// of the test.
struct Rig {
    test::TempDir dir;
    ManualClock clock;
    std::vector<std::shared_ptr<SampleBuffer>> buffers;
    std::vector<std::shared_ptr<std::atomic<bool>>> enabled;
    std::shared_ptr<std::atomic<bool>> stop = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<ErrorSlot> error = std::make_shared<ErrorSlot>();
    std::shared_ptr<CaptureList> captures = std::make_shared<CaptureList>();
    std::optional<StatusReceiver> receiver;
    std::unique_ptr<Processor> processor;
    std::shared_ptr<std::atomic<std::int64_t>> end_at =
        std::make_shared<std::atomic<std::int64_t>>(NO_END);
    std::filesystem::path session_dir;
    std::chrono::nanoseconds start{0};
    bool running = true;

    Rig(RecordingMode mode, const std::vector<SourceDef>& defs, OutputFormat target = FLOAT_STEREO,
        WriterConfig writer = {}) {
        SessionRequest request;
        request.requested_dir = dir / "out";
        request.mode = mode;
        request.timestamp = "2023-11-14_22-13";
        for (const SourceDef& d : defs) {
            request.labels.push_back(d.label);
            request.formats.push_back(target);
            request.enabled.push_back(d.enabled);
        }
        test::FakeLocations none;
        Result<Session> session = setup_session(request, none, writer);
        EXPECT_TRUE(session.has_value());
        session_dir = session->outputs.front().base_path.parent_path();
        auto [sender, rx] = make_status_channel();
        receiver.emplace(std::move(rx));
        ProcessorSetup setup;
        setup.status = std::move(sender);
        for (const SourceDef& d : defs) {
            buffers.push_back(std::make_shared<SampleBuffer>());
            enabled.push_back(std::make_shared<std::atomic<bool>>(d.enabled));
            setup.inputs.push_back({buffers.back(), enabled.back(), d.rate, d.channels});
            setup.targets.push_back(target);
        }
        setup.outputs = std::move(session->outputs);
        setup.files = std::move(session->files);
        setup.session_dir = session->output_dir;
        setup.instructions = std::move(session->instructions);
        setup.stop = stop;
        setup.captures = captures;
        setup.error_slot = error;
        setup.mix_divisor = defs.size();
        setup.mode = mode;
        setup.writer = writer;
        setup.end_at = end_at;
        processor = std::make_unique<Processor>(std::move(setup), clock);
        start = clock.now();
    }

    // A chunk captured `at` into the recording; without a time it follows on
    // from the source's last.
    void push(std::size_t source, std::vector<float> samples,
              std::optional<std::chrono::nanoseconds> at = std::nullopt, bool discontinuity = false,
              std::uint32_t rate = 0, std::uint16_t channels = 0, std::uint32_t mask = 0) {
        SampleChunk chunk;
        chunk.samples = std::move(samples);
        if (at)
            chunk.time = start + *at;
        chunk.rate = rate;
        chunk.channels = channels;
        chunk.channel_mask = mask;
        chunk.discontinuity = discontinuity;
        buffers[source]->push(std::move(chunk));
    }
    [[nodiscard]] std::chrono::nanoseconds elapsed() { return clock.now() - start; }
    // Cycles every 5 ms until `at` into the recording.
    void cycle_until(std::chrono::nanoseconds at) {
        while (running && elapsed() + 5ms <= at)
            cycle();
    }
    // One cycle after `period` on the clock.
    void cycle(std::chrono::nanoseconds period = 5ms) {
        clock.sleep_for(period);
        if (running)
            running = processor->cycle();
    }
    void cycles(int n) {
        for (int i = 0; i < n; ++i)
            cycle();
    }
    // Stops now; the files are written up to here once the write delay has passed.
    FileList stop_and_receive() {
        stop->store(true);
        cycle(0ns);
        for (int i = 0; i < 1000 && running; ++i)
            cycle();
        EXPECT_FALSE(running);
        return receiver->receive().value_or(FileList{});
    }
    std::filesystem::path file(const std::string& name) const { return session_dir / name; }
};

std::vector<float> constant(std::size_t n, float v) {
    return std::vector<float>(n, v);
}

// Frames of 48 kHz in a time.
constexpr std::size_t frames_of(std::chrono::nanoseconds t) {
    return static_cast<std::size_t>(t.count() * 48 / 1'000'000);
}

// Where a stereo stem's audio is: the first and last frame above a small
// level, or none.
std::optional<std::pair<std::size_t, std::size_t>> audio_span(const test::RecpartData& d) {
    std::optional<std::pair<std::size_t, std::size_t>> span;
    for (std::size_t f = 0; f < d.frames(); ++f) {
        if (std::fabs(d.samples[2 * f]) > 0.01f) {
            if (!span)
                span.emplace(f, f);
            span->second = f;
        }
    }
    return span;
}

TEST(StatusChannel, DeliversOnceOrReportsASenderThatWentSilently) {
    auto [sender, receiver] = make_status_channel();
    sender.send({"a.recpart"});
    sender.send({"b.recpart"});
    EXPECT_EQ(receiver.receive(), FileList{"a.recpart"});
    auto [gone, waiting] = make_status_channel();
    std::thread([s = std::move(gone)] { (void)s; }).join();
    EXPECT_EQ(waiting.receive(), std::nullopt);
}

TEST(Processor, MixesEverySourceAtOneOverNAndClamps) {
    // Three sources, one never enabled: each counts in the divisor.
    Rig rig(RecordingMode::SingleFile, {{"a"}, {"b"}, {"c", 48000, 2, false}});
    rig.push(0, constant(960, 0.9f), 0ms);
    rig.push(1, constant(960, 0.3f), 0ms);
    rig.push(0, constant(960, 3.0f), 10ms);  // an overshooting source
    rig.push(1, constant(960, 1.0f), 10ms);
    rig.cycle_until(20ms);
    const FileList files = rig.stop_and_receive();
    ASSERT_EQ(files.size(), 1u);
    const test::RecpartData d = test::read_recpart(files[0]);
    ASSERT_EQ(d.samples.size(), 1920u) << "exactly the 20 ms recorded";
    const float g = 1.0f / 3.0f;
    EXPECT_FLOAT_EQ(d.samples[0], g * 0.9f + g * 0.3f);
    EXPECT_FLOAT_EQ(d.samples[959], g * 0.9f + g * 0.3f);
    EXPECT_FLOAT_EQ(d.samples[960], 1.0f);
    EXPECT_FALSE(rig.error->get());
}

// Each source's audio lands where its timestamps put it; silence fills what
// it did not deliver, and every stem spans the whole recording.
TEST(Processor, PlacesAudioAtItsTimeWithSilenceAroundIt) {
    struct Chunk {
        std::optional<std::chrono::nanoseconds> at;
        std::size_t frames;
        bool discontinuity = false;
    };
    struct Case {
        const char* what;
        std::vector<Chunk> chunks;
        // Expected stretches of audio, in ms of the timeline.
        std::vector<std::pair<int, int>> audio_ms;
    };
    // 10 ms chunks from `from` on, one of them stamped 3 ms early.
    const auto with_one_early_stamp = [](std::chrono::milliseconds from, int count, int early) {
        std::vector<Chunk> chunks;
        for (int i = 0; i < count; ++i)
            chunks.push_back({from + i * 10ms - (i == early ? 3ms : 0ms), 480});
        return chunks;
    };
    const std::vector<Case> cases = {
        {"starts 200 ms late", {{200ms, 4800}}, {{200, 300}}},
        {"one stamp that comes early does not move the stretch",
         with_one_early_stamp(40ms, 20, 3),
         {{40, 240}}},
        {"a stall without a mark: silence until it resumes",
         {{0ms, 4800}, {300ms, 4800}},
         {{0, 100}, {300, 400}}},
        {"a marked discontinuity leaves exactly the lost 10 ms",
         {{0ms, 4800}, {110ms, 4800, true}},
         {{0, 100}, {110, 210}}},
        {"stamps late by less than the resync gap do not break the stretch",
         {{3ms, 2400}, {53ms, 2400}, {109ms, 2400}},
         {{3, 153}}},
        {"one read that came late is not a gap",
         {{0ms, 2400}, {90ms, 480}, {60ms, 2400}},
         {{0, 110}}},
        {"a stall's backlog handed over at once is not a gap",
         {{0ms, 2400}, {121ms, 480}, {121ms, 480}, {121ms, 480}, {121ms, 480}, {121ms, 480},
          {121ms, 480}, {121ms, 480}, {123ms, 480}, {133ms, 480}, {143ms, 480}, {153ms, 480},
          {163ms, 480}},
         {{0, 170}}},
        {"queued audio handed over at once is placed by its last stamp",
         {{60ms, 2400}, {60ms, 2400}, {60ms, 2400}, {110ms, 2400}},
         {{0, 160}}},
        {"no time: it follows on from the last chunk",
         {{40ms, 2400}, {std::nullopt, 2400}},
         {{40, 140}}},
        {"never delivers", {}, {}},
        {"captured before the recording began: the part after its start stays",
         {{-50ms, 4800}},
         {{0, 50}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Rig rig(RecordingMode::StemsSilence, {{"steady"}, {"tested"}});
        rig.push(0, constant(frames_of(500ms) * 2, 0.5f), 0ms);
        for (const Chunk& k : c.chunks)
            rig.push(1, constant(k.frames * 2, 0.5f), k.at, k.discontinuity);
        rig.cycle_until(500ms);
        const FileList files = rig.stop_and_receive();
        ASSERT_EQ(files.size(), 2u);
        const test::RecpartData steady = test::read_recpart(files[0]);
        const test::RecpartData tested = test::read_recpart(files[1]);
        EXPECT_EQ(steady.frames(), frames_of(500ms));
        EXPECT_EQ(tested.frames(), steady.frames()) << "every stem spans the recording";
        std::vector<std::pair<int, int>> found;
        bool in = false;
        for (std::size_t f = 0; f < tested.frames(); ++f) {
            const bool loud = std::fabs(tested.samples[2 * f]) > 0.25f;
            if (loud && !in)
                found.push_back({static_cast<int>(f), 0});
            if (!loud && in)
                found.back().second = static_cast<int>(f);
            in = loud;
        }
        if (in)
            found.back().second = static_cast<int>(tested.frames());
        ASSERT_EQ(found.size(), c.audio_ms.size());
        for (std::size_t i = 0; i < found.size(); ++i) {
            EXPECT_NEAR(found[i].first, c.audio_ms[i].first * 48, 1) << i;
            EXPECT_NEAR(found[i].second, c.audio_ms[i].second * 48, 1) << i;
        }
    }
}

TEST(Processor, AudioLaterThanTheWriteDelayIsPlacedAsEarlyAsItCanBeAndCounted) {
    Rig rig(RecordingMode::StemsSilence, {{"late"}});
    rig.cycle_until(WRITE_DELAY + 100ms);  // 100 ms of the timeline are written
    rig.push(0, constant(frames_of(50ms) * 2, 0.5f), 20ms);
    rig.cycle();
    const TimelineStats st = rig.processor->stats();
    ASSERT_EQ(st.late_frames.size(), 1u);
    EXPECT_NEAR(static_cast<double>(st.late_frames[0]), frames_of(80ms), 48 * 6);
    rig.cycle_until(WRITE_DELAY + 300ms);
    const FileList files = rig.stop_and_receive();
    const auto span = audio_span(test::read_recpart(files.at(0)));
    ASSERT_TRUE(span) << "nothing is dropped";
    EXPECT_EQ(span->second - span->first + 1, frames_of(50ms));
}

TEST(Processor, SwitchedOffSourcesAreSilentForExactlyTheirTimeOff) {
    for (RecordingMode mode : {RecordingMode::SingleFile, RecordingMode::StemsSilence}) {
        SCOPED_TRACE(static_cast<int>(mode));
        Rig rig(mode, {{"on"}, {"switched", 48000, 2, true}});
        // A long pause between cycles (a machine asleep) is silence too.
        rig.push(1, constant(frames_of(100ms) * 2, 0.8f), 0ms);
        rig.cycle_until(100ms);
        rig.enabled[1]->store(false);
        rig.cycle(60s);
        rig.enabled[1]->store(true);
        const auto back = rig.elapsed() + 10ms;
        rig.push(1, constant(frames_of(100ms) * 2, 0.8f), back);
        rig.cycle_until(back + 100ms);
        const FileList files = rig.stop_and_receive();
        const test::RecpartData last = test::read_recpart(files.back());
        EXPECT_EQ(last.frames(), frames_of(back + 100ms));
        std::size_t loud = 0;
        for (std::size_t f = 0; f < last.frames(); ++f)
            loud += std::fabs(last.samples[2 * f]) > 0.1f;
        EXPECT_EQ(loud, frames_of(200ms));
        EXPECT_GT(std::fabs(last.samples[2 * frames_of(back)]), 0.1f);
    }
}

TEST(Processor, FollowsADeviceClockThatRunsFastOrSlow) {
    // Timestamps come up to 4 ms late; after a minute the loop has learnt the
    // device's rate and holds its audio on the timeline.
    for (double ppm : {1000.0, -500.0}) {
        SCOPED_TRACE(ppm);
        Rig rig(RecordingMode::StemsSilence, {{"drifting"}});
        const double rate = 48000 * (1 + ppm * 1e-6);
        std::uint64_t frame = 0;
        std::uint32_t seed = 1;
        for (auto t = 0ms; t < 60s; t += 10ms) {
            while (static_cast<double>(frame) < rate * std::chrono::duration<double>(t).count()) {
                const auto exact = std::chrono::nanoseconds(
                    static_cast<std::int64_t>(static_cast<double>(frame) / rate * 1e9));
                seed = seed * 1664525u + 1013904223u;
                const auto jitter =
                    std::chrono::microseconds(static_cast<int>(seed >> 22)) * 4;
                rig.push(0, constant(480 * 2, 0.25f), exact + jitter);
                frame += 480;
            }
            rig.cycle_until(t);
        }
        const TimelineStats st = rig.processor->stats();
        EXPECT_NEAR((st.drift.at(0) - 1) * 1e6, -ppm, 30.0);
        EXPECT_EQ(st.late_frames.at(0), 0u);
        EXPECT_LT(st.largest_backlog, frames_of(WRITE_DELAY + 60ms));
        const test::RecpartData d = test::read_recpart(rig.stop_and_receive().at(0));
        const auto span = audio_span(d);
        ASSERT_TRUE(span);
        EXPECT_LT(span->first, 48u) << "where it began, by the lower envelope of its first stamps";
        // No frame dropped or repeated: the audio fills the timeline, give
        // or take the last chunk's flight.
        EXPECT_NEAR(static_cast<double>(span->second), static_cast<double>(d.frames()), 48 * 12);
    }
}

TEST(Processor, AudioPlacedLateByAStallIsCaughtUpLateInARecordingToo) {
    // 10 ms chunks stamped at their capture; what is captured during a stall
    // at 20 s arrives when it ends, and is placed 100 ms late. A silent chunk
    // at 55 s marks where the stream should be by then.
    Rig rig(RecordingMode::StemsSilence, {{"stalled"}});
    const auto stall = 20s;
    const auto stall_end = stall + WRITE_DELAY + 100ms;
    const auto marker = 55s;
    auto next = 0ms;  // capture time of the next chunk
    for (auto t = 10ms; t <= 57s; t += 10ms) {
        for (; next + 10ms <= t && !(t > stall && t < stall_end); next += 10ms)
            rig.push(0, constant(480 * 2, next == marker ? 0.0f : 0.25f), next);
        rig.cycle_until(t);
    }
    const test::RecpartData d = test::read_recpart(rig.stop_and_receive().at(0));
    std::size_t hole = 0;
    for (std::size_t f = frames_of(marker - 1s); f < d.frames() && hole == 0; ++f)
        if (std::fabs(d.samples[2 * f]) < 0.01f)
            hole = f;
    EXPECT_NEAR(static_cast<double>(hole), static_cast<double>(frames_of(marker)), 48 * 2);
}

TEST(Processor, ASourceReopenedInAnotherFormatIsConvertedFromIt) {
    Rig rig(RecordingMode::StemsSilence, {{"mic", 48000, 2, true}});
    rig.push(0, constant(frames_of(100ms) * 2, 0.5f), 0ms);
    // The same device back as a 44.1 kHz mono headset, 100 ms of it.
    rig.push(0, constant(4410, 0.5f), 200ms, true, 44100, 1);
    rig.cycle_until(400ms);
    const test::RecpartData d = test::read_recpart(rig.stop_and_receive().at(0));
    std::size_t loud_after = 0;
    for (std::size_t f = frames_of(150ms); f < d.frames(); ++f)
        loud_after += std::fabs(d.samples[2 * f]) > 0.25f;
    EXPECT_NEAR(static_cast<double>(loud_after), frames_of(100ms), 48.0);
    EXPECT_GT(std::fabs(d.samples[2 * frames_of(250ms) + 1]), 0.25f) << "mono on both channels";
}

TEST(Processor, ASourceDownmixesByTheChannelMaskItsStreamNames) {
    // Four channels with only the third one sounding: a back-left in the
    // usual quad layout, until the device returns naming it the centre.
    Rig rig(RecordingMode::StemsSilence, {{"dev", 48000, 4, true}});
    std::vector<float> third(frames_of(100ms) * 4, 0.0f);
    for (std::size_t f = 0; f < frames_of(100ms); ++f)
        third[4 * f + 2] = 0.5f;
    rig.push(0, third, 0ms, false, 48000, 4);
    rig.push(0, third, 200ms, true, 48000, 4, 0x107);  // front L, R, centre, back centre
    rig.cycle_until(400ms);
    const test::RecpartData d = test::read_recpart(rig.stop_and_receive().at(0));
    ASSERT_GT(d.frames(), frames_of(300ms));
    const std::size_t before = frames_of(50ms), after = frames_of(250ms);
    EXPECT_NEAR(d.samples[2 * before], 0.5f * 0.7071f, 0.01f);
    EXPECT_NEAR(d.samples[2 * before + 1], 0.0f, 0.01f);
    EXPECT_NEAR(d.samples[2 * after], 0.5f * 0.7071f, 0.01f);
    EXPECT_NEAR(d.samples[2 * after + 1], 0.5f * 0.7071f, 0.01f);
}

TEST(Processor, TimedRecordingEndsExactlyAtItsLength) {
    for (RecordingMode mode : {RecordingMode::SingleFile, RecordingMode::StemsSilence}) {
        SCOPED_TRACE(static_cast<int>(mode));
        Rig rig(mode, {{"a"}, {"quiet"}});
        rig.end_at->store(std::chrono::nanoseconds(1s).count());
        rig.push(0, constant(frames_of(1500ms) * 2, 0.5f), 0ms);
        rig.cycle_until(1300ms);  // the stop comes late, as a timer's does
        for (const auto& f : rig.stop_and_receive())
            EXPECT_EQ(test::read_recpart(f).frames(), 48000u);
    }
}

TEST(Processor, InstructedSegmentsStartAtTheirFirstFrame) {
    Rig rig(RecordingMode::StemsInstructed, {{"mic"}, {"late", 48000, 2, false}});
    rig.push(0, constant(frames_of(70ms) * 2, 0.1f), 30ms);
    rig.cycle_until(100ms);
    rig.enabled[0]->store(false);
    rig.enabled[1]->store(true);
    rig.cycle();
    rig.push(1, constant(960, 0.2f), 105ms);
    rig.cycle_until(150ms);
    // A repair meanwhile passes by every file of the running recording, the
    // ended segment's too.
    const std::vector<RepairResult> repairs = repair_directory(rig.session_dir);
    EXPECT_EQ(repairs.size(), 2u);
    for (const RepairResult& r : repairs)
        EXPECT_TRUE(r.in_use) << r.path.string();
    rig.enabled[0]->store(true);
    // A file already at mic_2.recpart pushes the segment to mic_2_1, and the
    // instructions name the file it really went to.
    test::write_bytes(rig.file("mic_2.recpart"), {1, 2, 3});
    rig.cycle();
    rig.push(0, constant(480, 0.3f), 160ms);
    rig.cycle_until(400ms);
    // Every line is in the file as soon as it is made, so a crash keeps them.
    const auto written = test::read_bytes(rig.file("instructions.txt"));
    const FileList files = rig.stop_and_receive();
    EXPECT_EQ(test::read_bytes(rig.file("instructions.txt")), written);

    const std::vector<std::filesystem::path> expected{
        rig.file("mic.recpart"), rig.file("late.recpart"), rig.file("mic_2_1.recpart")};
    EXPECT_EQ(files, expected);
    EXPECT_EQ(test::read_recpart(files[0]).frames(), frames_of(70ms));
    // Open segments run to the end of the recording.
    EXPECT_EQ(test::read_recpart(files[1]).frames(), frames_of(400ms - 105ms));
    EXPECT_EQ(test::read_recpart(files[2]).frames(), frames_of(400ms - 160ms));
    const auto text = test::read_bytes(rig.file("instructions.txt"));
    const std::string s(text.begin(), text.end());
    EXPECT_NE(s.find("# sample_offset file\n1440 mic\n5040 late\n7680 mic_2_1\n"),
              std::string::npos)
        << s;
}

TEST(Processor, CollidingLabelsRollOverIntoTheirOwnParts) {
    // Two sources both labelled "USB": each rolls over into parts named after
    // its own first file, and neither ever touches the other's.
    WriterConfig writer;
    writer.part_limit = 2 * 1920;  // 10 ms of float stereo
    Rig rig(RecordingMode::StemsSilence, {{"USB"}, {"USB"}}, FLOAT_STEREO, writer);
    rig.push(0, constant(frames_of(30ms) * 2, 0.1f), 0ms);
    rig.push(1, constant(frames_of(30ms) * 2, 0.2f), 0ms);
    rig.cycle_until(30ms);
    const FileList files = rig.stop_and_receive();
    EXPECT_EQ(std::set<std::filesystem::path>(files.begin(), files.end()).size(), files.size());
    std::map<float, std::size_t> audio_frames, parts;
    for (const auto& f : files) {
        SCOPED_TRACE(f.filename().string());
        const std::string name = f.filename().string();
        const float level = name.starts_with("USB_1") ? 0.2f : 0.1f;
        ASSERT_TRUE(name.starts_with("USB_1") || name == "USB.recpart" ||
                    name.starts_with("USB_part"));
        ++parts[level];
        for (float x : test::read_recpart(f).samples) {
            if (x != 0.0f) {
                EXPECT_EQ(x, level);
                ++audio_frames[level];
            }
        }
    }
    for (float level : {0.1f, 0.2f}) {
        EXPECT_EQ(audio_frames[level], frames_of(30ms) * 2) << level;
        EXPECT_GE(parts[level], 3u) << level;
    }
}

TEST(Processor, WriteErrorFinishesEveryFileAndReportsTheList) {
    WriterConfig writer;
    // The first stem's header (58 bytes) fits; its first flush of data fails.
    writer.open = test::faulty_opener({.fail_after_bytes = 58 * 2 + 4, .max_chunk = SIZE_MAX});
    Rig rig(RecordingMode::StemsSilence, {{"a"}, {"b"}}, FLOAT_STEREO, writer);
    rig.push(0, constant(48000 * 2, 0.5f), 0ms);
    rig.push(1, constant(48000 * 2, 0.5f), 0ms);
    for (int i = 0; i < 200 && rig.running; ++i)
        rig.cycle();
    EXPECT_FALSE(rig.running) << "the error ends the recording";
    EXPECT_EQ(rig.error->get(), "injected write failure");
    const FileList files = rig.receiver->receive().value_or(FileList{});
    EXPECT_EQ(files.size(), 2u);
}

TEST(Processor, FullPartsContinueInNumberedFiles) {
    WriterConfig writer;
    writer.part_limit = 480 * 4 * 2;  // two blocks per part
    for (RecordingMode mode : {RecordingMode::SingleFile, RecordingMode::StemsInstructed}) {
        SCOPED_TRACE(static_cast<int>(mode));
        Rig rig(mode, {{"mic"}}, FLOAT_STEREO, writer);
        rig.push(0, constant(480 * 5, 0.5f), 0ms);
        rig.cycle_until(25ms);
        if (mode == RecordingMode::StemsInstructed) {
            // Each segment holds what was captured while it was on.
            rig.enabled[0]->store(false);
            rig.cycle();
            rig.enabled[0]->store(true);
            rig.cycle();
            rig.push(0, constant(480 * 3, 0.5f), rig.elapsed());
            rig.cycle_until(rig.elapsed() + 15ms);
            rig.enabled[0]->store(false);
            rig.cycle();
        }
        const FileList files = rig.stop_and_receive();
        std::vector<std::string> names;
        for (const auto& f : files)
            names.push_back(f.filename().string());
        if (mode == RecordingMode::SingleFile) {
            const std::string stem = "recording_2023-11-14_22-13";
            EXPECT_EQ(names, (std::vector<std::string>{stem + ".recpart", stem + "_part2.recpart",
                                                       stem + "_part3.recpart"}));
        } else {
            EXPECT_EQ(names, (std::vector<std::string>{"mic.recpart", "mic_part2.recpart",
                                                       "mic_part3.recpart", "mic_2.recpart",
                                                       "mic_2_part2.recpart"}));
        }
    }
}

TEST(Processor, ResampledAudioKeepsItsLengthAndPlace) {
    // 44100 Hz into 48000 Hz: 4410 frames are 100 ms, so 4800 frames come out,
    // give or take a frame, where they were captured.
    Rig rig(RecordingMode::StemsSilence, {{"a", 44100, 1, true}});
    rig.push(0, constant(4410, 0.5f), 50ms);
    rig.cycle_until(300ms);
    const test::RecpartData d = test::read_recpart(rig.stop_and_receive().at(0));
    std::size_t loud = 0, first = 0;
    for (std::size_t f = 0; f < d.frames(); ++f) {
        if (std::fabs(d.samples[2 * f]) > 0.25f && loud++ == 0)
            first = f;
    }
    EXPECT_NEAR(static_cast<double>(loud), 4800.0, 2.0);
    EXPECT_NEAR(static_cast<double>(first), 2400.0, 2.0);
}

TEST(Processor, NewSegmentDoesNotOpenWithTheLastOnesTail) {
    // 100 ms of full level, switched off, then 100 ms of silence: the second
    // segment must hold silence only, not what the filter still held.
    Rig rig(RecordingMode::StemsInstructed, {{"mic", 44100, 1, true}});
    rig.push(0, constant(4410, 0.5f), 0ms);
    rig.cycle_until(100ms);
    rig.enabled[0]->store(false);
    rig.cycle();
    rig.enabled[0]->store(true);
    rig.push(0, constant(4410, 0.0f), 120ms);
    rig.cycle_until(400ms);
    const FileList files = rig.stop_and_receive();
    ASSERT_EQ(files.size(), 2u);
    const test::RecpartData second = test::read_recpart(files[1]);
    EXPECT_GT(second.frames(), 4000u);
    float peak = 0;
    for (float v : second.samples)
        peak = std::max(peak, std::fabs(v));
    EXPECT_LT(peak, 1e-3f);
}

TEST(Processor, ResamplerThatCannotStartEndsTheRecording) {
    Rig rig(RecordingMode::SingleFile, {{"a", 0, 2, true}});
    rig.push(0, constant(480, 0.5f), 0ms);
    rig.cycle();
    EXPECT_FALSE(rig.running);
    EXPECT_EQ(rig.error->get(), "source sample rate is zero");
    EXPECT_EQ(rig.receiver->receive().value_or(FileList{}).size(), 1u);
}

TEST(Processor, LostCaptureDoesNotEndTheRecording) {
    // Its capture waits for the device to return; the take goes on meanwhile.
    Rig rig(RecordingMode::SingleFile, {{"a"}});
    auto health = std::make_shared<CaptureHealth>();
    rig.captures->entries.push_back({SourceSpec::input_device("USB Mic"), nullptr, health});
    rig.cycle();
    health->lost.store(true);
    rig.cycle();
    EXPECT_TRUE(rig.running);
    EXPECT_EQ(rig.error->get(), std::nullopt);
}

}  // namespace
}  // namespace kestrune
