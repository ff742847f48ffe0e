#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "recorder/recorder.hpp"
#include "support/fake_backend.hpp"
#include "support/recpart_reader.hpp"
#include "support/temp_dir.hpp"

namespace kestrune {
namespace {

using namespace std::chrono_literals;

struct RecorderFixture : ::testing::Test {
    test::TempDir dir;
    test::FakeBackend backend;
    test::FakeLocations locations;
    WriterConfig writer;

    RecordOptions options() const {
        RecordOptions o;
        o.output_dir = dir / "out";
        return o;
    }
    Recorder start(const RecordOptions& o) {
        auto r = Recorder::start(o, RecorderServices{backend, locations, writer});
        EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().text);
        return std::move(*r);
    }
};

TEST_F(RecorderFixture, DefaultOptionsRecordSystemAudioIntoOneFile) {
    Recorder rec = start(options());
    EXPECT_EQ(rec.total_sources(), 2u);
    std::this_thread::sleep_for(300ms);
    StopResult result = std::move(rec).stop();
    EXPECT_FALSE(result.error);
    EXPECT_EQ(result.used_sources, 1u);
    EXPECT_EQ(result.total_sources, 2u);
    EXPECT_FALSE(result.stems);
    ASSERT_EQ(result.files.size(), 1u);
    const test::RecpartData data = test::read_recpart(result.files[0]);
    EXPECT_EQ(data.format, (OutputFormat{48000, 2, 32, true}));
    EXPECT_GT(data.frames(), 48000u * 2 / 10);
    EXPECT_EQ(backend.running(), 0);
}

}  // namespace
}  // namespace kestrune
