#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "files/recpart_writer.hpp"
#include "support/bytes.hpp"
#include "support/faulty_file.hpp"
#include "support/temp_dir.hpp"

namespace kestrune {
namespace {

using test::le16;
using test::le32;
using test::read_bytes;

constexpr OutputFormat PCM16_STEREO{44100, 2, 16, false};
constexpr OutputFormat PCM24_STEREO{48000, 2, 24, false};
constexpr OutputFormat FLOAT_STEREO{48000, 2, 32, true};

RecpartWriter make_writer(const std::filesystem::path& path, OutputFormat format,
                          WriterConfig config = {}) {
    auto w = RecpartWriter::create(path, format, std::move(config));
    EXPECT_TRUE(w.has_value()) << (w ? "" : w.error().text);
    return std::move(*w);
}

std::vector<std::uint8_t> encode_one(OutputFormat format, float x) {
    test::TempDir dir;
    FileList files;
    {
        RecpartWriter w = make_writer(dir / "x.recpart", format);
        const float block[] = {x};
        EXPECT_TRUE(w.write_block(block, dir / "next.recpart", files).has_value());
        EXPECT_TRUE(w.finish().has_value());
    }
    const auto bytes = read_bytes(dir / "x.recpart");
    return {bytes.begin() + static_cast<long>(format.is_float ? 58 : 44), bytes.end()};
}

TEST(RecpartWriter, HeaderIsOnDiskAsSoonAsTheFileExists) {
    // A kill before the first buffer goes out must leave a file repair can read.
    for (const OutputFormat& f : {PCM16_STEREO, FLOAT_STEREO}) {
        SCOPED_TRACE(f.is_float ? "float" : "integer");
        test::TempDir dir;
        RecpartWriter w = make_writer(dir / "a.recpart", f);
        const auto b = read_bytes(dir / "a.recpart");
        ASSERT_EQ(b.size(), f.is_float ? 58u : 44u);
        EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "RIFF");
        EXPECT_EQ(le32(b, 4), f.is_float ? 50u : 36u);
        EXPECT_EQ(le32(b, b.size() - 4), 0u);
        w.close();
        EXPECT_EQ(read_bytes(dir / "a.recpart"), b);
    }
}

TEST(RecpartWriter, NeverOpensAnExistingFile) {
    test::TempDir dir;
    test::write_bytes(dir / "taken.recpart", {'k'});
    EXPECT_EQ(RecpartWriter::create(dir / "taken.recpart", PCM16_STEREO).error().kind,
              ErrorKind::AlreadyExists);
    // A roll-over onto a name another slot already uses takes the next free one.
    test::write_bytes(dir / "a_part2.recpart", {'k'});
    WriterConfig config;
    config.part_limit = 4;
    RecpartWriter w = make_writer(dir / "a.recpart", PCM16_STEREO, config);
    FileList files;
    const std::vector<float> frame(2, 0.5f);
    ASSERT_TRUE(w.write_block(frame, dir / "a_part2.recpart", files).has_value());
    EXPECT_EQ(files, FileList{dir / "a_part2_1.recpart"});
    EXPECT_EQ(read_bytes(dir / "taken.recpart"), std::vector<std::uint8_t>{'k'});
    EXPECT_EQ(read_bytes(dir / "a_part2.recpart"), std::vector<std::uint8_t>{'k'});
    w.close();
}

TEST(RecpartWriter, FinishedFilesCarryExactHeaders) {
    test::TempDir dir;
    FileList files;
    {
        RecpartWriter w = make_writer(dir / "int.recpart", PCM16_STEREO);
        std::vector<float> block(2000, 0.25f);
        ASSERT_TRUE(w.write_block(block, dir / "n.recpart", files).has_value());
        ASSERT_TRUE(w.finish().has_value());
    }
    const auto i = read_bytes(dir / "int.recpart");
    ASSERT_EQ(i.size(), 4044u);
    const std::vector<std::uint8_t> int_header = {
        'R', 'I', 'F', 'F', 0xC4, 0x0F, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
        16, 0, 0, 0, 1, 0, 2, 0, 0x44, 0xAC, 0, 0, 0x10, 0xB1, 0x02, 0, 4, 0, 16, 0,
        'd', 'a', 't', 'a', 0xA0, 0x0F, 0, 0};
    EXPECT_EQ(std::vector<std::uint8_t>(i.begin(), i.begin() + 44), int_header);

    {
        RecpartWriter w = make_writer(dir / "float.recpart", FLOAT_STEREO);
        std::vector<float> block(20, -0.5f);
        ASSERT_TRUE(w.write_block(block, dir / "n.recpart", files).has_value());
        ASSERT_TRUE(w.finish().has_value());
    }
    const auto f = read_bytes(dir / "float.recpart");
    ASSERT_EQ(f.size(), 138u);
    const std::vector<std::uint8_t> float_header = {
        'R', 'I', 'F', 'F', 130, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
        18, 0, 0, 0, 3, 0, 2, 0, 0x80, 0xBB, 0, 0, 0x00, 0xDC, 0x05, 0, 8, 0, 32, 0,
        0, 0, 'f', 'a', 'c', 't', 4, 0, 0, 0, 10, 0, 0, 0, 'd', 'a', 't', 'a', 80, 0, 0, 0};
    EXPECT_EQ(std::vector<std::uint8_t>(f.begin(), f.begin() + 58), float_header);
    EXPECT_TRUE(files.empty());
}

TEST(RecpartWriter, SampleEncoding) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float below_one = std::nextafter(1.0f, 0.0f);
    struct Case {
        OutputFormat format;
        float x;
        std::vector<std::uint8_t> bytes;
    };
    const Case cases[] = {
        {PCM16_STEREO, 1.0f, {0xFF, 0x7F}},
        {PCM16_STEREO, -1.0f, {0x01, 0x80}},
        {PCM16_STEREO, -2.0f, {0x00, 0x80}},
        {PCM16_STEREO, 2.0f, {0xFF, 0x7F}},
        {PCM16_STEREO, below_one, {0xFE, 0x7F}},
        {PCM16_STEREO, nan, {0x00, 0x00}},
        {PCM24_STEREO, 1.0f, {0xFF, 0xFF, 0x7F}},
        {PCM24_STEREO, -1.0f, {0x01, 0x00, 0x80}},
        {PCM24_STEREO, -3.0f, {0x00, 0x00, 0x80}},
        {PCM24_STEREO, 0.5f, {0xFF, 0xFF, 0x3F}},
        {PCM24_STEREO, nan, {0x00, 0x00, 0x00}},
        {FLOAT_STEREO, 1.5f, {0x00, 0x00, 0xC0, 0x3F}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.format.bits_per_sample) + " bits, x=" + std::to_string(c.x));
        EXPECT_EQ(encode_one(c.format, c.x), c.bytes);
    }
}

