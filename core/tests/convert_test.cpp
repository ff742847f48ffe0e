#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "audio_buf/sample_buffer.hpp"
#include "convert/channel_map.hpp"
#include "convert/drift_resampler.hpp"
#include "convert/resampler.hpp"
#include "convert/source_converter.hpp"

namespace kestrune {
namespace {

TEST(SampleBuffer, KeepsOrderAndDropsTheNewestBeyondTheLimit) {
    SampleBuffer buffer;
    EXPECT_TRUE(buffer.take_all().empty());
    const auto chunk = [](std::vector<float> samples) {
        SampleChunk c;
        c.samples = std::move(samples);
        return c;
    };
    buffer.push({});  // an empty chunk counts like any other
    for (std::size_t i = 1; i < MAX_QUEUED_CHUNKS; ++i)
        buffer.push(chunk({static_cast<float>(i)}));
    buffer.push(chunk({-1.0f}));  // one too many
    std::vector<SampleChunk> taken = buffer.take_all();
    ASSERT_EQ(taken.size(), MAX_QUEUED_CHUNKS);
    EXPECT_TRUE(taken.front().empty());
    EXPECT_EQ(taken.back().samples, std::vector<float>{3999.0f});
    buffer.push(chunk({7.0f}));
    buffer.push(chunk({8.0f}));
    taken = buffer.take_all();
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_EQ(taken[0].samples, std::vector<float>{7.0f});
    EXPECT_EQ(taken[1].samples, std::vector<float>{8.0f});
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
    auto r = zero.convert(std::vector<float>(8, 0.0f), 1.0, out);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), "source sample rate is zero");

    SourceConverter refused(44100, 2, 0, 2);
    r = refused.convert(std::vector<float>(8, 0.0f), 1.0, out);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().rfind("resampler init failed (44100\u21920 Hz, 2ch): ", 0), 0u)
        << r.error();
    EXPECT_GT(r.error().size(),
              std::string("resampler init failed (44100\u21920 Hz, 2ch): ").size());
}

TEST(SourceConverter, EqualRatesMapChannelsAndPassSamplesThroughUnstretched) {
    SourceConverter c(48000, 1, 48000, 2);
    EXPECT_FALSE(c.resamples());
    std::vector<float> in;
    for (int i = 0; i < 100; ++i)
        in.push_back(0.01f * static_cast<float>(i));
    std::vector<float> out;
    ASSERT_TRUE(c.convert(in, 1.0, out));
    ASSERT_TRUE(c.flush(out));
    ASSERT_EQ(out.size(), 200u);
    for (std::size_t i = 0; i < in.size(); ++i) {
        EXPECT_FLOAT_EQ(out[2 * i], in[i]) << i;
        EXPECT_FLOAT_EQ(out[2 * i + 1], in[i]) << i;
    }
}

// A steady tone stretched by a constant ratio is the same tone at a lower or
// higher pitch, sample for sample: whatever differs from it is the
// stretch's own distortion, and bounds every spur it makes.
TEST(DriftResampler, StretchesWithoutAudibleDistortion) {
    constexpr double RATE = 48000, TONE = 1000;
    for (double ppm : {1000.0, -1000.0, 37.0}) {
        SCOPED_TRACE(ppm);
        const double ratio = 1 + ppm * 1e-6;
        DriftResampler d(2);
        std::vector<float> out;
        std::uint64_t fed = 0;
        for (int chunk = 0; chunk < 200; ++chunk) {
            std::vector<float> in;
            for (int f = 0; f < 480; ++f, ++fed) {
                const double t = std::fmod(TONE * static_cast<double>(fed) / RATE, 1.0);
                const auto v = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * t));
                in.insert(in.end(), {v, v});
            }
            // Where the next input lands is where the output has reached.
            const double expected_position = static_cast<double>(fed - in.size() / 2) * ratio;
            EXPECT_NEAR(d.output_position(static_cast<double>(fed - in.size() / 2)),
                        expected_position, 1e-6);
            d.process(in, ratio, out);
        }
        d.flush(out);
        EXPECT_NEAR(static_cast<double>(out.size() / 2), static_cast<double>(fed) * ratio, 1.5);
        double worst = 0;
        for (std::size_t m = 100; m + 100 < out.size() / 2; ++m) {
            const double t = std::fmod(TONE * static_cast<double>(m) / (ratio * RATE), 1.0);
            const double ideal = 0.5 * std::sin(2 * std::numbers::pi * t);
            worst =
                std::max({worst, std::fabs(out[2 * m] - ideal), std::fabs(out[2 * m + 1] - ideal)});
        }
        EXPECT_LT(20 * std::log10(worst), -90.0);
    }
}

}  // namespace
}  // namespace kestrune
