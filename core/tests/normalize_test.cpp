#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "files/normalize.hpp"
#include "files/normalize_ops.hpp"
#include "files/peak.hpp"
#include "support/temp_dir.hpp"
#include "support/wav_fixture.hpp"

namespace kestrune {
namespace {

using test::WavContents;
using test::WavDamage;
using test::WavSpec;

const double NaN = std::numeric_limits<double>::quiet_NaN();

std::filesystem::path temp_of(const std::filesystem::path& p) {
    std::filesystem::path t = p;
    t.replace_extension("wav.tmp");
    return t;
}

struct RewriteCase {
    const char* name;
    WavSpec spec;
    std::vector<std::int32_t> in;
    std::vector<std::int32_t> out;
    std::uint16_t out_bits;  // the rewritten file's container
    bool extensible_out;
};

// Expected values follow y = trunc(clamp((s / fs) * g, -1, 1) * fs) in single
// precision with g = 1 / peak; a different order of operations, rounding
// instead of truncation, or a missing saturation changes at least one of them.
TEST(NormalizeFile, RewritesIntegerSamplesAtTheirDepth) {
    const RewriteCase cases[] = {
        {"16-bit, largest sample 16384",
         {},
         {16384, -16384, 8192, 1000, -1, 1, 0, 12345},
         {32767, -32767, 16383, 1999, -1, 1, 0, 24689},
         16,
         false},
        {"8-bit containing -128",
         {.bits_per_sample = 8},
         {-128, 127, 64, -1, 0, 1},
         {-127, 126, 63, 0, 0, 0},
         8,
         false},
        {"8-bit whose peak 100 ends next to full scale",
         {.bits_per_sample = 8},
         {100, -100, 50, 7, -1},
         {126, -126, 63, 8, -1},
         8,
         false},
        {"24-bit",
         {.bits_per_sample = 24},
         {4194304, -4194304, 1000000, -3, 2097152},
         {8388607, -8388607, 1999999, -5, 4194303},
         24,
         true},
        {"32-bit saturates above 2,147,483,520",
         {.bits_per_sample = 32},
         {1073741824, -1073741824, 536870912, 123456789, -1, 1073741760},
         {2147483647, -2147483648, 1073741824, 246913584, -2, 2147483520},
         32,
         true},
        {"24 valid bits in 32 come out as 24-bit",
         {.bits_per_sample = 32, .extensible = true, .valid_bits = 24},
         {4194304, -2, 3},
         {8388607, -3, 5},
         24,
         true},
        {"stereo 16-bit",
         {.channels = 2, .sample_rate = 44100},
         {100, -200, 16384, 5},
         {199, -399, 32767, 9},
         16,
         false},
    };
    test::TempDir dir;
    for (const RewriteCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto path = test::write_int_wav(dir / "take.wav", c.spec, c.in);
        const Result<NormalizeOutcome> r = normalize_file(path);
        ASSERT_TRUE(r.has_value()) << r.error().text;
        EXPECT_EQ(*r, NormalizeOutcome::Normalized);
        const std::optional<WavContents> w = test::read_wav(path);
        ASSERT_TRUE(w.has_value());
        EXPECT_EQ(w->sub_format_tag, test::WAVE_TAG_PCM);
        EXPECT_EQ(w->format_tag == test::WAVE_TAG_EXTENSIBLE, c.extensible_out);
        EXPECT_EQ(w->channels, c.spec.channels);
        EXPECT_EQ(w->sample_rate, c.spec.sample_rate);
        EXPECT_EQ(w->bits_per_sample, c.out_bits);
        EXPECT_EQ(w->valid_bits, c.out_bits);
        EXPECT_EQ(w->ints, c.out);
        EXPECT_FALSE(std::filesystem::exists(temp_of(path)));
    }
}

TEST(NormalizeFile, RewritesFloatSamplesClampedAndKeepsNaN) {
    test::TempDir dir;
    const WavSpec spec{.channels = 2, .bits_per_sample = 32, .is_float = true};
    const auto path =
        test::write_float_wav(dir / "f.wav", spec, {-0.25, 0.1, 0.2, 0.0, NaN, 0.125});
    const Result<NormalizeOutcome> r = normalize_file(path);
    ASSERT_TRUE(r.has_value()) << r.error().text;
    EXPECT_EQ(*r, NormalizeOutcome::Normalized);
    const std::optional<WavContents> w = test::read_wav(path);
    ASSERT_TRUE(w.has_value());
    EXPECT_EQ(w->format_tag, test::WAVE_TAG_EXTENSIBLE);
    EXPECT_EQ(w->sub_format_tag, test::WAVE_TAG_FLOAT);
    EXPECT_EQ(w->bits_per_sample, 32);
    ASSERT_EQ(w->floats.size(), 6u);
    EXPECT_EQ(w->floats[0], -1.0f);
    EXPECT_EQ(w->floats[1], 0.4f);
    EXPECT_EQ(w->floats[2], 0.8f);
    EXPECT_EQ(w->floats[3], 0.0f);
    EXPECT_TRUE(std::isnan(w->floats[4]));
    EXPECT_EQ(w->floats[5], 0.5f);
}

TEST(NormalizeFile, KeepsEverySampleAcrossBlocks) {
    // A period that does not divide the block size, over several blocks.
    const std::vector<std::int32_t> in = {16384, -16384, 8192, 1000, -1, 1, 12345};
    const std::vector<std::int32_t> out = {32767, -32767, 16383, 1999, -1, 1, 24689};
    std::vector<std::int32_t> samples, expected;
    for (int i = 0; i < 60000; ++i) {
        samples.insert(samples.end(), in.begin(), in.end());
        expected.insert(expected.end(), out.begin(), out.end());
    }
    test::TempDir dir;
    const auto path = test::write_int_wav(dir / "long.wav", {.channels = 1}, samples);
    const Result<NormalizeOutcome> r = normalize_file(path);
    ASSERT_TRUE(r.has_value()) << r.error().text;
    const std::optional<WavContents> w = test::read_wav(path);
    ASSERT_TRUE(w.has_value());
    EXPECT_TRUE(w->ints == expected);
}

TEST(NormalizeFile, ThresholdsForSilentAndAlreadyAtPeak) {
    struct Case {
        const char* name;
        WavSpec spec;
        std::vector<std::int32_t> ints;
        std::vector<double> floats;
        NormalizeOutcome outcome;
    };
    const WavSpec s16{};
    const WavSpec s32{.bits_per_sample = 32};
    const WavSpec f32{.bits_per_sample = 32, .is_float = true};
    const Case cases[] = {
        {"16-bit at 32767", s16, {32767, -5}, {}, NormalizeOutcome::Unchanged},
        {"16-bit at 32767 - 17", s16, {32750, -5}, {}, NormalizeOutcome::Unchanged},
        {"16-bit at 32767 - 67", s16, {-32700, 5}, {}, NormalizeOutcome::Normalized},
        {"8-bit with -128 is over the peak by more than 0.001",
         {.bits_per_sample = 8},
         {-128, 3},
         {},
         NormalizeOutcome::Normalized},
        {"32-bit most negative",
         s32,
         {std::numeric_limits<std::int32_t>::min(), 7},
         {},
         NormalizeOutcome::Unchanged},
        {"32-bit just below 1e-6", s32, {2147, -2}, {}, NormalizeOutcome::Unchanged},
        {"32-bit just above 1e-6", s32, {-2148, 2}, {}, NormalizeOutcome::Normalized},
        {"float just below 1e-6", f32, {}, {0.0000009}, NormalizeOutcome::Unchanged},
        {"float just above 1e-6", f32, {}, {-0.0000011}, NormalizeOutcome::Normalized},
        {"float 0.9991", f32, {}, {0.9991}, NormalizeOutcome::Unchanged},
        {"float 0.9989", f32, {}, {0.9989}, NormalizeOutcome::Normalized},
        {"float 1.0009", f32, {}, {-1.0009}, NormalizeOutcome::Unchanged},
        {"float 1.0011", f32, {}, {1.0011, 0.5}, NormalizeOutcome::Normalized},
        {"all zero", s16, {0, 0, 0}, {}, NormalizeOutcome::Unchanged},
        {"no samples", s16, {}, {}, NormalizeOutcome::Unchanged},
        {"float infinity",
         f32,
         {},
         {std::numeric_limits<double>::infinity(), 0.5},
         NormalizeOutcome::Unchanged},
    };
    test::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto path = dir / "t.wav";
        if (c.spec.is_float) {
            test::write_float_wav(path, c.spec, c.floats);
        } else {
            test::write_int_wav(path, c.spec, c.ints);
        }
        const std::vector<std::uint8_t> before = test::read_bytes(path);
        const Result<NormalizeOutcome> r = normalize_file(path);
        ASSERT_TRUE(r.has_value()) << r.error().text;
        EXPECT_EQ(*r, c.outcome);
        if (c.outcome == NormalizeOutcome::Unchanged) {
            EXPECT_EQ(test::read_bytes(path), before);
            EXPECT_FALSE(std::filesystem::exists(temp_of(path)));
        } else {
            EXPECT_NE(test::read_bytes(path), before);
        }
    }
}

TEST(NormalizeFile, AFloatPeakOverFullScaleIsScaledDown) {
    test::TempDir dir;
    const auto path = test::write_float_wav(
        dir / "hot.wav", {.bits_per_sample = 32, .is_float = true}, {2.0, -1.0, 0.5});
    ASSERT_EQ(normalize_file(path), NormalizeOutcome::Normalized);
    const auto w = test::read_wav(path);
    ASSERT_TRUE(w.has_value());
    EXPECT_EQ(w->floats, (std::vector<float>{1.0f, -0.5f, 0.25f}));
}

std::vector<std::uint8_t> text_bytes(std::string_view s) {
    std::vector<std::uint8_t> b;
    for (char c : s)
        b.push_back(static_cast<std::uint8_t>(c));
    return b;
}

TEST(NormalizeFile, FailuresLeaveTheInputAsItWas) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        std::string text;  // empty: the library's own words, whatever they are
        ErrorKind kind;
    };
    const std::vector<std::int32_t> loud = {1000, -2000, 3000, 4};
    const Case cases[] = {
        {"not a WAV file", text_bytes("Certainly not a sound file, only some words of text."), "",
         ErrorKind::InvalidData},
        {"empty file", {}, "", ErrorKind::InvalidData},
        {"20 valid bits in 24",
         test::int_wav_bytes({.bits_per_sample = 24, .extensible = true, .valid_bits = 20}, loud),
         "Unsupported bit depth: 20", ErrorKind::InvalidData},
        {"20-bit PCM", test::int_wav_bytes({.bits_per_sample = 20}, loud),
         "Unsupported bit depth: 20", ErrorKind::InvalidData},
        {"4-bit PCM", test::int_wav_bytes({.bits_per_sample = 4}, {}), "Unsupported bit depth: 4",
         ErrorKind::InvalidData},
        {"A-law", test::int_wav_bytes({.bits_per_sample = 8, .format_tag = 0x0006}, {1, 2}),
         "Unsupported sample format", ErrorKind::InvalidData},
        {"64-bit float", test::float_wav_bytes({.bits_per_sample = 64, .is_float = true}, {0.5}),
         "Unsupported sample format", ErrorKind::InvalidData},
        {"cut short after a full-size header",
         test::int_wav_bytes({.channels = 2}, loud, WavDamage{.cut_bytes = 3}),
         "failed to fill whole buffer", ErrorKind::InvalidData},
        {"header announces more than the file holds",
         test::int_wav_bytes({}, loud, WavDamage{.data_size = 1000}), "failed to fill whole buffer",
         ErrorKind::InvalidData},
    };
    test::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto path = dir / "bad.wav";
        test::write_bytes(path, c.bytes);
        const Result<NormalizeOutcome> r = normalize_file(path);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().kind, c.kind);
        if (c.text.empty()) {
            EXPECT_FALSE(r.error().text.empty());
        } else {
            EXPECT_EQ(r.error().text, c.text);
        }
        EXPECT_EQ(test::read_bytes(path), c.bytes);
        EXPECT_FALSE(std::filesystem::exists(temp_of(path)));
    }

    const Result<NormalizeOutcome> missing = normalize_file(dir / "missing.wav");
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error().kind, ErrorKind::NotFound);
}

