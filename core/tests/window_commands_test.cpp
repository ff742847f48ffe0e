#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "controller/commands.hpp"
#include "files/recpart_writer.hpp"
#include "support/bytes.hpp"
#include "support/fake_view.hpp"
#include "support/recpart_fixture.hpp"
#include "support/temp_dir.hpp"
#include "text/path_text.hpp"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using test::FakeDialogs;
using test::FakeView;

constexpr OutputFormat PCM16_STEREO{44100, 2, 16, false};

TEST(RepairCommand, CountsWhatItFoundInTheTypedFolder) {
    test::TempDir dir;
    const std::string typed = path_display(dir.path());
    {
        SCOPED_TRACE("nothing to repair");
        FakeView view;
        view.set_text(Control::Output, typed);
        run_repair_command(view);
        ASSERT_EQ(view.messages.size(), 1u);
        EXPECT_EQ(view.messages[0].text,
                  "No incomplete recordings found.\n\nDirectory checked:\n" + typed);
        EXPECT_EQ(view.messages[0].caption, "Repair Results");
        EXPECT_EQ(view.messages[0].icon, MessageIcon::Information);
    }
    {
        SCOPED_TRACE("three files, one beyond repair");
        test::write_crashed_recpart(dir / "a.recpart", PCM16_STEREO, 400);
        test::write_crashed_recpart(dir / "b.recpart", PCM16_STEREO, 40);
        test::write_bytes(dir / "c.recpart", {'j', 'u', 'n', 'k'});
        FakeView view;
        view.set_text(Control::Output, typed);
        run_repair_command(view);
        ASSERT_EQ(view.messages.size(), 1u);
        EXPECT_EQ(view.messages[0].text,
                  "3 incomplete recording(s) found.\n2 repaired successfully.\n1 failed to "
                  "repair.\n\nDirectory checked:\n" +
                      typed);
        EXPECT_EQ(view.messages[0].icon, MessageIcon::Information);
        EXPECT_TRUE(view.statuses.empty());  // the status label is left alone
    }
    {
        SCOPED_TRACE("a running stem recording in a session folder");
        fs::create_directory(dir / "recording_1");
        test::write_crashed_recpart(dir / "recording_1" / "mic.recpart", PCM16_STEREO, 40);
        auto live = RecpartWriter::create(dir / "recording_1" / "loopback.recpart", PCM16_STEREO);
        ASSERT_TRUE(live.has_value());
        FakeView view;
        view.set_text(Control::Output, typed);
        run_repair_command(view);
        ASSERT_EQ(view.messages.size(), 1u);
        EXPECT_EQ(view.messages[0].text,
                  "2 incomplete recording(s) found.\n1 repaired successfully.\n1 failed to "
                  "repair.\n1 file(s) still being recorded, left alone.\n\nDirectory checked:\n" +
                      typed);
        EXPECT_TRUE(fs::exists(dir / "recording_1" / "mic.wav"));
        EXPECT_TRUE(fs::exists(dir / "recording_1" / "loopback.recpart"));
    }
    {
        SCOPED_TRACE("empty field");
        FakeView view;
        run_repair_command(view);
        ASSERT_EQ(view.messages.size(), 1u);
        EXPECT_EQ(view.messages[0].text, "No incomplete recordings found.\n\nDirectory checked:\n");
    }
}

void write_wav(const fs::path& path, float value) {
    auto writer = RecpartWriter::create(path, OutputFormat{8000, 1, 32, true});
    ASSERT_TRUE(writer.has_value());
    FileList unused;
    const std::vector<float> samples(400, value);
    ASSERT_TRUE(writer->write_block(samples, path.string() + ".next", unused).has_value());
    ASSERT_TRUE(writer->finish().has_value());
}

TEST(NormalizeCommand, ReportsEachOutcomeInABoxAndThenTheStatus) {
    test::TempDir dir;
    write_wav(dir / "quiet.wav", 0.25f);
    write_wav(dir / "full.wav", 1.0f);
    write_wav(dir / "silent.wav", 0.0f);
    test::write_bytes(dir / "broken.wav", {'x'});
    struct Case {
        fs::path file;
        std::string prefix;
        std::string caption;
        MessageIcon icon;
    };
    const Case cases[] = {
        {dir / "quiet.wav", "Normalized: ", "Normalize complete", MessageIcon::Information},
        {dir / "full.wav", "Already at peak, no change: ", "Normalize skipped",
         MessageIcon::Information},
        {dir / "silent.wav", "Already at peak, no change: ", "Normalize skipped",
         MessageIcon::Information},
        {dir / "broken.wav", "Normalize failed: ", "Normalize error", MessageIcon::Error},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file.string());
        FakeView view;
        FakeDialogs dialogs;
        dialogs.open_answer = c.file;
        run_normalize_command(view, dialogs);
        ASSERT_EQ(view.messages.size(), 1u);
        const std::string& text = view.messages[0].text;
        EXPECT_TRUE(text.starts_with(c.prefix)) << text;
        if (c.icon != MessageIcon::Error) {
            EXPECT_EQ(text, c.prefix + path_display(c.file));
        }
        EXPECT_EQ(view.messages[0].caption, c.caption);
        EXPECT_EQ(view.messages[0].icon, c.icon);
        EXPECT_EQ(view.text(Control::Status), text);
    }
}

TEST(NormalizeCommand, CancelChangesNothing) {
    FakeView view;
    view.set_status("Ready.");
    FakeDialogs dialogs;
    run_normalize_command(view, dialogs);
    EXPECT_EQ(dialogs.open_calls, 1);
    EXPECT_TRUE(view.messages.empty());
    EXPECT_EQ(view.statuses, std::vector<std::string>{"Ready."});
}

}  // namespace
}  // namespace kestrune
