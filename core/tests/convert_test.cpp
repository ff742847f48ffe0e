#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "audio_buf/sample_buffer.hpp"
#include "convert/channel_map.hpp"
#include "convert/resampler.hpp"
#include "convert/source_converter.hpp"

namespace kestrune {
namespace {

TEST(SampleBuffer, KeepsOrderAndDropsTheNewestBeyondTheLimit) {
    SampleBuffer buffer;
    EXPECT_TRUE(buffer.take_all().empty());
    buffer.push({});  // an empty chunk counts like any other
    for (std::size_t i = 1; i < MAX_QUEUED_CHUNKS; ++i)
        buffer.push({static_cast<float>(i)});
    buffer.push({-1.0f});  // one too many
    std::vector<SampleChunk> taken = buffer.take_all();
    ASSERT_EQ(taken.size(), MAX_QUEUED_CHUNKS);
    EXPECT_TRUE(taken.front().empty());
    EXPECT_EQ(taken.back(), SampleChunk{3999.0f});
    buffer.push({7.0f});
    buffer.push({8.0f});
    taken = buffer.take_all();
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_EQ(taken[0], SampleChunk{7.0f});
    EXPECT_EQ(taken[1], SampleChunk{8.0f});
}

TEST(ChannelMap, EveryRowOfTheTable) {
    struct Case {
        std::uint16_t from, to;
        std::vector<float> in, out;
    };
    const Case cases[] = {
        {1, 2, {0.1f, 0.2f}, {0.1f, 0.1f, 0.2f, 0.2f}},
        {2, 1, {0.2f, 0.4f, 1.0f, -1.0f}, {0.3f, 0.0f}},
        {6, 1, {0.6f, 0.6f, 0.0f, 0.0f, 0.0f, 0.0f}, {0.2f}},
        {6, 2, {1, 2, 3, 4, 5, 6}, {1, 2}},
        {1, 4, {0.5f}, {0.5f, 0, 0, 0}},
        {2, 6, {1, 2}, {1, 2, 0, 0, 0, 0}},
        {4, 3, {1, 2, 3, 4}, {1, 2, 3}},
        {2, 2, {1, 2, 3}, {1, 2, 3}},        // equal counts pass everything
        {0, 2, {1, 2, 3}, {1, 2, 3}},        // unknown count passes too
        {2, 1, {0.2f, 0.4f, 0.9f}, {0.3f}},  // partial trailing frame ignored
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.from) + " to " + std::to_string(c.to));
        std::vector<float> out{9.0f};  // appends after what is there
        map_channels(c.in, c.from, c.to, out);
        ASSERT_EQ(out.size(), c.out.size() + 1);
        for (std::size_t i = 0; i < c.out.size(); ++i)
            EXPECT_FLOAT_EQ(out[i + 1], c.out[i]);
    }
}

TEST(Resampler, RunsInWholeChunksAndKeepsTheRest) {
    auto r = Resampler::create(44100, 48000, 2);
    ASSERT_TRUE(r.has_value()) << r.error();
    std::vector<float> out;
    ASSERT_TRUE(r->process(std::vector<float>(63 * 2, 0.1f), out));
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(r->pending_samples(), 126u);
    ASSERT_TRUE(r->process(std::vector<float>(2, 0.1f), out));
    EXPECT_EQ(r->pending_samples(), 0u);
    ASSERT_TRUE(r->process(std::vector<float>(441 * 2 + 1, 0.1f), out));  // and half a frame
    EXPECT_EQ(r->pending_samples(), 57u * 2);

    // A second of input comes out as a second at the new rate once flushed.
    std::size_t frames_in = 64 + 441;
    for (int i = 0; i < 99; ++i, frames_in += 441)
        ASSERT_TRUE(r->process(std::vector<float>(441 * 2, 0.1f), out));
    ASSERT_TRUE(r->flush(out));
    EXPECT_EQ(out.size() % 2, 0u);
    EXPECT_NEAR(static_cast<double>(out.size() / 2), frames_in * 48000.0 / 44100.0, 1.0);
}

TEST(SourceConverter, ResamplerFailuresCarryTheirText) {
    std::vector<float> out;
    SourceConverter zero(0, 2, 48000, 2);
    auto r = zero.convert(std::vector<float>(8, 0.0f), out);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), "source sample rate is zero");

    SourceConverter refused(44100, 2, 0, 2);
    r = refused.convert(std::vector<float>(8, 0.0f), out);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().rfind("resampler init failed (44100\u21920 Hz, 2ch): ", 0), 0u)
        << r.error();
    EXPECT_GT(r.error().size(),
              std::string("resampler init failed (44100\u21920 Hz, 2ch): ").size());
}

TEST(SourceConverter, EqualRatesOnlyMapChannels) {
    SourceConverter c(48000, 1, 48000, 2);
    EXPECT_FALSE(c.resamples());
    std::vector<float> out;
    ASSERT_TRUE(c.convert(std::vector<float>{0.25f, -0.5f}, out));
    EXPECT_EQ(out, (std::vector<float>{0.25f, 0.25f, -0.5f, -0.5f}));
}

}  // namespace
}  // namespace kestrune
