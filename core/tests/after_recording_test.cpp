#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "controller/after_recording.hpp"
#include "files/recpart_writer.hpp"
#include "support/bytes.hpp"
#include "support/fake_view.hpp"
#include "support/temp_dir.hpp"
#include "text/path_text.hpp"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using test::FakeDialogs;
using test::FakeView;

constexpr OutputFormat FLOAT_MONO{8000, 1, 32, true};

// A finished .recpart whose samples all have the given value.
fs::path recpart_with_peak(const fs::path& path, float peak, std::size_t frames = 800) {
    auto writer = RecpartWriter::create(path, FLOAT_MONO);
    EXPECT_TRUE(writer.has_value());
    FileList unused;
    const std::vector<float> samples(frames, peak);
    EXPECT_TRUE(writer->write_block(samples, path.string() + ".next", unused).has_value());
    EXPECT_TRUE(writer->finish().has_value());
    writer->close();
    return path;
}

fs::path wav_of(const fs::path& recpart) {
    return fs::path(recpart).replace_extension(".wav");
}

StopResult mixed(FileList files, std::size_t used = 2, std::size_t total = 2) {
    StopResult r;
    r.files = std::move(files);
    r.used_sources = used;
    r.total_sources = total;
    return r;
}

TEST(FinishRecording, SingleFileWithoutAskingSavesInPlace) {
    test::TempDir dir;
    const auto part = recpart_with_peak(dir / "recording_1.recpart", 0.9f);
    FakeView view;
    FakeDialogs dialogs;
    finish_stopped(mixed({part}), false, view, dialogs);
    EXPECT_EQ(view.text(Control::Status), "Saved: " + path_display(wav_of(part)));
    EXPECT_TRUE(view.messages.empty());
    EXPECT_TRUE(view.questions.empty());
    EXPECT_TRUE(fs::exists(wav_of(part)));
    EXPECT_TRUE(dialogs.save_as_suggestions.empty());
}

