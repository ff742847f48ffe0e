#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "controller/after_recording.hpp"
#include "files/finalize.hpp"
#include "files/recpart_writer.hpp"
#include "support/bytes.hpp"
#include "support/temp_dir.hpp"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using test::read_bytes;
using test::write_bytes;

constexpr OutputFormat PCM16_STEREO{44100, 2, 16, false};

TEST(WinSaveAs, TheSameFileInOtherLetterCaseMovesNothing) {
    test::TempDir dir;
    write_bytes(dir / "take.wav", {'a', 'b'});
    for (const bool replace : {true, false}) {
        SCOPED_TRACE(replace);
        const Result<void> r = move_file(dir / "take.wav", dir / "TAKE.WAV", replace);
        ASSERT_TRUE(r.has_value()) << r.error().text;
        EXPECT_EQ(read_bytes(dir / "take.wav"), (std::vector<std::uint8_t>{'a', 'b'}));
    }
    // A different file is still a different file.
    write_bytes(dir / "other.wav", {'o'});
    EXPECT_FALSE(move_file(dir / "take.wav", dir / "other.wav", false).has_value());
}

TEST(WinRepair, APartFinishedAtRollOverStaysTheRecordingsUntilItStops) {
    test::TempDir dir;
    WriterConfig config;
    config.part_limit = 16;
    auto writer = RecpartWriter::create(dir / "rec.recpart", PCM16_STEREO, config);
    ASSERT_TRUE(writer.has_value()) << writer.error().text;
    FileList files;
    const std::vector<float> block(8, 0.25f);  // 16 bytes: rolls over
    ASSERT_TRUE(writer->write_block(block, dir / "rec_part2.recpart", files).has_value());
    ASSERT_EQ(files, FileList{dir / "rec_part2.recpart"});

    const std::vector<RepairResult> results = repair_directory(dir.path());
    ASSERT_EQ(results.size(), 2u);
    for (const RepairResult& r : results)
        EXPECT_TRUE(r.in_use) << r.path.string();

    ASSERT_TRUE(writer->finish().has_value());
    writer->close();
    EXPECT_EQ(finalize_recpart(dir / "rec.recpart"), dir / "rec.wav");
    EXPECT_EQ(finalize_recpart(dir / "rec_part2.recpart"), dir / "rec_part2.wav");
}

}  // namespace
}  // namespace kestrune
