#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "files/peak.hpp"
#include "support/temp_dir.hpp"
#include "support/wav_fixture.hpp"

namespace kestrune {
namespace {

using test::WavDamage;
using test::WavSpec;

constexpr std::int32_t I32_MIN = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t I32_MAX = std::numeric_limits<std::int32_t>::max();
const double NaN = std::numeric_limits<double>::quiet_NaN();

struct PeakCase {
    const char* name;
    WavSpec spec;
    std::vector<std::int32_t> ints;  // used unless spec.is_float
    std::vector<double> floats;
    float peak;
};

TEST(MeasurePeak, LargestMagnitudeRelativeToFullScaleOfTheDeclaredDepth) {
    const WavSpec s8{.bits_per_sample = 8};
    const WavSpec s16{};
    const WavSpec s24{.bits_per_sample = 24};
    const WavSpec s32{.bits_per_sample = 32};
    const WavSpec f32{.bits_per_sample = 32, .is_float = true};
    const PeakCase cases[] = {
        {"8-bit most negative", s8, {5, -128, 3}, {}, 128.0f / 127.0f},
        {"8-bit", s8, {100, -3, 0}, {}, 100.0f / 127.0f},
        {"16-bit most negative", s16, {0, -32768}, {}, 32768.0f / 32767.0f},
        {"16-bit", s16, {-100, 16384, 7}, {}, 16384.0f / 32767.0f},
        {"24-bit", s24, {-8388608, 5}, {}, 8388608.0f / 8388607.0f},
        {"24-bit positive", s24, {0x123456, -0x12345}, {}, 1193046.0f / 8388607.0f},
        {"32-bit most negative is full scale", s32, {I32_MIN, 0}, {}, 1.0f},
        {"32-bit largest", s32, {I32_MAX}, {}, 1.0f},
        {"32-bit small", s32, {-1000, 999}, {}, 1000.0f / 2147483648.0f},
        {"float, NaN ignored", f32, {}, {0.5, NaN, -0.75}, 0.75f},
        {"float above full scale", f32, {}, {1.5, -0.25}, 1.5f},
        {"float all NaN", f32, {}, {NaN, NaN}, 0.0f},
        {"24 valid bits in 32",
         {.bits_per_sample = 32, .extensible = true, .valid_bits = 24},
         {-4194304, 17},
         {},
         4194304.0f / 8388607.0f},
        {"8 valid bits in 16",
         {.bits_per_sample = 16, .extensible = true, .valid_bits = 8},
         {-128, 64},
         {},
         128.0f / 127.0f},
        {"extensible float",
         {.bits_per_sample = 32, .is_float = true, .extensible = true},
         {},
         {0.125, -0.0625},
         0.125f},
        {"three channels",
         {.channels = 3, .extensible = true},
         {1, 2, -300, 4, 5, 6},
         {},
         300.0f / 32767.0f},
        {"all zero", s16, {0, 0, 0, 0}, {}, 0.0f},
        {"no samples", s24, {}, {}, 0.0f},
    };
    test::TempDir dir;
    for (const PeakCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto path = dir / "in.wav";
        if (c.spec.is_float) {
            test::write_float_wav(path, c.spec, c.floats);
        } else {
            test::write_int_wav(path, c.spec, c.ints);
        }
        const std::optional<float> peak = measure_peak(path);
        ASSERT_TRUE(peak.has_value());
        EXPECT_EQ(*peak, c.peak);
    }
}

TEST(MeasurePeak, FileCutShortGivesThePeakOfWhatItHolds) {
    test::TempDir dir;
    const WavSpec spec{.channels = 2};
    // Three frames announced; the last one and half of the one before are cut
    // off, with the largest samples.
    const std::vector<std::int32_t> samples = {100, -200, 150, -20000, 30000, 5};
    const auto path =
        test::write_int_wav(dir / "cut.wav", spec, samples, WavDamage{.cut_bytes = 5});
    EXPECT_EQ(measure_peak(path), 200.0f / 32767.0f);

    const auto lying =
        test::write_int_wav(dir / "lying.wav", spec, {-1234, 5}, WavDamage{.data_size = 4000000});
    EXPECT_EQ(measure_peak(lying), 1234.0f / 32767.0f);
}

TEST(MeasurePeak, NothingForFilesItCannotMeasure) {
    test::TempDir dir;
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
    };
    const auto text = [](std::string_view s) {
        std::vector<std::uint8_t> b;
        for (char c : s)
            b.push_back(static_cast<std::uint8_t>(c));
        return b;
    };
    const Case cases[] = {
        {"not a WAV file", text("This is not audio, just some text that is long enough.")},
        {"empty file", {}},
        {"RIFF without WAVE", text("RIFF\x20\0\0\0AVI LIST\0\0\0\0")},
        {"20 valid bits in 24",
         test::int_wav_bytes({.bits_per_sample = 24, .extensible = true, .valid_bits = 20},
                             {1, 2})},
        {"20-bit PCM", test::int_wav_bytes({.bits_per_sample = 20}, {1, 2})},
        {"12-bit PCM", test::int_wav_bytes({.bits_per_sample = 12}, {1, 2})},
        {"A-law", test::int_wav_bytes({.bits_per_sample = 8, .format_tag = 0x0006}, {1, 2})},
        {"64-bit float", test::float_wav_bytes({.bits_per_sample = 64, .is_float = true}, {0.5})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto path = dir / "bad.wav";
        test::write_bytes(path, c.bytes);
        EXPECT_EQ(measure_peak(path), std::nullopt);
    }
    EXPECT_EQ(measure_peak(dir / "missing.wav"), std::nullopt);
}

}  // namespace
}  // namespace kestrune
