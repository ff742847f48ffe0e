// The processor driven cycle by cycle on a hand-moved clock, so every block
// count below is exact.

#include <gtest/gtest.h>

#include <cmath>
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
    std::filesystem::path session_dir;
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
        processor = std::make_unique<Processor>(std::move(setup), clock);
    }

    void push(std::size_t source, std::vector<float> samples) {
        buffers[source]->push(std::move(samples));
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
    FileList stop_and_receive() {
        stop->store(true);
        cycle();
        EXPECT_FALSE(running);
        return receiver->receive().value_or(FileList{});
    }
    std::filesystem::path file(const std::string& name) const { return session_dir / name; }
};

std::vector<float> constant(std::size_t n, float v) {
    return std::vector<float>(n, v);
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
    rig.push(0, constant(480, 0.9f));
    rig.push(1, constant(480, 0.3f));
    rig.cycle();
    rig.push(0, constant(480, 3.0f));  // an overshooting source
    rig.push(1, constant(480, 1.0f));
    rig.cycle();
    const FileList files = rig.stop_and_receive();
    ASSERT_EQ(files.size(), 1u);
    const test::RecpartData d = test::read_recpart(files[0]);
    ASSERT_EQ(d.samples.size(), 960u);
    const float g = 1.0f / 3.0f;
    EXPECT_FLOAT_EQ(d.samples[0], g * 0.9f + g * 0.3f);
    EXPECT_FLOAT_EQ(d.samples[479], g * 0.9f + g * 0.3f);
    EXPECT_FLOAT_EQ(d.samples[480], 1.0f);
    EXPECT_FALSE(rig.error->get());
}

TEST(Processor, QuietSourceHoldsBackTwentyCyclesThenIsLeftOut) {
    Rig rig(RecordingMode::SingleFile, {{"a"}, {"quiet"}});
    rig.push(0, constant(480, 0.5f));
    rig.push(1, constant(100, 0.5f));  // a little, then nothing
    rig.cycles(1);
    rig.cycles(18);         // the quiet source's 19th idle cycle
    rig.processor.reset();  // finishes the file as it stands
    const test::RecpartData held = test::read_recpart(rig.receiver->receive().value().at(0));
    EXPECT_EQ(held.samples.size(), 0u) << "written before the quiet source was given up";

    Rig again(RecordingMode::SingleFile, {{"a"}, {"quiet"}});
    again.push(0, constant(960, 0.5f));
    again.push(1, constant(100, 0.5f));
    again.cycles(21);
    // Back again: it holds back as soon as its backlog runs short.
    again.push(1, constant(200, 0.5f));
    again.push(0, constant(960, 0.5f));
    again.cycle();
    again.processor.reset();
    const test::RecpartData d = test::read_recpart(again.receiver->receive().value().at(0));
    ASSERT_EQ(d.samples.size(), 960u) << "both blocks of the first push, none of the second";
    EXPECT_FLOAT_EQ(d.samples[0], 0.5f);  // both sources at half level
    EXPECT_FLOAT_EQ(d.samples[99], 0.5f);
    EXPECT_FLOAT_EQ(d.samples[100], 0.25f);  // the quiet one has run out
}

TEST(Processor, FinalDrainWritesWhatIsLeftInBlocks) {
    Rig rig(RecordingMode::SingleFile, {{"a"}, {"b"}, {"off", 48000, 2, false}});
    rig.push(0, constant(700, 0.3f));
    rig.push(1, constant(100, 0.3f));
    rig.push(2, constant(480, 0.9f));  // a disabled source's samples are dropped
    const FileList files = rig.stop_and_receive();
    const test::RecpartData d = test::read_recpart(files.at(0));
    ASSERT_EQ(d.samples.size(), 700u);  // 480 + 220
    EXPECT_FLOAT_EQ(d.samples[99], 0.2f);
    EXPECT_FLOAT_EQ(d.samples[100], 0.1f);
}