TEST(NormalizeFile, EveryCutThroughTheHeadersIsRefused) {
    const std::vector<std::uint8_t> whole =
        test::int_wav_bytes({.bits_per_sample = 24, .extensible = true}, {1000, -2000, 3000});
    const std::size_t headers = whole.size() - 9;
    test::TempDir dir;
    const auto path = dir / "cut.wav";
    for (std::size_t n = 0; n < headers; ++n) {
        SCOPED_TRACE(n);
        const std::vector<std::uint8_t> bytes(whole.begin(), whole.begin() + n);
        test::write_bytes(path, bytes);
        EXPECT_EQ(measure_peak(path).value_or(0.0f), 0.0f);
        EXPECT_FALSE(normalize_file(path).has_value());
        EXPECT_EQ(test::read_bytes(path), bytes);
    }
}

TEST(NormalizeFile, RefusesAFileWhoseDataSizeLeavesAudioOut) {
    // Samples 0..3 described, then more audio the size does not count (a
    // header rewritten before the recording ended, or capped at 4 GiB).
    const std::vector<std::int32_t> samples = {1000, -2000, 3000, -4000, 16000, -16000};
    struct Case {
        const char* name;
        std::vector<std::uint8_t> tail;  // appended after the data chunk
        std::optional<std::uint32_t> data_size;
        bool refused;
    };
    const std::vector<std::uint8_t> list_chunk = {'L', 'I', 'S', 'T', 4,   0,
                                                  0,   0,   'I', 'N', 'F', 'O'};
    const Case cases[] = {
        {"size short of the audio", {}, 8, true},
        {"size over the file (capped, or cut)", {}, 0xFFFFFFFF, true},
        {"a chunk after the data", list_chunk, std::nullopt, false},
        {"a cut last frame", {0x12}, std::nullopt, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        std::vector<std::uint8_t> bytes =
            test::int_wav_bytes({}, samples, {.cut_bytes = 0, .data_size = c.data_size});
        bytes.insert(bytes.end(), c.tail.begin(), c.tail.end());
        test::write_bytes(dir / "take.wav", bytes);
        const Result<NormalizeOutcome> r = normalize_file(dir / "take.wav");
        EXPECT_EQ(r.has_value(), !c.refused) << (r ? "" : r.error().text);
        if (c.refused) {
            EXPECT_EQ(test::read_bytes(dir / "take.wav"), bytes);
        }
        EXPECT_FALSE(std::filesystem::exists(temp_of(dir / "take.wav")));
    }
}

TEST(NormalizeFile, ReadOnlyFileIsRefusedBeforeAnythingIsWritten) {
    test::TempDir dir;
    const auto path = test::write_int_wav(dir / "ro.wav", {}, {100, -50});
    const std::vector<std::uint8_t> before = test::read_bytes(path);
    std::filesystem::permissions(path, std::filesystem::perms::owner_read |
                                           std::filesystem::perms::group_read |
                                           std::filesystem::perms::others_read);
    const Result<NormalizeOutcome> r = normalize_file(path);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, ErrorKind::PermissionDenied);
    EXPECT_EQ(test::read_bytes(path), before);
    EXPECT_FALSE(std::filesystem::exists(temp_of(path)));
}

