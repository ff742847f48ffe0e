#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "controller/controller.hpp"
#include "controller/meter_ballistics.hpp"
#include "processor/level_meters.hpp"
#include "support/fake_backend.hpp"
#include "support/fake_view.hpp"
#include "support/temp_dir.hpp"
#include "text/path_text.hpp"

namespace kestrune {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(LevelMeters, KeepTheHighestPeakUntilTakenAndTheLostMark) {
    LevelMeters levels(2);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> a{0.1f, -0.7f, 0.3f};
    const std::vector<float> b{0.5f, nan, -0.2f};
    levels.add(0, a);
    levels.add(0, b);  // lower: the peak stays
    levels.add(2, a);  // no such source: ignored
    EXPECT_FLOAT_EQ(levels.take_peak(0), 0.7f);
    EXPECT_FLOAT_EQ(levels.take_peak(0), 0.0f);  // taken
    EXPECT_FLOAT_EQ(levels.take_peak(1), 0.0f);
    EXPECT_FLOAT_EQ(levels.take_peak(5), 0.0f);

    EXPECT_FALSE(levels.lost(1));
    levels.set_lost(1, true);
    levels.set_lost(9, true);
    EXPECT_TRUE(levels.lost(1));
    EXPECT_FALSE(levels.lost(0));
    EXPECT_FALSE(levels.lost(9));
}

TEST(LevelMeters, ConcurrentWritesAndTakesLoseNoPeak) {
    LevelMeters levels(1);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        std::vector<float> block(64, 0.0f);
        for (int i = 1; i <= 20000; ++i) {
            block[static_cast<std::size_t>(i % 64)] = static_cast<float>(i) / 20000.0f;
            levels.add(0, block);
        }
        done = true;
    });
    float highest = 0.0f;
    while (!done)
        highest = std::max(highest, levels.take_peak(0));
    writer.join();
    highest = std::max(highest, levels.take_peak(0));
    EXPECT_FLOAT_EQ(highest, 1.0f);
}

TEST(MeterBallistics, DecibelsFromPeaks) {
    struct Case {
        float peak;
        float db;
    };
    const Case cases[] = {{1.0f, 0.0f},
                          {0.5f, -6.0206f},
                          {0.1f, -20.0f},
                          {0.001f, -60.0f},
                          {0.0001f, -60.0f},  // below the floor
                          {0.0f, -60.0f},
                          {-0.5f, -60.0f},
                          {4.0f, 0.0f},  // float overshoot
                          {std::numeric_limits<float>::quiet_NaN(), -60.0f},
                          {std::numeric_limits<float>::infinity(), 0.0f}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.peak);
        EXPECT_NEAR(peak_dbfs(c.peak), c.db, 1e-3);
    }
}

TEST(MeterBallistics, RisesAtOnceHoldsThenFallsBackToTheFloor) {
    const Clock::time_point t0{100s};
    MeterBallistics m;
    EXPECT_FLOAT_EQ(m.level_db(), METER_FLOOR_DB);
    m.update(0.5f, t0);
    EXPECT_NEAR(m.level_db(), -6.02f, 0.01f);
    EXPECT_NEAR(m.hold_db(), -6.02f, 0.01f);
    EXPECT_FALSE(m.clipped());

    // Silence: the bar falls at its rate, the hold mark stays for its time.
    m.update(0.0f, t0 + 100ms);
    EXPECT_NEAR(m.level_db(), -6.02f - 3.0f, 0.01f);
    EXPECT_NEAR(m.hold_db(), -6.02f, 0.01f);
    m.update(0.0f, t0 + 1400ms);
    EXPECT_NEAR(m.level_db(), -6.02f - 42.0f, 0.01f);
    EXPECT_NEAR(m.hold_db(), -6.02f, 0.01f);
    // Past the hold: the mark follows the bar down, never below it.
    m.update(0.0f, t0 + 1600ms);
    EXPECT_NEAR(m.level_db(), -6.02f - 48.0f, 0.01f);
    EXPECT_NEAR(m.hold_db(), -6.02f - 6.0f, 0.01f);
    m.update(0.0f, t0 + 5s);
    EXPECT_FLOAT_EQ(m.level_db(), METER_FLOOR_DB);
    EXPECT_FLOAT_EQ(m.hold_db(), METER_FLOOR_DB);

    // A lower peak while falling does not pull the bar under its fall.
    MeterBallistics f;
    f.update(1.0f, t0);
    f.update(0.01f, t0 + 100ms);
    EXPECT_NEAR(f.level_db(), -3.0f, 0.01f);
    // A clock that went back is no time passed.
    f.update(0.0f, t0);
    EXPECT_NEAR(f.level_db(), -3.0f, 0.01f);
}

