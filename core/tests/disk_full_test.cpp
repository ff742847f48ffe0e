// A real full disk: a size-limited tmpfs mounted for the test. Needs the right
// to mount (root in CI); skipped with a message elsewhere.

#include <gtest/gtest.h>

#include <sys/mount.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "controller/after_recording.hpp"
#include "files/finalize.hpp"
#include "files/wav_reader.hpp"
#include "recorder/recorder.hpp"
#include "support/bytes.hpp"
#include "support/fake_backend.hpp"
#include "support/fake_view.hpp"
#include "support/temp_dir.hpp"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A tmpfs of the given size over a fresh directory, unmounted afterwards.
class SmallDisk {
public:
    explicit SmallDisk(std::size_t bytes) {
        fs::create_directory(root_ / "disk");
        const std::string options = "size=" + std::to_string(bytes);
        if (::mount("kestrune_test", path().c_str(), "tmpfs", 0, options.c_str()) == 0) {
            mounted_ = true;
        } else {
            why_ = std::strerror(errno);
        }
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;
    ~SmallDisk() {
        if (mounted_)
            ::umount2(path().c_str(), MNT_DETACH);
    }
    [[nodiscard]] fs::path path() const { return root_ / "disk"; }
    [[nodiscard]] bool mounted() const { return mounted_; }
    [[nodiscard]] const std::string& why() const { return why_; }

private:
    test::TempDir root_;
    bool mounted_ = false;
    std::string why_;
};

#define REQUIRE_SMALL_DISK(disk)                                                          \
    if (!(disk).mounted())                                                                \
    GTEST_SKIP() << "cannot mount a small tmpfs for the full-disk test (" << (disk).why() \
                 << "); run as root to include it"

TEST(DiskFull, TheRecordingStopsWithItsErrorAndEveryFileIsAValidWav) {
    SmallDisk disk(256 * 1024);
    REQUIRE_SMALL_DISK(disk);
    test::FakeBackend backend;
    test::FakeLocations locations;
    backend.loopback.speed = 4;  // fills the disk in a fraction of a second
    backend.microphone.speed = 4;
    RecordOptions options;
    options.output_dir = disk.path();
    options.mode = RecordingMode::StemsSilence;
    options.mic = true;
    Result<Recorder> rec = Recorder::start(options, RecorderServices{backend, locations});
    ASSERT_TRUE(rec.has_value()) << rec.error().text;
    for (int i = 0; i < 1000 && !rec->last_error(); ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(rec->last_error().has_value()) << "the disk never filled";

    test::FakeView view;
    test::FakeDialogs dialogs;
    finish_recording(std::move(*rec), false, view, dialogs);

    ASSERT_FALSE(view.messages.empty());
    EXPECT_EQ(view.messages[0].caption, "Recording error");
    EXPECT_NE(view.messages[0].text.find("No space left on device"), std::string::npos)
        << view.messages[0].text;
    std::size_t wavs = 0;
    for (const auto& session : fs::directory_iterator(disk.path())) {
        for (const auto& e : fs::directory_iterator(session.path())) {
            SCOPED_TRACE(e.path().string());
            if (e.path().extension() != ".wav")
                continue;
            ++wavs;
            EXPECT_NE(e.path().extension(), ".recpart") << "every file was finalized";
            // Everything that reached the disk counts, in whole frames.
            const auto bytes = test::read_bytes(e.path());
            ASSERT_GE(bytes.size(), 58u);
            EXPECT_EQ(test::le32(bytes, 54), (bytes.size() - 58) / 8 * 8);
            Result<WavReader> reader = WavReader::open(e.path());
            ASSERT_TRUE(reader.has_value()) << reader.error().text;
            EXPECT_EQ(reader->frames(), (bytes.size() - 58) / 8);
            EXPECT_EQ(reader->unaccounted_bytes(), 0u);
        }
    }
    EXPECT_EQ(wavs, 2u);
}

TEST(DiskFull, RepairOnAFullDiskKeepsTheFileValid) {
    SmallDisk disk(64 * 1024);
    REQUIRE_SMALL_DISK(disk);
    FileList files;
    auto writer =
        RecpartWriter::create(disk.path() / "take.recpart", OutputFormat{48000, 2, 32, true});
    ASSERT_TRUE(writer.has_value()) << writer.error().text;
    const std::vector<float> block(4800, 0.25f);
    Result<void> written;
    while (written)
        written = writer->write_block(block, disk.path() / "take_part2.recpart", files);
    EXPECT_NE(written.error().text.find("No space left on device"), std::string::npos);
    // A crash here: the header still says nothing.
    writer->close();
    const std::vector<RepairResult> results = repair_directory(disk.path());
    ASSERT_EQ(results.size(), 1u);
    ASSERT_TRUE(results[0].outcome.has_value()) << results[0].outcome.error().text;
    const auto bytes = test::read_bytes(*results[0].outcome);
    EXPECT_EQ(test::le32(bytes, 54), (bytes.size() - 58) / 8 * 8);
    EXPECT_GT(bytes.size(), 32'000u);
    Result<WavReader> reader = WavReader::open(*results[0].outcome);
    ASSERT_TRUE(reader.has_value()) << reader.error().text;
}

TEST(DiskFull, ACrossVolumeReplaceThatDoesNotFitKeepsBothFiles) {
    SmallDisk disk(64 * 1024);
    REQUIRE_SMALL_DISK(disk);
    test::TempDir elsewhere;
    const fs::path target = disk.path() / "take.wav";
    test::write_bytes(target, {'o', 'l', 'd'});
    struct Case {
        const char* name;
        std::size_t size;
        bool fits;
    };
    for (const Case c : {Case{"too large", 200'000, false}, Case{"fits", 1000, true}}) {
        SCOPED_TRACE(c.name);
        const fs::path source = elsewhere / "recording.wav";
        const std::vector<std::uint8_t> data(c.size, 0x5A);
        test::write_bytes(source, data);
        const Result<void> r = move_file(source, target, true);
        EXPECT_EQ(r.has_value(), c.fits) << (r ? "" : r.error().text);
        const std::vector<std::uint8_t> old = {'o', 'l', 'd'};
        EXPECT_EQ(test::read_bytes(target), c.fits ? data : old);
        EXPECT_EQ(fs::exists(source), !c.fits);
        std::vector<fs::path> left;
        for (const auto& e : fs::directory_iterator(disk.path()))
            left.push_back(e.path().filename());
        EXPECT_EQ(left, std::vector<fs::path>{"take.wav"}) << "no temporary copy stays";
    }
}

}  // namespace
}  // namespace kestrune
