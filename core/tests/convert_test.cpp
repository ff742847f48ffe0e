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
#include "convert/stretch_kernels.hpp"

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
        // Surround: LFE (channel 3) left out, the rest by position (the
        // tone test below checks the levels).
        {6, 1, {0.6f, 0.2f, 0.0f, 0.9f, 0.0f, 0.0f}, {0.4f}},
        {6, 2, {1, 2, 0, 9, 0, 0}, {1, 2}},
        {1, 4, {0.5f}, {0.5f, 0, 0, 0}},
        {2, 6, {1, 2}, {1, 2, 0, 0, 0, 0}},
        {4, 3, {1, 0, 0, 0}, {1, 0, 0}},     // quad into 3.0: fronts stay, no centre made up
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

// The amplitude of a tone of `hz` in one channel of interleaved frames, over
// a whole number of its periods.
double tone_level(const std::vector<float>& x, std::size_t channels, std::size_t channel, double hz,
                  double rate) {
    double s = 0.0, c = 0.0;
    const std::size_t frames = x.size() / channels;
    for (std::size_t f = 0; f < frames; ++f) {
        const double w = 2.0 * std::numbers::pi * hz * static_cast<double>(f) / rate;
        s += x[f * channels + channel] * std::sin(w);
        c += x[f * channels + channel] * std::cos(w);
    }
    return 2.0 * std::hypot(s, c) / static_cast<double>(frames);
}

TEST(ChannelMap, SurroundDownmixKeepsCentreAndSurroundsWithoutLfe) {
    // 5.1 with a tone of its own on every channel, in mask order.
    constexpr double RATE = 48000.0;
    constexpr std::size_t FRAMES = 4800;  // every tone below has whole periods in it
    constexpr float A = 0.2f;
    constexpr double G = 0.70710678;  // -3 dB
    struct Channel {
        const char* name;
        double hz;
        double to_left, to_right;
    };
    struct Layout {
        const char* name;
        std::uint32_t mask;
        std::vector<Channel> channels;
    };
    const std::vector<Channel> back = {{"front left", 300, 1, 0}, {"front right", 500, 0, 1},
                                       {"centre", 700, G, G},     {"LFE", 60, 0, 0},
                                       {"back left", 1100, G, 0}, {"back right", 1300, 0, G}};
    std::vector<Channel> side = back;
    side[4].name = "side left";
    side[5].name = "side right";
    const Layout layouts[] = {
        {"5.1 as its mask says",
         speaker::FRONT_LEFT | speaker::FRONT_RIGHT | speaker::FRONT_CENTER |
             speaker::LOW_FREQUENCY | speaker::BACK_LEFT | speaker::BACK_RIGHT,
         back},
        {"5.1 without a mask", 0, back},
        {"5.1 with side surrounds", 0x60F, side},
    };
    for (const Layout& layout : layouts) {
        SCOPED_TRACE(layout.name);
        std::vector<float> in(FRAMES * 6);
        for (std::size_t f = 0; f < FRAMES; ++f)
            for (std::size_t c = 0; c < 6; ++c)
                in[f * 6 + c] =
                    A * static_cast<float>(std::sin(2.0 * std::numbers::pi * layout.channels[c].hz *
                                                    static_cast<double>(f) / RATE));
        for (std::uint16_t to : {2, 1}) {
            std::vector<float> out;
            map_channels(in, 6, to, out, layout.mask);
            ASSERT_EQ(out.size(), FRAMES * to);
            for (const Channel& ch : layout.channels) {
                SCOPED_TRACE(ch.name);
                if (to == 2) {
                    EXPECT_NEAR(tone_level(out, 2, 0, ch.hz, RATE), A * ch.to_left, 1e-4);
                    EXPECT_NEAR(tone_level(out, 2, 1, ch.hz, RATE), A * ch.to_right, 1e-4);
                } else {
                    EXPECT_NEAR(tone_level(out, 1, 0, ch.hz, RATE),
                                A * (ch.to_left + ch.to_right) / 2, 1e-4);
                }
            }
        }
    }
    // 7.1 into 5.1: the side pair folds onto the back pair, nothing else moves.
    std::vector<float> out;
    map_channels(std::vector<float>{1, 2, 3, 4, 5, 6, 7, 8}, 8, 6, out);
    EXPECT_EQ(out, (std::vector<float>{1, 2, 3, 4, 5 + 7, 6 + 8}));
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

// Each build of the inner loops against plain arithmetic, on coefficients
// that differ per phase and tap, at steps on both sides of 1.
TEST(StretchKernels, EveryBuildMatchesPlainArithmetic) {
    using namespace stretch;
    std::vector<float> table((PHASES + 1) * TAPS), pairs(2 * table.size());
    for (std::size_t i = 0; i < table.size(); ++i) {
        table[i] = static_cast<float>(std::sin(0.37 * static_cast<double>(i)));
        pairs[2 * i] = pairs[2 * i + 1] = table[i];
    }
    std::vector<float> x(2 * 700);
    for (std::size_t i = 0; i < x.size(); ++i)
        x[i] = static_cast<float>(std::cos(0.011 * static_cast<double>(i * i % 977)));
    const Kernels builds[] = {baseline_kernels(), avx2_kernels()};
    for (const double step : {1.0, 1.004, 0.9951}) {
        for (const std::size_t channels : {1u, 2u}) {
            for (const Kernels& k : builds) {
                const Kernel kernel = channels == 1 ? k.mono : k.stereo;
                if (!kernel)
                    continue;  // this processor has no such build
                SCOPED_TRACE(testing::Message() << "step " << step << ", " << channels << " ch");
                std::vector<float> y(2 * 700, -9.0f);
                const auto fixed = [](double v) {
                    return static_cast<std::uint64_t>(std::ldexp(v, FRACTION_BITS));
                };
                stretch::Run r{x.data(),   y.data(),     650,          fixed(0.3),
                               fixed(step), fixed(600), table.data(), pairs.data()};
                const std::uint64_t start = r.pos;
                const std::size_t made = kernel(r);
                const std::size_t expected_made =
                    static_cast<std::size_t>(std::ceil((600 - 0.3) / step - 1e-9));
                EXPECT_EQ(made, std::min<std::size_t>(650, expected_made));
                for (std::size_t m = 0; m < made; ++m) {
                    const std::uint64_t pos = start + m * fixed(step);
                    const float* h = table.data() + phase_of(pos) * TAPS;
                    const float* in = x.data() + (pos >> FRACTION_BITS) * channels;
                    for (std::size_t ch = 0; ch < channels; ++ch) {
                        double want = 0;
                        for (int t = 0; t < TAPS; ++t)
                            want += static_cast<double>(h[t]) * in[t * channels + ch];
                        ASSERT_NEAR(y[m * channels + ch], want, 1e-5) << "frame " << m;
                    }
                }
                EXPECT_EQ(y[made * channels], -9.0f);  // nothing past the last
            }
        }
    }
}

}  // namespace
}  // namespace kestrune
