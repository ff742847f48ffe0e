#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cli/console_repair.hpp"
#include "files/finalize.hpp"
#include "io/file.hpp"
#include "files/recpart_writer.hpp"
#include "support/bytes.hpp"
#include "support/recpart_fixture.hpp"
#include "support/temp_dir.hpp"
#include "text/path_text.hpp"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using test::crashed_recpart;
using test::le32;
using test::read_bytes;
using test::write_bytes;

constexpr OutputFormat PCM16_STEREO{44100, 2, 16, false};

class RecordingConsole final : public ConsoleOutput {
public:
    std::string out, err;
    void write_out(std::string_view text) override { out += text; }
    void write_err(std::string_view text) override { err += text; }
};

TEST(WinReplaceFile, ReplacesAnExistingTargetInOneStep) {
    test::TempDir dir;
    write_bytes(dir / "x.recpart", {'n', 'e', 'w'});
    write_bytes(dir / "x.wav", {'o', 'l', 'd', '!'});
    const Result<void> r = replace_file(dir / "x.recpart", dir / "x.wav");
    ASSERT_TRUE(r.has_value()) << r.error().text;
    EXPECT_EQ(read_bytes(dir / "x.wav"), (std::vector<std::uint8_t>{'n', 'e', 'w'}));
    EXPECT_FALSE(fs::exists(dir / "x.recpart"));
}

TEST(WinFinalize, CrashedRecpartBecomesAWav) {
    test::TempDir dir;
    write_bytes(dir / "x.recpart", crashed_recpart(PCM16_STEREO, 10'002));
    write_bytes(dir / "x.wav", {'k'});
    const Result<fs::path> r = finalize_recpart(dir / "x.recpart");
    ASSERT_TRUE(r.has_value()) << r.error().text;
    EXPECT_EQ(*r, dir / "x_1.wav");
    const auto b = read_bytes(*r);
    ASSERT_EQ(b.size(), 10'046u);
    EXPECT_EQ(le32(b, 4), 10'036u);
    EXPECT_EQ(le32(b, 40), 10'000u);
    EXPECT_EQ(read_bytes(dir / "x.wav"), (std::vector<std::uint8_t>{'k'}));
}

TEST(WinRepair, FileStillBeingRecordedIsLeftAlone) {
    test::TempDir dir;
    write_bytes(dir / "old.recpart", crashed_recpart(PCM16_STEREO, 8));
    FileList files;
    auto writer = RecpartWriter::create(dir / "live.recpart", PCM16_STEREO);
    ASSERT_TRUE(writer.has_value()) << writer.error().text;
    const std::vector<float> block(6000, 0.25f);  // more than the buffer holds
    ASSERT_TRUE(writer->write_block(block, dir / "live_part2.recpart", files).has_value());
    ASSERT_TRUE(writer->flush().has_value());
    const auto before = read_bytes(dir / "live.recpart");
    ASSERT_EQ(before.size(), 44u + 12'000u);

    const std::vector<RepairResult> results = repair_directory(dir.path());

    ASSERT_EQ(results.size(), 2u);
    for (const RepairResult& r : results) {
        if (r.path.filename() == "live.recpart") {
            // Passed by, not failed: the sharing rules tell a live file.
            EXPECT_TRUE(r.in_use);
            EXPECT_FALSE(r.outcome.has_value());
        } else {
            ASSERT_TRUE(r.outcome.has_value()) << r.outcome.error().text;
            EXPECT_EQ(*r.outcome, dir / "old.wav");
        }
    }
    EXPECT_EQ(read_bytes(dir / "live.recpart"), before);
    EXPECT_FALSE(fs::exists(dir / "live.wav"));

    // The writer carries on as if nothing had happened.
    ASSERT_TRUE(writer->write_block(block, dir / "live_part2.recpart", files).has_value());
    ASSERT_TRUE(writer->finish().has_value());
    writer->close();
    EXPECT_EQ(le32(read_bytes(dir / "live.recpart"), 40), 24'000u);
}

TEST(WinRepair, NonAsciiNamesRoundTrip) {
    test::TempDir dir;
    // Folder "Aufnahmen ü 日本", file "Take ☕ 😀.recpart".
    const std::string folder_utf8 = "Aufnahmen \xC3\xBC \xE6\x97\xA5\xE6\x9C\xAC";
    const std::string stem_utf8 = "Take \xE2\x98\x95 \xF0\x9F\x98\x80";
    const fs::path folder = dir / path_from_utf8(folder_utf8);
    ASSERT_TRUE(fs::create_directory(folder));
    write_bytes(folder / path_from_utf8(stem_utf8 + ".recpart"), crashed_recpart(PCM16_STEREO, 4));

    RecordingConsole console;
    run_console_repair(folder, console);

    const std::string shown = path_display(dir.path()) + "\\" + folder_utf8 + "\\" + stem_utf8;
    EXPECT_EQ(console.out, "Repaired: " + shown + ".recpart -> " + shown + ".wav\n");
    EXPECT_EQ(console.err, "");
    EXPECT_EQ(read_bytes(folder / path_from_utf8(stem_utf8 + ".wav")).size(), 48u);
}

// (The read-only attribute is not tested here: wine run as root ignores it.)
TEST(WinRepair, DirectoryNamedRecpartFailsUntouched) {
    test::TempDir dir;
    ASSERT_TRUE(fs::create_directory(dir / "folder.recpart"));
    write_bytes(dir / "folder.recpart" / "inner.recpart", crashed_recpart(PCM16_STEREO, 4));

    const std::vector<RepairResult> results = repair_directory(dir.path());

    ASSERT_EQ(results.size(), 1u);
    ASSERT_FALSE(results[0].outcome.has_value());
    EXPECT_EQ(results[0].outcome.error().kind, ErrorKind::PermissionDenied)
        << results[0].outcome.error().text;
    EXPECT_TRUE(fs::is_directory(dir / "folder.recpart"));
    EXPECT_TRUE(fs::exists(dir / "folder.recpart" / "inner.recpart"));
    EXPECT_FALSE(fs::exists(dir / "folder.wav"));
}

}  // namespace
}  // namespace kestrune
