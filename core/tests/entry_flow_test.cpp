#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "cli/entry_flow.hpp"
#include "cli/usage.hpp"
#include "support/bytes.hpp"
#include "support/recpart_fixture.hpp"
#include "support/temp_dir.hpp"
#include "text/path_text.hpp"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Args = std::vector<std::string>;

constexpr OutputFormat PCM16_STEREO{44100, 2, 16, false};
const Clock::time_point NOW = Clock::time_point(std::chrono::hours(1000));

class FakeHost final : public EntryHost {
public:
    std::string out, err;
    int console_prepared = 0;
    std::optional<GuiStartup> gui;
    int gui_exit_code = 7;

    Clock::time_point now() override { return NOW; }
    void prepare_console() override { ++console_prepared; }
    void write_out(std::string_view text) override {
        EXPECT_EQ(console_prepared, 1) << "console output before the console was prepared";
        out += text;
    }
    void write_err(std::string_view text) override {
        EXPECT_EQ(console_prepared, 1) << "console output before the console was prepared";
        err += text;
    }
    int run_gui(const GuiStartup& startup) override {
        gui = startup;
        return gui_exit_code;
    }
};

// Runs a test body with the working directory moved to a fresh folder.
class RunEntryInTempDir : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = fs::current_path();
        fs::current_path(dir_.path());
    }
    void TearDown() override { fs::current_path(previous_); }

    test::TempDir dir_;
    fs::path previous_;
};

std::string join(const Args& args) {
    std::string s;
    for (const auto& a : args)
        s += "[" + a + "]";
    return s;
}

TEST(RunEntry, HelpAndArgumentErrorsEndOnTheConsole) {
    const std::string usage = usage_text();
    struct Case {
        Args args;
        int exit_code;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{"--help"}, 0, usage},
        {{"-d", "5", "--mic", "-h"}, 0, usage},
        {{"--help", "--bogus"}, 0, usage},
        {{"--format", "CD"},
         1,
         "Unknown format preset 'CD'. Valid options: auto, cd, studio, hires, hires-float\n" +
             usage},
        {{"--bogus", "--help"}, 1, "Unknown argument: --bogus\n" + usage},
        {{"--repair", "-o"}, 1, "--output requires a path\n" + usage},
        {{"--duration", "soon"}, 1, "--duration requires a number\n" + usage},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(join(c.args));
        FakeHost host;
        EXPECT_EQ(run_entry(c.args, host), c.exit_code);
        EXPECT_EQ(host.err, c.err);
        EXPECT_EQ(host.out, "");
        EXPECT_EQ(host.console_prepared, 1);
        EXPECT_FALSE(host.gui.has_value());
    }
}

TEST(RunEntry, RepairReportsEveryFileAndIgnoresOtherOptions) {
    test::TempDir dir;
    test::write_crashed_recpart(dir / "good.recpart", PCM16_STEREO, 10);
    test::write_bytes(dir / "empty.recpart", {});
    FakeHost host;
    const Args args = {"--duration", "5", "--repair", "--stems", "-o", path_display(dir.path()),
                       "--format",   "cd"};
    EXPECT_EQ(run_entry(args, host), 0);
    EXPECT_FALSE(host.gui.has_value());
    EXPECT_EQ(host.out, "Repaired: " + path_display(dir / "good.recpart") + " -> " +
                            path_display(dir / "good.wav") + "\n");
    EXPECT_EQ(host.err,
              "Failed " + path_display(dir / "empty.recpart") + ": failed to fill whole buffer\n");
    EXPECT_TRUE(fs::exists(dir / "good.wav"));
}

TEST(RunEntry, RepairWithNothingToDoSaysSo) {
    test::TempDir dir;
    test::write_bytes(dir / "take.wav", {});
    for (const fs::path& target : {dir.path(), dir / "missing"}) {
        SCOPED_TRACE(target.string());
        FakeHost host;
        EXPECT_EQ(run_entry({"--repair", "--output", path_display(target)}, host), 0);
        EXPECT_EQ(host.out, "No incomplete recordings found in " + path_display(target) + "\n");
        EXPECT_EQ(host.err, "");
    }
}

TEST_F(RunEntryInTempDir, RepairWithoutOutputUsesTheDefaultFolder) {
    fs::create_directory(dir_ / "kestrune");
    test::write_crashed_recpart(dir_ / "kestrune" / "a.recpart", PCM16_STEREO, 4);
    test::write_crashed_recpart(dir_ / "b.recpart", PCM16_STEREO, 4);
    FakeHost host;
    EXPECT_EQ(run_entry({"--repair"}, host), 0);
    const fs::path folder = fs::current_path() / "kestrune";
    EXPECT_EQ(host.out, "Repaired: " + path_display(folder / "a.recpart") + " -> " +
                            path_display(folder / "a.wav") + "\n");
    EXPECT_TRUE(fs::exists(dir_ / "b.recpart"));
}

