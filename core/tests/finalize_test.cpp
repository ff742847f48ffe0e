#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "files/finalize.hpp"
#include "files/recpart_writer.hpp"
#include "support/bytes.hpp"
#include "support/recpart_fixture.hpp"
#include "support/temp_dir.hpp"
#include "support/unprivileged.hpp"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using test::crashed_recpart;
using test::le16;
using test::le32;
using test::read_bytes;
using test::write_bytes;

constexpr OutputFormat PCM16_STEREO{44100, 2, 16, false};
constexpr OutputFormat PCM24_MONO{48000, 1, 24, false};
constexpr OutputFormat FLOAT_STEREO{48000, 2, 32, true};

void put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    for (std::size_t k = 0; k < 4; ++k)
        b[at + k] = static_cast<std::uint8_t>(v >> (8 * k));
}

TEST(FinalizeRecpart, RecomputesSizesFromLengthAndMovesToWav) {
    struct Case {
        const char* name;
        OutputFormat format;
        std::size_t data_bytes;
        std::uint32_t data_size;
        std::uint32_t riff_size;
        std::uint32_t fact_frames;  // float only
    };
    const Case cases[] = {
        // Cut off mid-frame: the data size counts whole frames only, and the
        // cut frame's bytes stay in the file.
        {"16-bit stereo, cut frame", PCM16_STEREO, 10'002, 10'000, 10'036, 0},
        {"24-bit mono, cut sample", PCM24_MONO, 3 * 1000 + 2, 3'000, 3'036, 0},
        {"float stereo, cut frame", FLOAT_STEREO, 803, 800, 850, 100},
        {"float stereo, whole frames", FLOAT_STEREO, 800, 800, 850, 100},
        {"float, header only", FLOAT_STEREO, 0, 0, 50, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        const auto original = crashed_recpart(c.format, c.data_bytes);
        write_bytes(dir / "take.recpart", original);

        const Result<fs::path> wav = finalize_recpart(dir / "take.recpart");
        ASSERT_TRUE(wav.has_value()) << wav.error().text;
        EXPECT_EQ(*wav, dir / "take.wav");
        EXPECT_FALSE(fs::exists(dir / "take.recpart"));

        const auto b = read_bytes(dir / "take.wav");
        const std::size_t header = c.format.is_float ? 58 : 44;
        ASSERT_EQ(b.size(), original.size());
        EXPECT_EQ(le32(b, 4), c.riff_size);
        EXPECT_EQ(le32(b, header - 4), c.data_size);
        if (c.format.is_float) {
            EXPECT_EQ(le32(b, 46), c.fact_frames);
        }
        // Everything but the size fields is as the writer left it.
        auto expected = original;
        put32(expected, 4, c.riff_size);
        put32(expected, header - 4, c.data_size);
        if (c.format.is_float)
            put32(expected, 46, c.fact_frames);
        EXPECT_EQ(b, expected);
    }
}

TEST(FinalizeRecpart, HeaderFieldsAreRebuiltNotCopied) {
    // A finished file whose stale fields disagree with its format: byte rate,
    // block align and fmt size come from rate, channels and bits alone.
    test::TempDir dir;
    auto bytes = crashed_recpart(PCM16_STEREO, 8);
    for (std::size_t at : {4, 16, 28, 32, 40})
        bytes[at] = 0x5A;
    write_bytes(dir / "x.recpart", bytes);
    ASSERT_TRUE(finalize_recpart(dir / "x.recpart").has_value());
    const auto b = read_bytes(dir / "x.wav");
    EXPECT_EQ(le32(b, 4), 44u);
    EXPECT_EQ(le32(b, 16), 16u);
    EXPECT_EQ(le16(b, 20), 1u);
    EXPECT_EQ(le32(b, 28), 44100u * 4);
    EXPECT_EQ(le16(b, 32), 4u);
    EXPECT_EQ(le32(b, 40), 8u);
}

TEST(FinalizeRecpart, ShortValidStartIsExtendedToAWholeHeader) {
    test::TempDir dir;
    auto bytes = crashed_recpart(PCM16_STEREO, 0);
    bytes.resize(40);
    write_bytes(dir / "x.recpart", bytes);
    ASSERT_TRUE(finalize_recpart(dir / "x.recpart").has_value());
    const auto b = read_bytes(dir / "x.wav");
    ASSERT_EQ(b.size(), 44u);
    EXPECT_EQ(le32(b, 4), 36u);
    EXPECT_EQ(le32(b, 40), 0u);
}

TEST(FinalizeRecpart, FinishedFileKeepsItsBytes) {
    test::TempDir dir;
    auto bytes = crashed_recpart(PCM16_STEREO, 400);
    bytes[4] = 0xB4;  // 436
    bytes[5] = 0x01;
    bytes[40] = 0x90;  // 400
    bytes[41] = 0x01;
    write_bytes(dir / "x.recpart", bytes);
    ASSERT_TRUE(finalize_recpart(dir / "x.recpart").has_value());
    EXPECT_EQ(read_bytes(dir / "x.wav"), bytes);
}

TEST(FinalizeRecpart, UnusableFilesFailAndStayAsTheyWere) {
    auto garbage_at = [](std::size_t at) {
        auto b = crashed_recpart(PCM16_STEREO, 100);
        b[at] ^= 0x20;
        return b;
    };
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        ErrorKind kind;
        const char* text;
    };
    const Case cases[] = {
        {"empty", {}, ErrorKind::Other, "failed to fill whole buffer"},
        {"35 bytes",
         [] {
             auto b = crashed_recpart(PCM16_STEREO, 0);
             b.resize(35);
             return b;
         }(),
         ErrorKind::Other, "failed to fill whole buffer"},
        {"RIFF", garbage_at(0), ErrorKind::InvalidData, "not a recognised .recpart/.wav header"},
        {"WAVE", garbage_at(9), ErrorKind::InvalidData, "not a recognised .recpart/.wav header"},
        {"fmt ", garbage_at(15), ErrorKind::InvalidData, "not a recognised .recpart/.wav header"},
        {"text", std::vector<std::uint8_t>(300, 'x'), ErrorKind::InvalidData,
         "not a recognised .recpart/.wav header"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        write_bytes(dir / "x.recpart", c.bytes);
        const Result<fs::path> r = finalize_recpart(dir / "x.recpart");
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().kind, c.kind);
        EXPECT_EQ(r.error().text, c.text);
        EXPECT_EQ(read_bytes(dir / "x.recpart"), c.bytes);
        EXPECT_FALSE(fs::exists(dir / "x.wav"));
    }
}

TEST(FinalizeRecpart, MissingFileAndDirectoryFailWithTheSystemError) {
    test::TempDir dir;
    const Result<fs::path> missing = finalize_recpart(dir / "gone.recpart");
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error().kind, ErrorKind::NotFound);
    EXPECT_FALSE(fs::exists(dir / "gone.recpart"));

    fs::create_directory(dir / "x.recpart");
    const Result<fs::path> folder = finalize_recpart(dir / "x.recpart");
    ASSERT_FALSE(folder.has_value());
    EXPECT_FALSE(folder.error().text.empty());
    EXPECT_TRUE(fs::is_directory(dir / "x.recpart"));
    EXPECT_FALSE(fs::exists(dir / "x.wav"));
}