TEST(FinishRecording, NormalizeQuestionOnlyForAQuietMixWithUnusedSources) {
    struct Case {
        const char* name;
        float peak;
        std::size_t used;
        bool stems;
        bool asked;
    };
    const Case cases[] = {
        {"quiet mix, 1 of 2 sources", 0.4f, 1, false, true},
        {"exactly half scale", 0.5f, 1, false, false},
        {"every source used", 0.4f, 2, false, false},
        {"stems", 0.1f, 1, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        const auto part = recpart_with_peak(dir / "r.recpart", c.peak);
        FakeView view;
        FakeDialogs dialogs;
        StopResult result = mixed({part}, c.used, 2);
        result.stems = c.stems;
        finish_stopped(result, false, view, dialogs);
        ASSERT_EQ(view.questions.size(), c.asked ? 1u : 0u);
        if (c.asked) {
            EXPECT_EQ(view.questions[0].text,
                      "Recording used 1 of 2 sources and the file is quiet (headroom from unused "
                      "sources).\n\nNormalize to peak volume now?");
            EXPECT_EQ(view.questions[0].caption, "Normalize recording?");
        }
        EXPECT_TRUE(view.messages.empty());
    }
}

TEST(FinishRecording, YesNormalizesEveryFinishedFile) {
    test::TempDir dir;
    const auto a = recpart_with_peak(dir / "r.recpart", 0.25f);
    const auto b = recpart_with_peak(dir / "r_part2.recpart", 0.125f);
    FakeView view;
    view.answers = {true};
    FakeDialogs dialogs;
    finish_stopped(mixed({a, b}, 1, 2), false, view, dialogs);
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(view.messages[0].text, "Normalized 2 file(s).");
    EXPECT_EQ(view.messages[0].caption, "Normalize complete");
    EXPECT_EQ(view.text(Control::Status), "Saved 2 parts: " + path_display(wav_of(a)));
    // Every file now peaks at full scale: a second look asks nothing.
    const auto bytes = test::read_bytes(wav_of(b));
    float last;
    std::memcpy(&last, bytes.data() + bytes.size() - 4, 4);
    EXPECT_NEAR(last, 1.0f, 1e-4);
}

TEST(FinishRecording, AFailedNormalizeIsCountedAndNamed) {
    test::TempDir dir;
    const auto a = recpart_with_peak(dir / "r.recpart", 0.25f);
    const auto b = recpart_with_peak(dir / "r_part2.recpart", 0.125f);
    // A folder where the second file's temporary copy would go.
    fs::create_directory(dir / "r_part2.wav.tmp");
    FakeView view;
    view.answers = {true};
    FakeDialogs dialogs;
    finish_stopped(mixed({a, b}, 1, 2), false, view, dialogs);
    ASSERT_EQ(view.messages.size(), 1u);
    const std::string head = "Normalized 1 file(s) with 1 error(s):\n" +
                             path_display(wav_of(b)) + ": ";
    EXPECT_TRUE(view.messages[0].text.starts_with(head)) << view.messages[0].text;
    EXPECT_GT(view.messages[0].text.size(), head.size());
    EXPECT_EQ(view.messages[0].caption, "Normalize error");
    // The failure leaves its file as it was and does not stop the other.
    EXPECT_EQ(view.text(Control::Status), "Saved 2 parts: " + path_display(wav_of(a)));
    auto last_sample = [](const fs::path& p) {
        const auto bytes = test::read_bytes(p);
        float v;
        std::memcpy(&v, bytes.data() + bytes.size() - 4, 4);
        return v;
    };
    EXPECT_NEAR(last_sample(wav_of(a)), 1.0f, 1e-4);
    EXPECT_EQ(last_sample(wav_of(b)), 0.125f);
}

TEST(FinishRecording, ReportsProblemsInOrderOfPrecedence) {
    test::TempDir dir;
    const auto good = recpart_with_peak(dir / "good.recpart", 0.9f);
    const auto good2 = recpart_with_peak(dir / "good2.recpart", 0.9f);
    test::write_bytes(dir / "bad.recpart", {'n', 'o', 't', ' ', 'w', 'a', 'v'});
    const std::string bad_line = path_display(dir / "bad.recpart") + ": ";

    {
        SCOPED_TRACE("writing failure, two files saved");
        FakeView view;
        view.answers = {false};
        FakeDialogs dialogs;
        StopResult r = mixed({good, good2}, 1, 2);
        r.error = "disk full";
        finish_stopped(r, true, view, dialogs);
        ASSERT_EQ(view.messages.size(), 1u);
        EXPECT_EQ(view.messages[0].text,
                  "Recording stopped because writing failed:\ndisk full\n\nWhatever was captured "
                  "before this has been saved.");
        EXPECT_EQ(view.messages[0].caption, "Recording error");
        EXPECT_EQ(view.messages[0].icon, MessageIcon::Error);
        // Peaks of 0.9: no question; the save step still follows.
        EXPECT_EQ(dialogs.save_as_suggestions.size(), 1u);
        EXPECT_EQ(view.statuses.front(), "Recording error: disk full");
        EXPECT_EQ(view.text(Control::Status), "Saved 2 parts: " + path_display(wav_of(good)));
    }
    {
        SCOPED_TRACE("writing failure, nothing saved, one save error");
        FakeView view;
        FakeDialogs dialogs;
        StopResult r = mixed({dir / "bad.recpart"});
        r.error = "disk full";
        finish_stopped(r, true, view, dialogs);
        ASSERT_EQ(view.messages.size(), 1u);
        EXPECT_TRUE(view.messages[0].text.starts_with(
            "Recording stopped because writing failed:\ndisk full\n\nSave error(s):\n" + bad_line))
            << view.messages[0].text;
        EXPECT_EQ(view.text(Control::Status), "Recording error: disk full");
        EXPECT_TRUE(dialogs.save_as_suggestions.empty());
    }
    {
        SCOPED_TRACE("nothing finalized, no writing failure");
        FakeView view;
        FakeDialogs dialogs;
        finish_stopped(mixed({dir / "bad.recpart"}), true, view, dialogs);
        ASSERT_EQ(view.messages.size(), 1u);
        EXPECT_TRUE(view.messages[0].text.starts_with("Save error(s):\n" + bad_line));
        EXPECT_EQ(view.messages[0].caption, "Save error");
        EXPECT_EQ(view.text(Control::Status), "Save error.");
        EXPECT_TRUE(fs::exists(dir / "bad.recpart"));
    }
    {
        SCOPED_TRACE("no files at all");
        FakeView view;
        FakeDialogs dialogs;
        finish_stopped(mixed({}), true, view, dialogs);
        ASSERT_EQ(view.messages.size(), 1u);
        EXPECT_EQ(view.messages[0].text, "No audio was recorded.");
        EXPECT_EQ(view.messages[0].caption, "Nothing recorded");
        EXPECT_EQ(view.messages[0].icon, MessageIcon::Information);
        EXPECT_EQ(view.text(Control::Status), "No audio recorded.");
    }
}

TEST(FinishRecording, SaveAsNamesFollowingPartsAfterTheChosenName) {
    struct Case {
        const char* typed;
        const char* first;   // where the first part lands
        const char* second;  // and the second
        const char* note;    // what the status adds
    };
    const Case cases[] = {
        // Confirmed in the dialog: replaced.
        {"take.wav", "take.wav", "take_part2.wav", ""},
        // ".wav" added here, so nobody confirmed replacing take.wav.
        {"take", "take_1.wav", "take_1_part2.wav", " (names in use, saved as: take_1.wav)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        test::TempDir dir;
        fs::create_directory(dir / "out");
        fs::create_directory(dir / "chosen");
        const auto a = recpart_with_peak(dir / "out" / "recording_x.recpart", 0.9f);
        const auto b = recpart_with_peak(dir / "out" / "recording_x_part2.recpart", 0.9f);
        test::write_bytes(dir / "chosen" / "take.wav", {'o', 'l', 'd'});
        FakeView view;
        FakeDialogs dialogs;
        dialogs.save_as_answer = dir / "chosen" / c.typed;
        finish_stopped(mixed({a, b}), true, view, dialogs);
        ASSERT_EQ(dialogs.save_as_suggestions.size(), 1u);
        EXPECT_EQ(dialogs.save_as_suggestions[0], fs::path("recording_x.wav"));
        EXPECT_TRUE(view.messages.empty());
        EXPECT_EQ(view.text(Control::Status),
                  "Saved 2 parts: " + path_display(dir / "chosen" / c.first) + c.note);
        EXPECT_GT(fs::file_size(dir / "chosen" / c.first), 3u);
        EXPECT_TRUE(fs::exists(dir / "chosen" / c.second));
        EXPECT_FALSE(fs::exists(wav_of(a)));
    }
}

TEST(FinishRecording, SaveAsNeverLosesAFile) {
    struct Case {
        const char* name;
        const char* chosen;            // relative to the output folder
        std::vector<const char*> end;  // every file in it afterwards
        const char* status;            // empty: an error is shown
    };
    const Case cases[] = {
        {"onto its own file", "rec.wav", {"rec.wav", "rec_part2.wav"}, "Saved 2 parts: rec.wav"},
        {"onto one of its own parts", "rec_part2.wav", {"rec.wav", "rec_part2.wav"}, ""},
        {"parts never replace a file nobody confirmed",
         "take.wav",
         {"take.wav", "take_part2.wav", "take_part2_1.wav"},
         "Saved 2 parts: take.wav (names in use, saved as: take_part2_1.wav)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        const auto a = recpart_with_peak(dir / "rec.recpart", 0.9f, 800);
        const auto b = recpart_with_peak(dir / "rec_part2.recpart", 0.9f, 400);
        test::write_bytes(dir / "take_part2.wav", {'o', 'l', 'd'});
        FakeView view;
        FakeDialogs dialogs;
        dialogs.save_as_answer = dir / c.chosen;
        finish_stopped(mixed({a, b}), true, view, dialogs);
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir.path()))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        std::vector<std::string> end(c.end.begin(), c.end.end());
        end.push_back("take_part2.wav");
        std::sort(end.begin(), end.end());
        end.erase(std::unique(end.begin(), end.end()), end.end());
        EXPECT_EQ(names, end);
        EXPECT_EQ(test::read_bytes(dir / "take_part2.wav"),
                  (std::vector<std::uint8_t>{'o', 'l', 'd'}));
        if (*c.status) {
            EXPECT_TRUE(view.messages.empty());
            const std::string status = view.text(Control::Status);
            EXPECT_EQ(status.substr(0, status.find(':') + 2) + status.substr(status.rfind('/') + 1),
                      c.status)
                << status;
        } else {
            ASSERT_EQ(view.messages.size(), 1u);
            EXPECT_EQ(view.messages[0].caption, "Save As error");
        }
        // Whatever happened, both recordings' samples are still somewhere.
        std::vector<std::uintmax_t> sizes;
        for (const auto& name : names)
            if (name != "take_part2.wav")
                sizes.push_back(fs::file_size(dir / name));
        std::sort(sizes.begin(), sizes.end());
        EXPECT_EQ(sizes, (std::vector<std::uintmax_t>{58 + 1600, 58 + 3200}));
    }
}

TEST(FinishRecording, SaveAsCancelledOrFailingKeepsTheFiles) {
    {
        SCOPED_TRACE("cancelled");
        test::TempDir dir;
        const auto a = recpart_with_peak(dir / "r.recpart", 0.9f);
        FakeView view;
        FakeDialogs dialogs;  // cancels
        finish_stopped(mixed({a}), true, view, dialogs);
        EXPECT_EQ(view.text(Control::Status), "Saved: " + path_display(wav_of(a)));
        EXPECT_TRUE(fs::exists(wav_of(a)));
    }
    {
        SCOPED_TRACE("the chosen folder does not exist");
        test::TempDir dir;
        const auto a = recpart_with_peak(dir / "r.recpart", 0.9f);
        FakeView view;
        FakeDialogs dialogs;
        dialogs.save_as_answer = dir / "missing" / "take.wav";
        finish_stopped(mixed({a}), true, view, dialogs);
        ASSERT_EQ(view.messages.size(), 1u);
        EXPECT_TRUE(view.messages[0].text.starts_with("Save As error: "));
        EXPECT_TRUE(view.messages[0].text.ends_with(
            "\n\nAny files that were not moved are still in:\n" + path_display(dir.path())));
        EXPECT_EQ(view.messages[0].caption, "Save As error");
        EXPECT_EQ(view.text(Control::Status), "Save As error.");
        EXPECT_TRUE(fs::exists(wav_of(a)));
    }
}

struct StemsSession {
    test::TempDir dir;
    fs::path output = dir / "out";
    fs::path session = output / "recording_20260101_000000";
    FileList parts;
    StemsSession() {
        fs::create_directories(session);
        parts.push_back(recpart_with_peak(session / "loopback.recpart", 0.1f));
        parts.push_back(recpart_with_peak(session / "mic.recpart", 0.1f));
        test::write_bytes(session / "instructions.txt", {'#', '\n'});
    }
    StopResult result(bool created) const {
        StopResult r = mixed(parts, 1, 2);
        r.stems = true;
        r.output_dir = output;
        r.created = created;
        return r;
    }
};

TEST(FinishRecording, StemsMoveNeverOverwritesAndRemovesTheEmptiedFolders) {
    StemsSession s;
    const fs::path target = s.dir / "target";
    fs::create_directory(target);
    test::write_bytes(target / "mic.wav", {'o', 'l', 'd'});
    FakeView view;
    FakeDialogs dialogs;
    dialogs.folder_answer = std::optional<fs::path>(target);
    finish_stopped(s.result(true), true, view, dialogs);

    EXPECT_TRUE(view.questions.empty());
    EXPECT_TRUE(view.messages.empty());
    EXPECT_EQ(test::read_bytes(target / "mic.wav"), (std::vector<std::uint8_t>{'o', 'l', 'd'}));
    EXPECT_TRUE(fs::exists(target / "mic_1.wav"));
    EXPECT_TRUE(fs::exists(target / "loopback.wav"));
    EXPECT_TRUE(fs::exists(target / "instructions.txt"));
    EXPECT_FALSE(fs::exists(s.session));
    EXPECT_FALSE(fs::exists(s.output));  // created for this recording, now empty
    const std::string status = view.text(Control::Status);
    EXPECT_TRUE(status.starts_with("Saved 2 stems: " + path_display(target))) << status;
}

TEST(FinishRecording, StemsFolderChoicesThatMoveNothing) {
    {
        SCOPED_TRACE("the session folder itself");
        StemsSession s;
        FakeView view;
        FakeDialogs dialogs;
        dialogs.folder_answer = std::optional<fs::path>(s.session);
        finish_stopped(s.result(true), true, view, dialogs);
        EXPECT_EQ(view.text(Control::Status),
                  "Saved 2 stems: " + path_display(s.session / "loopback.wav"));
        EXPECT_TRUE(fs::exists(s.session / "instructions.txt"));
    }
    {
        SCOPED_TRACE("picker error");
        StemsSession s;
        FakeView view;
        FakeDialogs dialogs;
        dialogs.folder_answer =
            fail(ErrorKind::Other, "the folder picker failed (error 0x80004005)");
        finish_stopped(s.result(false), true, view, dialogs);
        ASSERT_EQ(view.messages.size(), 1u);
        EXPECT_EQ(view.messages[0].text,
                  "Save As error: the folder picker failed (error 0x80004005)\n\nAny files that "
                  "were not moved are still in:\n" +
                      path_display(s.session));
        EXPECT_EQ(view.messages[0].caption, "Save As error");
        EXPECT_EQ(view.text(Control::Status), "Save As error.");
    }
}

TEST(MoveFile, ReplaceOrRefuseAnExistingDestination) {
    test::TempDir dir;
    test::write_bytes(dir / "a", {'a'});
    test::write_bytes(dir / "b", {'b'});
    const auto refused = move_file(dir / "a", dir / "b", false);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().kind, ErrorKind::AlreadyExists);
    EXPECT_EQ(refused.error().text, path_display(dir / "b") + " already exists");
    EXPECT_TRUE(fs::exists(dir / "a"));

    ASSERT_TRUE(move_file(dir / "a", dir / "b", true).has_value());
    EXPECT_FALSE(fs::exists(dir / "a"));
    EXPECT_EQ(test::read_bytes(dir / "b"), (std::vector<std::uint8_t>{'a'}));

    const auto missing = move_file(dir / "gone", dir / "c", false);
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error().kind, ErrorKind::NotFound);

    // Another name for the same file (a hard link here, letter case on
    // Windows) is the file itself: nothing moves, nothing is deleted.
    fs::create_hard_link(dir / "b", dir / "b_link");
    ASSERT_TRUE(move_file(dir / "b", dir / "b_link", true).has_value());
    EXPECT_EQ(test::read_bytes(dir / "b"), (std::vector<std::uint8_t>{'a'}));
    EXPECT_EQ(test::read_bytes(dir / "b_link"), (std::vector<std::uint8_t>{'a'}));
}

}  // namespace
}  // namespace kestrune