TEST(NormalizeFile, TemporaryFileThatCannotBeCreatedLeavesTheInputAlone) {
    test::TempDir dir;
    const auto path = test::write_int_wav(dir / "take.wav", {}, {100, -50});
    const std::vector<std::uint8_t> before = test::read_bytes(path);
    std::filesystem::create_directory(temp_of(path));
    const Result<NormalizeOutcome> r = normalize_file(path);
    ASSERT_FALSE(r.has_value());
    EXPECT_FALSE(r.error().text.empty());
    EXPECT_EQ(test::read_bytes(path), before);
}

TEST(NormalizeFile, ReusesALeftoverTemporaryFile) {
    test::TempDir dir;
    const auto path = test::write_int_wav(dir / "take.wav", {}, {16384, -8192});
    test::write_bytes(temp_of(path), std::vector<std::uint8_t>(100000, 0x5A));
    ASSERT_EQ(normalize_file(path), NormalizeOutcome::Normalized);
    const auto w = test::read_wav(path);
    ASSERT_TRUE(w.has_value());
    EXPECT_EQ(w->ints, (std::vector<std::int32_t>{32767, -16383}));
    EXPECT_EQ(std::filesystem::file_size(path), 44u + 4u);
    EXPECT_FALSE(std::filesystem::exists(temp_of(path)));
}