TEST(RecpartWriter, UnsupportedIntegerDepthIsRefusedAtFirstBlock) {
    test::TempDir dir;
    FileList files;
    RecpartWriter w = make_writer(dir / "a.recpart", OutputFormat{8000, 1, 8, false});
    const float block[] = {0.1f, 0.2f};
    const auto r = w.write_block(block, dir / "n.recpart", files);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, ErrorKind::InvalidInput);
    EXPECT_EQ(r.error().text, "Unsupported integer bit depth: 8");
    w.close();
    EXPECT_EQ(read_bytes(dir / "a.recpart").size(), 44u);
}

TEST(RecpartWriter, BufferHandsOverOnlyWholeFramesInFullBuffers) {
    test::TempDir dir;
    FileList files;
    RecpartWriter w = make_writer(dir / "a.recpart", PCM24_STEREO);
    // 8192 bytes hold 1365 frames of 24-bit stereo (8190 bytes): a crash can
    // then never cut a frame.
    std::vector<float> block(2730, 0.0f);
    ASSERT_TRUE(w.write_block(block, dir / "n.recpart", files).has_value());
    EXPECT_EQ(std::filesystem::file_size(dir / "a.recpart"), 44u);
    const float frame[] = {0.0f, 0.0f};
    ASSERT_TRUE(w.write_block(frame, dir / "n.recpart", files).has_value());
    EXPECT_EQ(std::filesystem::file_size(dir / "a.recpart"), 44u + 8190u);
    EXPECT_EQ(w.data_bytes(), 2732u * 3);
}