TEST(MeterBallistics, ClipMarkOutlastsTheOverload) {
    const Clock::time_point t0{100s};
    MeterBallistics m;
    m.update(0.9f, t0);
    EXPECT_FALSE(m.clipped());
    m.update(32767.0f / 32768.0f, t0 + 50ms);  // the largest 16-bit sample
    EXPECT_TRUE(m.clipped());
    m.update(0.1f, t0 + 50ms + METER_CLIP_HOLD - 1ms);
    EXPECT_TRUE(m.clipped());
    m.update(0.1f, t0 + 50ms + METER_CLIP_HOLD);
    EXPECT_FALSE(m.clipped());
}

// The real Recorder with sources that play sines: the window logic shows a
// meter per running source at the level written, and none once stopped.
TEST(ControllerMeters, ShowTheRecordedLevelPerRunningSource) {
    namespace fs = std::filesystem;
    test::TempDir dir;
    fs::create_directory(dir / "out");
    test::FakeBackend backend;
    backend.loopback.level = 0.5f;      // -6.02 dBFS
    backend.microphone.level = 0.125f;  // -18.06 dBFS, resampled and widened to stereo
    test::FakeLocations places;
    test::FakeView view;
    test::FakeDialogs dialogs;
    struct NoStarts : SourceStarter {
        void start_worker(const SourceSpec&, std::uint64_t,
                          std::shared_ptr<SampleBuffer>) override {}
        void post_report(std::unique_ptr<SourceStartReport>) override {}
    } starter;
    WindowState state;
    view.set_text(Control::Output, path_display(dir / "out"));
    view.check(Control::SystemAudio);
    view.check(Control::Mic);
    Controller ctl(state, view, dialogs, ControllerServices{backend, places, starter});

    ctl.update_meters();  // idle: nothing
    EXPECT_TRUE(view.meters.empty());
    ctl.toggle_recording();
    ASSERT_TRUE(state.recording.has_value());

    auto until = [&](auto done) {
        for (int i = 0; i < 500 && !done(); ++i) {
            std::this_thread::sleep_for(10ms);
            ctl.on_meter_tick();
        }
    };
    // Read once both have settled: a reading taken just after a tick that
    // brought no new audio has already begun to fall.
    until([&] {
        return view.meters.size() == 2 && std::fabs(view.meters[0].level_db + 6.02f) <= 0.2f &&
               std::fabs(view.meters[1].level_db + 18.06f) <= 0.2f;
    });
    ASSERT_EQ(view.meters.size(), 2u);
    EXPECT_EQ(view.meters[0].label, "System audio");
    EXPECT_NEAR(view.meters[0].level_db, -6.02f, 0.2f);
    EXPECT_EQ(view.meters[1].label, "Microphone");
    EXPECT_NEAR(view.meters[1].level_db, -18.06f, 0.2f);
    EXPECT_FALSE(view.meters[0].clipped);
    EXPECT_FALSE(view.meters[0].lost);

    // A lost source keeps its meter, marked, at the floor.
    state.recording->level_meters().set_lost(1, true);
    until([&] { return view.meters.size() == 2 && view.meters[1].level_db == METER_FLOOR_DB; });
    ASSERT_EQ(view.meters.size(), 2u);
    EXPECT_TRUE(view.meters[1].lost);
    state.recording->level_meters().set_lost(1, false);

    // Switched off: its meter goes.
    view.check(Control::Mic, false);
    ctl.set_source_enabled(SourceSpec::default_microphone(), false);
    ctl.on_meter_tick();
    ASSERT_EQ(view.meters.size(), 1u);
    EXPECT_EQ(view.meters[0].label, "System audio");

    ctl.stop_recording();
    EXPECT_TRUE(view.meters.empty());
}

}  // namespace
}  // namespace kestrune