// A file that fails on demand: after a number of bytes written or read, at
// the sync, or at close.
class FaultyFile final : public File {
public:
    FaultyFile(FilePtr inner, std::optional<std::uint64_t> write_budget,
               std::optional<std::uint64_t> read_budget, bool fail_close, bool fail_sync = false)
        : inner_(std::move(inner)),
          write_budget_(write_budget),
          read_budget_(read_budget),
          fail_close_(fail_close),
          fail_sync_(fail_sync) {}

    Result<std::size_t> write_some(std::span<const std::byte> data) override {
        if (write_budget_) {
            if (*write_budget_ == 0)
                return injected();
            data = data.first(std::min<std::uint64_t>(data.size(), *write_budget_));
        }
        Result<std::size_t> n = inner_->write_some(data);
        if (n && write_budget_)
            *write_budget_ -= *n;
        return n;
    }
    Result<std::size_t> read_some(std::span<std::byte> out) override {
        if (read_budget_) {
            if (*read_budget_ == 0)
                return injected();
            out = out.first(std::min<std::uint64_t>(out.size(), *read_budget_));
        }
        Result<std::size_t> n = inner_->read_some(out);
        if (n && read_budget_)
            *read_budget_ -= *n;
        return n;
    }
    Result<void> seek(std::uint64_t offset) override { return inner_->seek(offset); }
    Result<std::uint64_t> length() override { return inner_->length(); }
    Result<void> sync() override {
        if (fail_sync_)
            return injected();
        return inner_->sync();
    }
    Result<void> close() override {
        Result<void> r = inner_->close();
        if (fail_close_)
            return injected();
        return r;
    }