TEST_F(RunEntryInTempDir, WindowWithoutDurationOpensWithDefaults) {
    const std::string default_folder = path_display(fs::current_path() / "kestrune");
    for (const Args& args : {Args{}, Args{"--mic"}, Args{"--stems", "-o", "x", "--format", "cd"}}) {
        SCOPED_TRACE(join(args));
        FakeHost host;
        EXPECT_EQ(run_entry(args, host), 7);
        EXPECT_EQ(host.console_prepared, 0);
        ASSERT_TRUE(host.gui.has_value());
        const WindowConfig& c = host.gui->config;
        EXPECT_EQ(c.output_folder, default_folder);
        EXPECT_TRUE(c.devices.empty());
        EXPECT_FALSE(c.format.has_value());
        EXPECT_TRUE(c.loopback);
        EXPECT_FALSE(c.mic);
        EXPECT_EQ(c.mode, RecordingMode::SingleFile);
        EXPECT_FALSE(host.gui->auto_start.has_value());
        EXPECT_FALSE(host.gui->deadline.has_value());
    }
}

TEST_F(RunEntryInTempDir, DurationStartsATimedRecording) {
    FakeHost host;
    host.gui_exit_code = 0;
    EXPECT_EQ(run_entry({"--mic", "-d", "5", "--stems-silence", "--format", "hires-float", "-o",
                         "Aufnahmen \xC3\xBC"},
                        host),
              0);
    EXPECT_EQ(host.console_prepared, 0);
    ASSERT_TRUE(host.gui.has_value());
    ASSERT_TRUE(host.gui->auto_start.has_value());
    const AutoStart& a = *host.gui->auto_start;
    EXPECT_EQ(a.duration_secs, 5u);
    EXPECT_EQ(path_display(a.options.output_dir), "Aufnahmen \xC3\xBC");
    EXPECT_TRUE(a.options.devices.empty());
    EXPECT_EQ(a.options.format, (OutputFormat{96000, 2, 32, true}));
    EXPECT_TRUE(a.options.loopback);
    EXPECT_TRUE(a.options.mic);
    EXPECT_EQ(a.options.mode, RecordingMode::StemsSilence);
    const WindowConfig& c = host.gui->config;
    EXPECT_EQ(c.output_folder, "Aufnahmen \xC3\xBC");
    EXPECT_EQ(c.format, a.options.format);
    EXPECT_TRUE(c.mic);
    EXPECT_EQ(c.mode, RecordingMode::StemsSilence);
    EXPECT_EQ(host.gui->deadline, NOW + std::chrono::seconds(5));

    FakeHost defaults;
    EXPECT_EQ(run_entry({"-d", "0"}, defaults), 7);
    ASSERT_TRUE(defaults.gui && defaults.gui->auto_start);
    EXPECT_EQ(defaults.gui->auto_start->options.output_dir, fs::current_path() / "kestrune");
    EXPECT_EQ(defaults.gui->config.output_folder, path_display(fs::current_path() / "kestrune"));
    EXPECT_FALSE(defaults.gui->auto_start->options.mic);
    EXPECT_EQ(defaults.gui->deadline, NOW);
}

TEST(SaturatingDeadline, AddsWholeSecondsAndSaturatesAtTheClocksEnd) {
    using std::chrono::seconds;
    const Clock::time_point max = Clock::time_point::max();
    const auto max_secs =
        static_cast<std::uint64_t>(std::chrono::duration_cast<seconds>(max - NOW).count());
    struct Case {
        const char* name;
        Clock::time_point now;
        std::uint64_t secs;
        Clock::time_point expected;
    };
    const Case cases[] = {
        {"zero", NOW, 0, NOW},
        {"an hour", NOW, 3600, NOW + std::chrono::hours(1)},
        {"the last whole second that fits", NOW, max_secs, NOW + seconds(max_secs)},
        {"one more", NOW, max_secs + 1, max},
        {"largest duration", NOW, UINT64_MAX, max},
        {"beyond the duration type", NOW, static_cast<std::uint64_t>(INT64_MAX), max},
        {"at the end already", max, 1, max},
        {"at the end, zero", max, 0, max},
        {"before the epoch", Clock::time_point::min(), 10, Clock::time_point::min() + seconds(10)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(saturating_deadline(c.now, c.secs), c.expected);
    }
}

}  // namespace
}  // namespace kestrune