TEST(RecpartWriter, RollsOverAfterTheBlockThatReachesTheLimit) {
    test::TempDir dir;
    FileList files;
    WriterConfig config;
    config.part_limit = 16;
    RecpartWriter w = make_writer(dir / "rec.recpart", PCM16_STEREO, config);
    const std::vector<float> a(6, 0.5f);  // 12 bytes: below the limit
    const std::vector<float> b(4, 0.5f);  // 8 more: crosses it, stays in part 1
    ASSERT_TRUE(w.write_block(a, dir / "rec_part2.recpart", files).has_value());
    EXPECT_EQ(w.part(), 1u);
    ASSERT_TRUE(w.write_block(b, dir / "rec_part2.recpart", files).has_value());
    EXPECT_EQ(w.part(), 2u);
    EXPECT_EQ(w.data_bytes(), 0u);
    ASSERT_EQ(files, FileList{dir / "rec_part2.recpart"});
    ASSERT_TRUE(w.write_block(b, dir / "rec_part3.recpart", files).has_value());
    ASSERT_TRUE(w.finish().has_value());
    w.close();

    const auto first = read_bytes(dir / "rec.recpart");
    EXPECT_EQ(first.size(), 44u + 20);
    EXPECT_EQ(le32(first, 40), 20u);
    const auto second = read_bytes(dir / "rec_part2.recpart");
    EXPECT_EQ(second.size(), 44u + 8);
    EXPECT_EQ(le32(second, 40), 8u);
}

TEST(RecpartWriter, WriteFailuresAreReportedAndNoByteIsWrittenTwice) {
    test::TempDir dir;
    FileList files;
    WriterConfig config;
    // The file takes 5000 bytes in short writes, then fails.
    config.open = test::faulty_opener({5000, 777});
    RecpartWriter w = make_writer(dir / "a.recpart", PCM16_STEREO, config);
    std::vector<float> block(8000);
    for (std::size_t k = 0; k < block.size(); ++k) block[k] = static_cast<float>(k % 100) / 100.0f;
    const auto r = w.write_block(block, dir / "n.recpart", files);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().text, "injected write failure");
    EXPECT_EQ(w.data_bytes(), 0u);
    w.close();
    const auto bytes = read_bytes(dir / "a.recpart");
    ASSERT_EQ(bytes.size(), 5000u);
    // The bytes on disk are the header and then the samples in order, once.
    for (std::size_t k = 0; k < (5000 - 44) / 2; ++k) {
        const auto s = static_cast<std::int16_t>(le16(bytes, 44 + 2 * k));
        ASSERT_EQ(s, static_cast<std::int16_t>(block[k] * 32767.0f)) << "sample " << k;
    }
}

TEST(RewriteHeader, SizesComeFromTheFileLength) {
    struct Case {
        std::size_t length;
        std::size_t length_after;
        std::uint32_t data_size;
    };
    // Whole frames only (4 bytes here): a cut last frame is not audio.
    const Case cases[] = {{30, 44, 0}, {44 + 10'002, 44 + 10'002, 10'000}, {44 + 7, 51, 4}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        test::TempDir dir;
        test::write_bytes(dir / "f.recpart", std::vector<std::uint8_t>(c.length, 0xAB));
        auto file = open_file(dir / "f.recpart", OpenMode::ExistingReadWrite);
        ASSERT_TRUE(file.has_value());
        ASSERT_TRUE(rewrite_header(**file, PCM16_STEREO).has_value());
        ASSERT_TRUE((*file)->close().has_value());
        const auto b = read_bytes(dir / "f.recpart");
        ASSERT_EQ(b.size(), c.length_after);
        EXPECT_EQ(le32(b, 40), c.data_size);
        EXPECT_EQ(le32(b, 4), c.data_size + 36);
    }
}

TEST(UniquePath, PicksTheFirstFreeNumberedName) {
    test::TempDir dir;
    const auto touch = [&](const char* name) { test::write_bytes(dir / name, {}); };
    EXPECT_EQ(unique_path(dir / "take.wav"), dir / "take.wav");
    touch("free_1.wav");
    EXPECT_EQ(unique_path(dir / "free.wav"), dir / "free.wav");
    touch("take.wav");
    EXPECT_EQ(unique_path(dir / "take.wav"), dir / "take_1.wav");
    touch("take_1.wav");
    EXPECT_EQ(unique_path(dir / "take.wav"), dir / "take_2.wav");
    touch("notes");
    EXPECT_EQ(unique_path(dir / "notes"), dir / "notes_1");
    touch("a.b.wav");
    EXPECT_EQ(unique_path(dir / "a.b.wav"), dir / "a.b_1.wav");
    touch(".wav");
    EXPECT_EQ(unique_path(dir / ".wav"), dir / ".wav_1");
    std::filesystem::create_directory(dir / "session");
    EXPECT_EQ(unique_path(dir / "session"), dir / "session_1");
}

}  // namespace
}  // namespace kestrune