TEST(FinalizeRecpart, TargetNameAvoidsExistingFiles) {
    struct Case {
        const char* source;
        std::vector<const char*> existing;
        const char* target;
    };
    const Case cases[] = {
        {"x.recpart", {"x.wav", "x_1.wav"}, "x_2.wav"},
        {"x.recpart", {"x_1.wav"}, "x.wav"},
        {"x.recpart", {"x.wav/"}, "x_1.wav"},  // a directory takes the name too
        {"a.b.recpart", {}, "a.b.wav"},
        {"x.RECPART", {}, "x.wav"},
        {"noext", {}, "noext.wav"},
        {".recpart", {}, ".recpart.wav"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source);
        test::TempDir dir;
        for (const char* e : c.existing) {
            const std::string name = e;
            if (name.back() == '/') {
                fs::create_directory(dir / name.substr(0, name.size() - 1));
            } else {
                write_bytes(dir / name, {'k', 'e', 'e', 'p'});
            }
        }
        write_bytes(dir / c.source, crashed_recpart(PCM16_STEREO, 4));
        const Result<fs::path> r = finalize_recpart(dir / c.source);
        ASSERT_TRUE(r.has_value()) << r.error().text;
        EXPECT_EQ(*r, dir / c.target);
        EXPECT_EQ(read_bytes(dir / c.target).size(), 48u);
        for (const char* e : c.existing) {
            const std::string name = e;
            if (name.back() != '/') {
                EXPECT_EQ(read_bytes(dir / name), (std::vector<std::uint8_t>{'k', 'e', 'e', 'p'}));
            }
        }
    }
}

