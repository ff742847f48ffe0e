// The engine on Windows: the precise cycle clock, and a recording through the
// fake backend into stems whose names are not ASCII.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/cycle_clock.hpp"
#include "recorder/recorder.hpp"
#include "support/fake_backend.hpp"
#include "support/recpart_reader.hpp"
#include "support/temp_dir.hpp"
#include "text/path_text.hpp"

namespace kestrune {
namespace {

using namespace std::chrono_literals;

TEST(CycleClockWin, SleepsCloseToFiveMilliseconds) {
    // A plain Sleep would take 15.6 ms at the default timer resolution.
    const std::unique_ptr<CycleClock> clock = make_system_cycle_clock();
    const auto start = clock->now();
    for (int i = 0; i < 40; ++i)
        clock->sleep_for(5ms);
    const auto mean = (clock->now() - start) / 40;
    EXPECT_GE(mean, 4900us);
    EXPECT_LT(mean, 12ms) << "the timer still runs at the coarse default resolution";
}

TEST(EngineWin, InstructedStemsWithUnicodeNames) {
    test::TempDir dir;
    test::FakeBackend backend;
    backend.inputs = {{"Mikrofon \xC3\xA4\xC3\xB6 (USB)", test::fake_device({48000, 2, 32, true})}};
    test::FakeLocations locations;
    RecordOptions options;
    options.output_dir = dir / path_from_utf8("Aufnahmen \xE2\x99\xAA");
    options.mode = RecordingMode::StemsInstructed;
    options.devices = {backend.inputs[0].name};
    auto rec = Recorder::start(options, RecorderServices{backend, locations, {}});
    ASSERT_TRUE(rec.has_value()) << rec.error().text;
    std::this_thread::sleep_for(300ms);
    const StopResult result = std::move(*rec).stop();
    EXPECT_FALSE(result.error);
    ASSERT_EQ(result.files.size(), 2u);
    EXPECT_EQ(path_display(result.files[1].filename()), "Mikrofon \xC3\xA4\xC3\xB6 (USB).recpart");
    EXPECT_GT(test::read_recpart(result.files[1]).frames(), 48000u / 10);
    EXPECT_TRUE(std::filesystem::exists(result.files[1].parent_path() / "instructions.txt"));
}

}  // namespace
}  // namespace kestrune