    static std::unexpected<Error> injected() { return fail(ErrorKind::Other, "injected fault"); }

private:
    FilePtr inner_;
    std::optional<std::uint64_t> write_budget_;
    std::optional<std::uint64_t> read_budget_;
    bool fail_close_;
    bool fail_sync_;
};

struct Faults {
    std::optional<std::uint64_t> temp_write_budget = std::nullopt;
    std::optional<std::uint64_t> input_read_budget = std::nullopt;
    bool temp_close_fails = false;
    bool temp_sync_fails = false;
    bool replace_fails = false;
};

FileOps faulty_ops(const Faults& faults, std::vector<std::filesystem::path>* created = nullptr) {
    FileOps ops;
    ops.open = [=](const std::filesystem::path& p, OpenMode mode) -> Result<FilePtr> {
        Result<FilePtr> f = open_file(p, mode);
        if (!f)
            return f;
        if (mode == OpenMode::CreateTruncate) {
            if (created)
                created->push_back(p);
            return std::make_unique<FaultyFile>(std::move(*f), faults.temp_write_budget,
                                                std::nullopt, faults.temp_close_fails,
                                                faults.temp_sync_fails);
        }
        return std::make_unique<FaultyFile>(std::move(*f), std::nullopt, faults.input_read_budget,
                                            false);
    };
    ops.replace = [=](const std::filesystem::path& from, const std::filesystem::path& to) {
        if (faults.replace_fails)
            return Result<void>(FaultyFile::injected());
        return replace_file(from, to);
    };
    return ops;
}

TEST(NormalizeFile, IoFailuresAtEveryStepLeaveTheInputAsItWas) {
    // Several blocks of 16-bit stereo, so that reads and writes come in pieces.
    std::vector<std::int32_t> samples(400000);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int32_t>(i % 2001) - 1000;
    const std::uint64_t data_bytes = samples.size() * 2;
    const std::uint64_t file_bytes = 44 + data_bytes;
    struct Case {
        const char* name;
        Faults faults;
    };
    const Case cases[] = {
        {"temporary file takes no header", {.temp_write_budget = 0}},
        {"temporary file full in the middle", {.temp_write_budget = 300001}},
        {"header cannot be completed", {.temp_write_budget = file_bytes}},
        {"temporary file cannot be closed", {.temp_close_fails = true}},
        // Replacing the original before the copy is on the disk could leave
        // zeros in its place after a power cut.
        {"temporary file cannot reach the disk", {.temp_sync_fails = true}},
        {"final move fails", {.replace_fails = true}},
        {"input unreadable while measuring", {.input_read_budget = 500000}},
        {"input unreadable while rewriting", {.input_read_budget = file_bytes + 300000}},
    };
    test::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto path = test::write_int_wav(dir / "take.wav", {.channels = 2}, samples);
        std::filesystem::remove(temp_of(path));
        const std::vector<std::uint8_t> before = test::read_bytes(path);
        const Result<NormalizeOutcome> r = normalize_file(path, faulty_ops(c.faults));
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().text, "injected fault");
        EXPECT_TRUE(test::read_bytes(path) == before);
        EXPECT_FALSE(std::filesystem::exists(temp_of(path))) << "no temporary file stays";
    }
}

TEST(NormalizeFile, TemporaryFileNameReplacesTheExtension) {
    const std::pair<const char*, const char*> cases[] = {
        {"take.wav", "take.wav.tmp"},
        {"take", "take.wav.tmp"},
        {"take.WAV", "take.wav.tmp"},
        {"take.one.wav", "take.one.wav.tmp"},
    };
    test::TempDir dir;
    for (const auto& [name, temp] : cases) {
        SCOPED_TRACE(name);
        const auto path = test::write_int_wav(dir / name, {}, {100, -50});
        std::vector<std::filesystem::path> created;
        ASSERT_EQ(normalize_file(path, faulty_ops({}, &created)), NormalizeOutcome::Normalized);
        EXPECT_EQ(created, std::vector<std::filesystem::path>{dir / temp});
        const auto w = test::read_wav(path);
        ASSERT_TRUE(w.has_value());
        EXPECT_EQ(w->ints, (std::vector<std::int32_t>{32767, -16383}));
    }
}

}  // namespace
}  // namespace kestrune