TEST(FinalizeRecpart, OversizedFileCapsTheDataSizeAndKeepsEveryByte) {
    // Sparse, so this costs no disk: a foreign file beyond the 32-bit fields.
    test::TempDir dir;
    write_bytes(dir / "big.recpart", crashed_recpart(PCM16_STEREO, 0));
    const std::uint64_t length = 44 + (std::uint64_t{1} << 32) + 6;
    std::error_code ec;
    fs::resize_file(dir / "big.recpart", length, ec);
    if (ec)
        GTEST_SKIP() << "no sparse files here: " << ec.message();

    const Result<fs::path> r = finalize_recpart(dir / "big.recpart");
    ASSERT_TRUE(r.has_value()) << r.error().text;
    EXPECT_EQ(fs::file_size(dir / "big.wav"), length);
    std::vector<std::uint8_t> head(44);
    {
        std::FILE* f = std::fopen((dir / "big.wav").c_str(), "rb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fread(head.data(), 1, head.size(), f), head.size());
        std::fclose(f);
    }
    EXPECT_EQ(le32(head, 40), 0xFFFFFFFFu);
    EXPECT_EQ(le32(head, 4), 0xFFFFFFFFu);
}

TEST(FinalizeRecpart, ReadOnlyFileFailsUntouched) {
    test::TempDir dir;
    const auto bytes = crashed_recpart(PCM16_STEREO, 10);
    write_bytes(dir / "x.recpart", bytes);
    fs::permissions(dir / "x.recpart",
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    ASSERT_EQ(::chown((dir / "x.recpart").c_str(), test::unprivileged_uid(), 0), 0);
    Result<fs::path> r = fs::path();
    {
        test::Unprivileged as_user;
        if (!as_user.enforced())
            GTEST_SKIP() << "file permissions are not enforced";
        r = finalize_recpart(dir / "x.recpart");
    }
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, ErrorKind::PermissionDenied);
    EXPECT_EQ(read_bytes(dir / "x.recpart"), bytes);
    EXPECT_FALSE(fs::exists(dir / "x.wav"));
}

TEST(FinalizeRecpart, FailedRenameLeavesARepairedRecpart) {
    // The file may be written but its directory may not: the header is fixed,
    // the name stays.
    test::TempDir dir;
    write_bytes(dir / "x.recpart", crashed_recpart(PCM16_STEREO, 6));
    ASSERT_EQ(::chown((dir / "x.recpart").c_str(), test::unprivileged_uid(), 0), 0);
    fs::permissions(dir.path(),
                    fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    Result<fs::path> r = fs::path();
    {
        test::Unprivileged as_user;
        if (!as_user.enforced())
            GTEST_SKIP() << "file permissions are not enforced";
        r = finalize_recpart(dir / "x.recpart");
    }
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, ErrorKind::PermissionDenied);
    const auto b = read_bytes(dir / "x.recpart");
    ASSERT_EQ(b.size(), 50u);
    EXPECT_EQ(le32(b, 40), 4u);
    EXPECT_FALSE(fs::exists(dir / "x.wav"));
}

std::set<std::string> names_in(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.insert(e.path().filename().string());
    return names;
}

TEST(RepairDirectory, TakesExactlyTheRecpartEntriesAndGoesOnAfterFailures) {
    test::TempDir dir;
    write_bytes(dir / "a.recpart", crashed_recpart(PCM16_STEREO, 10));
    write_bytes(dir / "b.recpart", {});
    write_bytes(dir / "c.recpart", crashed_recpart(FLOAT_STEREO, 16));
    write_bytes(dir / "d.RECPART", crashed_recpart(PCM16_STEREO, 4));
    write_bytes(dir / ".recpart", crashed_recpart(PCM16_STEREO, 4));
    write_bytes(dir / "e.recpart.bak", crashed_recpart(PCM16_STEREO, 4));
    write_bytes(dir / "notes.txt", {'h', 'i'});
    fs::create_directory(dir / "folder.recpart");
    fs::create_directory(dir / "sub");
    write_bytes(dir / "sub" / "f.recpart", crashed_recpart(PCM16_STEREO, 4));

    fs::create_directories(dir / "sub" / "deeper");
    write_bytes(dir / "sub" / "deeper" / "g.recpart", crashed_recpart(PCM16_STEREO, 4));

    const std::vector<RepairResult> results = repair_directory(dir.path());

    std::set<std::string> repaired, failed;
    for (const RepairResult& r : results) {
        EXPECT_FALSE(r.in_use);
        const std::string name = fs::relative(r.path, dir.path()).generic_string();
        if (r.outcome) {
            EXPECT_EQ(*r.outcome, r.path.parent_path() / (r.path.stem().string() + ".wav"));
            repaired.insert(name);
        } else {
            failed.insert(name + ": " + r.outcome.error().text);
        }
    }
    EXPECT_EQ(results.size(), 5u);
    // A stem recording's session folder is repaired too, one level down only.
    EXPECT_EQ(repaired, (std::set<std::string>{"a.recpart", "c.recpart", "sub/f.recpart"}));
    ASSERT_EQ(failed.size(), 2u);
    EXPECT_EQ(*failed.begin(), "b.recpart: failed to fill whole buffer");
    EXPECT_EQ(failed.rbegin()->rfind("folder.recpart: ", 0), 0u);

    EXPECT_EQ(names_in(dir.path()),
              (std::set<std::string>{"a.wav", "b.recpart", "c.wav", "d.RECPART", ".recpart",
                                     "e.recpart.bak", "notes.txt", "folder.recpart", "sub"}));
    EXPECT_EQ(names_in(dir / "sub"), (std::set<std::string>{"f.wav", "deeper"}));
    EXPECT_TRUE(fs::exists(dir / "sub" / "deeper" / "g.recpart"));
    EXPECT_EQ(le32(read_bytes(dir / "c.wav"), 54), 16u);
}

TEST(RepairDirectory, LeavesTheFilesOfARunningRecordingAlone) {
    test::TempDir dir;
    const fs::path session = dir / "recording_1";
    fs::create_directory(session);
    write_bytes(dir / "old.recpart", crashed_recpart(PCM16_STEREO, 8));
    WriterConfig config;
    config.part_limit = 16;
    auto live = RecpartWriter::create(session / "live.recpart", PCM16_STEREO, config);
    ASSERT_TRUE(live.has_value()) << live.error().text;
    FileList files;
    const std::vector<float> two_frames(4, 0.5f);
    // Rolls over: the first part is finished, but still the recording's.
    ASSERT_TRUE(live->write_block(two_frames, session / "live_part2.recpart", files).has_value());
    ASSERT_TRUE(live->write_block(two_frames, session / "live_part2.recpart", files).has_value());
    ASSERT_TRUE(live->flush().has_value());
    const auto first = read_bytes(session / "live.recpart");
    const auto second = read_bytes(session / "live_part2.recpart");

    const std::vector<RepairResult> results = repair_directory(dir.path());

    ASSERT_EQ(results.size(), 3u);
    for (const RepairResult& r : results) {
        SCOPED_TRACE(r.path.string());
        EXPECT_EQ(r.in_use, r.path.parent_path() == session);
        EXPECT_EQ(r.outcome.has_value(), !r.in_use);
    }
    EXPECT_EQ(read_bytes(session / "live.recpart"), first);
    EXPECT_EQ(read_bytes(session / "live_part2.recpart"), second);
    EXPECT_TRUE(fs::exists(dir / "old.wav"));

    // The recording goes on and still saves every file.
    ASSERT_TRUE(live->write_block(two_frames, session / "live_part3.recpart", files).has_value());
    ASSERT_TRUE(live->finish().has_value());
    live->close();
    EXPECT_EQ(finalize_recpart(session / "live.recpart"), session / "live.wav");
    EXPECT_EQ(finalize_recpart(session / "live_part2.recpart"), session / "live_part2.wav");
}

TEST(RepairDirectory, UnlistableDirectoriesHaveNothingToRepair) {
    test::TempDir dir;
    write_bytes(dir / "file.recpart", crashed_recpart(PCM16_STEREO, 4));
    EXPECT_TRUE(repair_directory(dir / "missing").empty());
    EXPECT_TRUE(repair_directory(dir / "file.recpart").empty());
    EXPECT_TRUE(repair_directory(fs::path()).empty());
    EXPECT_TRUE(fs::exists(dir / "file.recpart"));
}

TEST(RepairDirectory, UnreadableDirectoryHasNothingToRepair) {
    test::TempDir dir;
    fs::create_directory(dir / "locked");
    write_bytes(dir / "locked" / "x.recpart", crashed_recpart(PCM16_STEREO, 4));
    fs::permissions(dir / "locked", fs::perms::owner_exec);
    std::vector<RepairResult> results;
    {
        test::Unprivileged as_user;
        if (!as_user.enforced())
            GTEST_SKIP() << "file permissions are not enforced";
        results = repair_directory(dir / "locked");
    }
    EXPECT_TRUE(results.empty());
    fs::permissions(dir / "locked", fs::perms::owner_all);
    EXPECT_TRUE(fs::exists(dir / "locked" / "x.recpart"));
}

}  // namespace
}  // namespace kestrune
