#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "common/unique_handle.hpp"
#include "files/normalize.hpp"
#include "files/peak.hpp"
#include "io/file.hpp"
#include "support/temp_dir.hpp"
#include "support/wav_fixture.hpp"
#include "text/path_text.hpp"

namespace kestrune {
namespace {

// A name no ANSI code page holds, so that only UTF-16 file calls find it.
const char* const NAME = "Aufnahme \xC3\xA4\xC3\xB6 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x8E\xA7.wav";

TEST(NormalizeWin, UnicodeNameIsMeasuredAndReplacedInPlace) {
    test::TempDir dir;
    const std::filesystem::path path = dir.path() / path_from_utf8(NAME);
    test::write_int_wav(path, {.channels = 2, .bits_per_sample = 24}, {4194304, -3, 1000000, 0});
    ASSERT_TRUE(std::filesystem::exists(path));

    EXPECT_EQ(measure_peak(path), 4194304.0f / 8388607.0f);
    const Result<NormalizeOutcome> r = normalize_file(path);
    ASSERT_TRUE(r.has_value()) << r.error().text;
    EXPECT_EQ(*r, NormalizeOutcome::Normalized);

    const auto w = test::read_wav(path);
    ASSERT_TRUE(w.has_value());
    EXPECT_EQ(w->format_tag, test::WAVE_TAG_EXTENSIBLE);
    EXPECT_EQ(w->ints, (std::vector<std::int32_t>{8388607, -5, 1999999, 0}));
    std::filesystem::path temp = path;
    temp.replace_extension("wav.tmp");
    EXPECT_FALSE(std::filesystem::exists(temp));
    EXPECT_EQ(measure_peak(path), 1.0f);
}

TEST(NormalizeWin, FileHeldOpenByAWriterIsNotReplaced) {
    test::TempDir dir;
    const std::filesystem::path path = dir.path() / path_from_utf8(NAME);
    test::write_int_wav(path, {}, {100, -50});
    const std::vector<std::uint8_t> before = test::read_bytes(path);
    // Another program writing the file shares it for reading only: the move
    // over it must fail and leave it whole.
    win::UniqueFileHandle writer(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                               nullptr));
    ASSERT_TRUE(writer);
    const Result<NormalizeOutcome> r = normalize_file(path);
    writer.reset();
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(test::read_bytes(path), before);
    std::filesystem::path temp = path;
    temp.replace_extension("wav.tmp");
    // Refused at the final move (sharing violation or access denied, as the
    // system words it); the complete copy does not stay behind.
    EXPECT_FALSE(std::filesystem::exists(temp)) << r.error().text;
}

TEST(NormalizeWin, ReadOnlyFileIsRefusedBeforeTheCopy) {
    test::TempDir dir;
    const std::filesystem::path path = dir.path() / path_from_utf8(NAME);
    test::write_int_wav(path, {}, {100, -50});
    const std::vector<std::uint8_t> before = test::read_bytes(path);
    std::filesystem::permissions(path,
                                 std::filesystem::perms::owner_write |
                                     std::filesystem::perms::group_write |
                                     std::filesystem::perms::others_write,
                                 std::filesystem::perm_options::remove);
    ASSERT_NE(::GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    const Result<NormalizeOutcome> r = normalize_file(path);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, ErrorKind::PermissionDenied);
    EXPECT_EQ(test::read_bytes(path), before);
    std::filesystem::path temp = path;
    temp.replace_extension("wav.tmp");
    EXPECT_FALSE(std::filesystem::exists(temp));
}

}  // namespace
}  // namespace kestrune
