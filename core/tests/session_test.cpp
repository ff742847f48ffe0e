#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "session/instructions_writer.hpp"
#include "session/session.hpp"
#include "session/session_names.hpp"
#include "support/bytes.hpp"
#include "support/fake_backend.hpp"
#include "support/temp_dir.hpp"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
constexpr OutputFormat FORMAT{48000, 2, 24, false};

TEST(SessionNames, Timestamps) {
    const std::pair<std::uint64_t, const char*> cases[] = {
        {0, "1970-01-01_00-00"},
        {1'700'000'000, "2023-11-14_22-13"},
        {951'782'400 + 86'399, "2000-02-29_23-59"},
        {253'402'300'799, "9999-12-31_23-59"},
    };
    for (const auto& [seconds, text] : cases)
        EXPECT_EQ(session_timestamp(seconds), text);
}

TEST(SessionNames, Labels) {
    const std::pair<const char*, const char*> cases[] = {
        {"Line In: 2/3 (USB)", "Line In_ 2_3 (USB)"},
        {"Mic: Array*", "Mic_ Array"},
        {"[Loopback] Speakers", "[Loopback] Speakers"},
        {"Mikrofon (Realtek\u00ae Audio)", "Mikrofon (Realtek_ Audio)"},
        {"\u041c\u0438\u043a\u0440\u043e\u0444\u043e\u043d 2",
         "\u041c\u0438\u043a\u0440\u043e\u0444\u043e\u043d 2"},
        {"\u30de\u30a4\u30af\u2460", "\u30de\u30a4\u30af\u2460"},  // CJK and a circled digit
        {"__a__b__", "a_b"},
        {"  spaced  ", "spaced"},
        {"a\xff"
         "b",
         "a_b"},  // ill-formed UTF-8
        {"***", ""},
    };
    for (const auto& [name, label] : cases)
        EXPECT_EQ(sanitize_label(name), label) << name;
    EXPECT_EQ(stem_label(SourceSpec::system_audio()), "loopback");
    EXPECT_EQ(stem_label(SourceSpec::default_microphone()), "mic");
    EXPECT_EQ(stem_label(SourceSpec::loopback_device("[Loopback] Head/phones")),
              "[Loopback] Head_phones");
}

struct SessionTest : ::testing::Test {
    test::TempDir dir;
    test::FakeLocations locations;

    SessionRequest request(RecordingMode mode, std::vector<std::string> labels,
                           std::vector<bool> enabled) const {
        SessionRequest r;
        r.requested_dir = dir / "out";
        r.mode = mode;
        r.timestamp = "2023-11-14_22-13";
        r.labels = std::move(labels);
        r.formats.assign(r.labels.size(), FORMAT);
        r.enabled = std::move(enabled);
        return r;
    }
};

TEST_F(SessionTest, SingleFileAndItsCollisionName) {
    fs::create_directory(dir / "out");
    test::write_bytes(dir / "out" / "recording_2023-11-14_22-13.recpart", {1});
    Result<Session> s = setup_session(
        request(RecordingMode::SingleFile, {"loopback", "mic"}, {true, false}), locations);
    ASSERT_TRUE(s.has_value()) << s.error().text;
    EXPECT_EQ(s->main_file, dir / "out" / "recording_2023-11-14_22-13_1.recpart");
    EXPECT_EQ(s->files, FileList{s->main_file});
    ASSERT_EQ(s->outputs.size(), 1u);
    EXPECT_TRUE(s->outputs[0].writer.has_value());
    EXPECT_TRUE(s->outputs[0].has_segment);
    EXPECT_FALSE(s->warning);
    EXPECT_FALSE(s->created);
    EXPECT_TRUE(fs::exists(s->main_file));
}

TEST_F(SessionTest, StemFoldersFilesAndInstructionsHeader) {
    fs::create_directories(dir / "out" / "recording_2023-11-14_22-13");
    Result<Session> s =
        setup_session(request(RecordingMode::StemsInstructed, {"loopback", "USB", "USB", "", "mic"},
                              {true, true, true, true, false}),
                      locations);
    ASSERT_TRUE(s.has_value()) << s.error().text;
    const fs::path folder = dir / "out" / "recording_2023-11-14_22-13_1";
    EXPECT_EQ(s->files, (FileList{folder / "loopback.recpart", folder / "USB.recpart",
                                  folder / "USB_1.recpart", folder / ".recpart"}));
    // Colliding labels: each slot's later files are named after its own first.
    EXPECT_EQ(s->outputs[1].base_path, folder / "USB.recpart");
    EXPECT_EQ(s->outputs[2].base_path, folder / "USB_1.recpart");
    EXPECT_FALSE(s->outputs[4].writer.has_value());
    EXPECT_FALSE(s->outputs[4].has_segment);
    EXPECT_FALSE(fs::exists(folder / "mic.recpart"));
    EXPECT_EQ(s->warning, std::nullopt);

    // On disk while the session is open: a crash keeps it.
    const auto bytes = test::read_bytes(folder / "instructions.txt");
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()),
              "# Kestrune session instructions\n"
              "# Sample rate: 48000\n"
              "#\n"
              "# All stems in this session share the above sample rate.\n"
              "# Offsets below are sample-accurate at that rate.\n"
              "#\n"
              "# To mix this session in an audio editor:\n"
              "#   1. Repair any .recpart files to .wav using kestrune --repair\n"
              "#   2. Create a new project at the sample rate listed above\n"
              "#   3. For each line below, import the named file and place it\n"
              "#      at the given sample offset on the timeline\n"
              "#   4. Files play until their data ends; no trimming is needed\n"
              "#\n"
              "# sample_offset file\n");
}

TEST_F(SessionTest, SilencedStemsCreateEveryFileAndInstructedNone) {
    Result<Session> silence = setup_session(
        request(RecordingMode::StemsSilence, {"loopback", "mic"}, {false, false}), locations);
    ASSERT_TRUE(silence.has_value());
    EXPECT_EQ(silence->files.size(), 2u);
    EXPECT_TRUE(silence->created);
    EXPECT_EQ(silence->warning, "Created output directory " + (dir / "out").string());

    Result<Session> none = setup_session(
        request(RecordingMode::StemsInstructed, {"loopback", "mic"}, {false, false}), locations);
    ASSERT_TRUE(none.has_value());
    EXPECT_TRUE(none->files.empty());
    const fs::path folder = none->outputs[0].base_path.parent_path();
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
}

TEST_F(SessionTest, FailedAttemptsCleanUpAndFallBack) {
    // A label naming a missing subfolder makes the stem files fail after the
    // candidate and the session folder were created.
    locations.working = dir / "wd";
    SessionRequest r = request(RecordingMode::StemsSilence, {"missing/x"}, {true});
    Result<Session> failed = setup_session(r, locations);
    ASSERT_FALSE(failed.has_value());
    EXPECT_FALSE(fs::exists(dir / "out")) << "a candidate it created is removed again";
    EXPECT_FALSE(fs::exists(dir / "wd"));
    ASSERT_TRUE(failed.error().no_writable_dir);
    EXPECT_EQ(failed.error().no_writable_dir->tried.size(), 2u);

    // A file where the directory should be: tried, left alone, fallen back from.
    test::write_bytes(dir / "out", {42});
    fs::create_directory(dir / "wd");
    r.labels = {"mic"};
    Result<Session> s = setup_session(r, locations);
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(s->output_dir, dir / "wd");
    EXPECT_EQ(test::read_bytes(dir / "out"), std::vector<std::uint8_t>{42});
    ASSERT_TRUE(s->warning);
    EXPECT_EQ(s->warning->rfind("Could not write to " + (dir / "out").string() + "; recording in " +
                                    (dir / "wd").string() + " instead: ",
                                0),
              0u);
}

TEST_F(SessionTest, CandidatesInOrderWithoutDuplicates) {
    test::write_bytes(dir / "f", {1});
    locations.working = dir / "f" / "out";  // same as the requested one
    locations.program = dir / "f" / "bin" / "kestrune.exe";
    locations.documents = dir / "f" / "docs";
    SessionRequest r = request(RecordingMode::SingleFile, {"loopback"}, {true});
    r.requested_dir = dir / "f" / "out";
    Result<Session> s = setup_session(r, locations);
    ASSERT_FALSE(s.has_value());
    std::vector<fs::path> tried;
    for (const TriedDirectory& t : s.error().no_writable_dir->tried)
        tried.push_back(t.directory);
    EXPECT_EQ(tried, (std::vector<fs::path>{dir / "f" / "out", dir / "f" / "bin" / "kestrune",
                                            dir / "f" / "bin", dir / "f" / "docs" / "kestrune"}));
    EXPECT_NE(s.error().text.find("\n\nTried:\n" + (dir / "f" / "out").string() + ": "),
              std::string::npos);
}

}  // namespace
}  // namespace kestrune