TEST(Processor, SilenceFollowsTheClockNotTheCycleCount) {
    // Cycles of 5, 12 and 16 ms: 33 ms of silence is six whole 5 ms blocks
    // and the remaining 3 ms waits for the next cycle.
    for (RecordingMode mode : {RecordingMode::SingleFile, RecordingMode::StemsSilence}) {
        SCOPED_TRACE(static_cast<int>(mode));
        Rig rig(mode, {{"a", 48000, 2, false}});
        rig.cycle(5ms);
        rig.cycle(12ms);
        rig.cycle(16ms);
        rig.processor.reset();
        const FileList files = rig.receiver->receive().value();
        EXPECT_EQ(test::read_recpart(files.at(0)).samples.size(), 6u * 480);
    }
}

TEST(Processor, SwitchedOffStemGetsSilenceForItsTimeOff) {
    Rig rig(RecordingMode::StemsSilence, {{"loopback"}, {"mic", 48000, 2, true}});
    rig.push(0, constant(480, 0.5f));
    rig.push(1, constant(480, 0.5f));
    rig.cycle();
    rig.enabled[1]->store(false);
    for (int i = 0; i < 40; ++i) {
        rig.push(0, constant(480 * 2, 0.5f));  // 10 ms of audio per 10 ms cycle
        rig.cycle(10ms);
    }
    rig.enabled[1]->store(true);
    rig.push(0, constant(480, 0.5f));
    rig.push(1, constant(480, 0.5f));
    rig.cycle();
    const FileList files = rig.stop_and_receive();
    ASSERT_EQ(files.size(), 2u);
    const test::RecpartData a = test::read_recpart(files[0]);
    const test::RecpartData b = test::read_recpart(files[1]);
    EXPECT_EQ(a.samples.size(), 480u * 82);
    EXPECT_EQ(b.samples.size(), a.samples.size());
    EXPECT_FLOAT_EQ(b.samples[480 * 40], 0.0f);
    EXPECT_FLOAT_EQ(b.samples.back(), 0.5f);
}

TEST(Processor, InstructedSegmentsGetFilesAndOffsets) {
    Rig rig(RecordingMode::StemsInstructed, {{"mic"}, {"late", 48000, 2, false}});
    for (int i = 0; i < 10; ++i) {
        rig.push(0, constant(480, 0.1f));
        rig.cycle();
    }
    rig.enabled[0]->store(false);
    rig.enabled[1]->store(true);
    rig.cycle();  // position stays: nobody wrote
    // A repair meanwhile passes by every file of the running recording, the
    // ended segment's too.
    const std::vector<RepairResult> repairs = repair_directory(rig.session_dir);
    EXPECT_EQ(repairs.size(), 2u);
    for (const RepairResult& r : repairs)
        EXPECT_TRUE(r.in_use) << r.path.string();
    rig.push(1, constant(960, 0.2f));
    rig.cycle();  // two blocks at once
    rig.enabled[0]->store(true);
    // A file already at mic_2.recpart pushes the segment to mic_2_1, and the
    // instructions name the file it really went to.
    test::write_bytes(rig.file("mic_2.recpart"), {1, 2, 3});
    rig.push(0, constant(480, 0.3f));
    rig.cycle();
    // Every line is in the file as soon as it is made, so a crash keeps them.
    const auto written = test::read_bytes(rig.file("instructions.txt"));
    const FileList files = rig.stop_and_receive();
    EXPECT_EQ(test::read_bytes(rig.file("instructions.txt")), written);

    const std::vector<std::filesystem::path> expected{
        rig.file("mic.recpart"), rig.file("late.recpart"), rig.file("mic_2_1.recpart")};
    EXPECT_EQ(files, expected);
    EXPECT_EQ(test::read_recpart(files[0]).samples.size(), 4800u);
    EXPECT_EQ(test::read_recpart(files[1]).samples.size(), 960u);
    EXPECT_EQ(test::read_recpart(files[2]).samples.size(), 480u);
    const auto text = test::read_bytes(rig.file("instructions.txt"));
    const std::string s(text.begin(), text.end());
    EXPECT_NE(s.find("# sample_offset file\n0 mic\n2400 late\n2880 mic_2_1\n"), std::string::npos)
        << s;
}

TEST(Processor, CollidingLabelsRollOverIntoTheirOwnParts) {
    // Two sources both labelled "USB": each rolls over into parts named after
    // its own first file, and neither ever touches the other's.
    WriterConfig writer;
    writer.part_limit = 2 * 1920;  // two blocks of 5 ms float stereo
    Rig rig(RecordingMode::StemsSilence, {{"USB"}, {"USB"}}, FLOAT_STEREO, writer);
    for (int i = 0; i < 3; ++i) {
        rig.push(0, constant(960, 0.1f));
        rig.push(1, constant(960, 0.2f));
        rig.cycle();
    }
    const FileList files = rig.stop_and_receive();
    // The block that fills a part opens the next one at once.
    const std::vector<std::filesystem::path> expected{
        rig.file("USB.recpart"),       rig.file("USB_1.recpart"),
        rig.file("USB_part2.recpart"), rig.file("USB_1_part2.recpart"),
        rig.file("USB_part3.recpart"), rig.file("USB_1_part3.recpart"),
        rig.file("USB_part4.recpart"), rig.file("USB_1_part4.recpart")};
    EXPECT_EQ(files, expected);
    for (std::size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(files[i].filename().string());
        const float level = i % 2 == 1 ? 0.2f : 0.1f;
        const std::size_t size = i < 6 ? 960 : 0;
        EXPECT_EQ(test::read_recpart(files[i]).samples, std::vector<float>(size, level));
    }
}

TEST(Processor, InstructedTimelineFollowsTheAudioNotTheBusiestCycle) {
    // Two sources delivering 10 ms each, out of step: every cycle one of them
    // writes two blocks, but 100 ms pass, not 200.
    Rig rig(RecordingMode::StemsInstructed, {{"a"}, {"b"}, {"c", 48000, 2, false}});
    for (int i = 0; i < 20; ++i) {
        rig.push(i % 2, constant(960, 0.1f));
        rig.cycle();
    }
    rig.enabled[2]->store(true);
    rig.cycle();
    rig.stop_and_receive();
    const auto text = test::read_bytes(rig.file("instructions.txt"));
    const std::string s(text.begin(), text.end());
    EXPECT_NE(s.find("0 a\n0 b\n4800 c\n"), std::string::npos) << s;
}

TEST(Processor, WriteErrorFinishesEveryFileAndReportsTheList) {
    WriterConfig writer;
    // The first stem's header (58 bytes) fits; its first flush of data fails.
    writer.open = test::faulty_opener({.fail_after_bytes = 58 * 2 + 4, .max_chunk = SIZE_MAX});
    Rig rig(RecordingMode::StemsSilence, {{"a"}, {"b"}}, FLOAT_STEREO, writer);
    for (int i = 0; i < 20 && rig.running; ++i) {
        rig.push(0, constant(4800, 0.5f));
        rig.push(1, constant(4800, 0.5f));
        rig.cycle();
    }
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
        rig.push(0, constant(480 * 5, 0.5f));
        rig.cycle();
        if (mode == RecordingMode::StemsInstructed) {
            rig.enabled[0]->store(false);
            rig.cycle();
            rig.enabled[0]->store(true);
            rig.push(0, constant(480 * 3, 0.5f));
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

TEST(Processor, ResamplerTailIsWrittenAtStop) {
    // 44100 Hz into 48000 Hz: 4410 frames are 100 ms, so 4800 frames come out
    // once the filter's delay has been flushed, give or take a frame.
    Rig rig(RecordingMode::SingleFile, {{"a", 44100, 1, true}});
    test::FakeDevice tone = test::fake_device({44100, 1, 16, false});
    std::vector<float> samples;
    for (std::uint64_t f = 0; f < 4410; ++f)
        samples.push_back(test::fake_sample(tone, f));
    rig.push(0, samples);
    const test::RecpartData d = test::read_recpart(rig.stop_and_receive().at(0));
    EXPECT_NEAR(static_cast<double>(d.frames()), 4800.0, 2.0);
}

TEST(Processor, NewSegmentDoesNotOpenWithTheLastOnesTail) {
    // 100 ms of full level, switched off, then 100 ms of silence: the second
    // segment must hold silence only, not what the filter still held.
    Rig rig(RecordingMode::StemsInstructed, {{"mic", 44100, 1, true}});
    rig.push(0, constant(4410, 0.5f));
    rig.cycles(3);
    rig.enabled[0]->store(false);
    rig.cycle();
    rig.enabled[0]->store(true);
    rig.push(0, constant(4410, 0.0f));
    rig.cycles(3);
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
    rig.push(0, constant(480, 0.5f));
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
