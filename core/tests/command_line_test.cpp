#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/command_line.hpp"
#include "cli/preset_words.hpp"
#include "cli/usage.hpp"

namespace kestrune {
namespace {

using Args = std::vector<std::string>;

constexpr OutputFormat CD{44100, 2, 16, false};
constexpr OutputFormat STUDIO{48000, 2, 24, false};
constexpr OutputFormat HIRES{96000, 2, 24, false};
constexpr OutputFormat HIRES_FLOAT{96000, 2, 32, true};

std::string describe(const Args& args) {
    std::string text;
    for (const auto& a : args)
        text += "[" + a + "]";
    return text;
}

CliOptions options_with(void (*edit)(CliOptions&)) {
    CliOptions o;
    edit(o);
    return o;
}

TEST(ParseCommandLine, ValidArgumentListsGiveOptions) {
    struct Case {
        Args args;
        CliOptions expected;
    };
    const std::vector<Case> cases = {
        {{}, CliOptions{}},
        {{"-d", "10", "-d", "20"}, options_with([](CliOptions& o) { o.duration_secs = 20; })},
        {{"--duration", "+007"}, options_with([](CliOptions& o) { o.duration_secs = 7; })},
        {{"-d", "0"}, options_with([](CliOptions& o) { o.duration_secs = 0; })},
        {{"-d", "18446744073709551615"},
         options_with([](CliOptions& o) { o.duration_secs = 18446744073709551615ull; })},
        {{"-d", "00000000000000000000000018446744073709551615"},
         options_with([](CliOptions& o) { o.duration_secs = 18446744073709551615ull; })},
        {{"--mic", "-m"}, options_with([](CliOptions& o) { o.mic = true; })},
        {{"--repair"}, options_with([](CliOptions& o) { o.repair = true; })},
        {{"--stems"}, options_with([](CliOptions& o) { o.mode = RecordingMode::StemsInstructed; })},
        {{"--stems", "--stems-silence"},
         options_with([](CliOptions& o) { o.mode = RecordingMode::StemsSilence; })},
        {{"--stems-silence", "--stems"},
         options_with([](CliOptions& o) { o.mode = RecordingMode::StemsInstructed; })},
        {{"--format", "cd"}, options_with([](CliOptions& o) { o.format = CD; })},
        {{"--format", "studio"}, options_with([](CliOptions& o) { o.format = STUDIO; })},
        {{"--format", "hires"}, options_with([](CliOptions& o) { o.format = HIRES; })},
        {{"--format", "hires-float"}, options_with([](CliOptions& o) { o.format = HIRES_FLOAT; })},
        {{"--format", "cd", "--format", "auto"}, CliOptions{}},
        {{"--format", "auto", "--format", "studio"},
         options_with([](CliOptions& o) { o.format = STUDIO; })},
        // Values are taken verbatim, even when they look like options.
        {{"--output", "--mic"}, options_with([](CliOptions& o) { o.output = "--mic"; })},
        {{"--output", "--help"}, options_with([](CliOptions& o) { o.output = "--help"; })},
        {{"-o", ""}, options_with([](CliOptions& o) { o.output = ""; })},
        {{"-o", "a", "--output", "C:\\Rec ords\\b"},
         options_with([](CliOptions& o) { o.output = "C:\\Rec ords\\b"; })},
        // What a malformed UTF-16 argument becomes after conversion.
        {{"-o", "x\xEF\xBF\xBDy"},
         options_with([](CliOptions& o) { o.output = "x\xEF\xBF\xBDy"; })},
        {{"-o", "\xFF\xFE"}, options_with([](CliOptions& o) { o.output = "\xFF\xFE"; })},
        {{"--mic", "--duration", "5", "--stems", "-o", "out", "--format", "hires", "--repair"},
         options_with([](CliOptions& o) {
             o.mic = true;
             o.duration_secs = 5;
             o.mode = RecordingMode::StemsInstructed;
             o.output = "out";
             o.format = HIRES;
             o.repair = true;
         })},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(describe(c.args));
        const CliOutcome outcome = parse_command_line(c.args);
        ASSERT_TRUE(std::holds_alternative<CliOptions>(outcome));
        EXPECT_EQ(std::get<CliOptions>(outcome), c.expected);
    }
}

TEST(ParseCommandLine, FirstHelpOrErrorEndsParsing) {
    const std::string cd_error =
        "Unknown format preset 'CD'. Valid options: auto, cd, studio, hires, hires-float";
    struct Case {
        Args args;
        CliOutcome expected;
    };
    const std::vector<Case> cases = {
        {{"--help"}, HelpRequest{}},
        {{"-h"}, HelpRequest{}},
        {{"--mic", "--help"}, HelpRequest{}},
        {{"--help", "--bogus"}, HelpRequest{}},
        {{"--help", "--duration"}, HelpRequest{}},
        {{"--bogus", "--help"}, CliError{"Unknown argument: --bogus"}},
        {{"--stem"}, CliError{"Unknown argument: --stem"}},
        {{"--Help"}, CliError{"Unknown argument: --Help"}},
        {{"-mh"}, CliError{"Unknown argument: -mh"}},
        {{"--output=x"}, CliError{"Unknown argument: --output=x"}},
        {{"--"}, CliError{"Unknown argument: --"}},
        {{""}, CliError{"Unknown argument: "}},
        {{"x\xEF\xBF\xBD"}, CliError{"Unknown argument: x\xEF\xBF\xBD"}},
        {{"--output"}, CliError{"--output requires a path"}},
        {{"-o"}, CliError{"--output requires a path"}},
        {{"--duration"}, CliError{"--duration requires a number"}},
        {{"-d", "-5"}, CliError{"--duration requires a number"}},
        {{"-d", "1.5"}, CliError{"--duration requires a number"}},
        {{"-d", ""}, CliError{"--duration requires a number"}},
        {{"-d", "+"}, CliError{"--duration requires a number"}},
        {{"-d", "++1"}, CliError{"--duration requires a number"}},
        {{"-d", " 1"}, CliError{"--duration requires a number"}},
        {{"-d", "1 "}, CliError{"--duration requires a number"}},
        {{"-d", "1e3"}, CliError{"--duration requires a number"}},
        {{"-d", "0x10"}, CliError{"--duration requires a number"}},
        {{"-d", "18446744073709551616"}, CliError{"--duration requires a number"}},
        {{"-d", "99999999999999999999"}, CliError{"--duration requires a number"}},
        {{"-d", "--help"}, CliError{"--duration requires a number"}},
        {{"--format"}, CliError{"--format requires a value"}},
        {{"--format", "CD"}, CliError{cd_error}},
        {{"--format", "Auto"},
         CliError{"Unknown format preset 'Auto'. Valid options: auto, cd, studio, hires, "
                  "hires-float"}},
        {{"--format", "cd", "--format", "cd "},
         CliError{"Unknown format preset 'cd '. Valid options: auto, cd, studio, hires, "
                  "hires-float"}},
        {{"--format", "--help"},
         CliError{"Unknown format preset '--help'. Valid options: auto, cd, studio, hires, "
                  "hires-float"}},
        {{"-d", "5", "--format", "CD", "--bogus"}, CliError{cd_error}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(describe(c.args));
        EXPECT_EQ(parse_command_line(c.args), c.expected);
    }
}

TEST(FindPreset, MatchesWholeKeysCaseSensitively) {
    EXPECT_EQ(find_preset("cd"), std::optional<std::optional<OutputFormat>>(CD));
    EXPECT_EQ(find_preset("hires-float"), std::optional<std::optional<OutputFormat>>(HIRES_FLOAT));
    for (const char* word : {"CD", "auto", "", "hires-", "Auto (match source)", "cdx"}) {
        SCOPED_TRACE(word);
        EXPECT_FALSE(find_preset(word).has_value());
    }
}

TEST(Usage, TextIsExact) {
    const std::string expected =
        "Usage: kestrune [OPTIONS]\n"
        "\n"
        "Options:\n"
        "  --duration <secs>     Start recording immediately, stop after <secs> seconds\n"
        "  --mic                 Include microphone input\n"
        "  --output <dir>        Output directory\n"
        "  --repair              Repair incomplete .recpart files and exit\n"
        "  --stems               Record one file per source (instructed mode)\n"
        "  --stems-silence       Record one file per source, inserting silence for gaps\n"
        "  --format <preset>     Output quality (default: auto)\n"
        "    auto                  Match native device format\n"
        "    cd                    CD quality  \xE2\x80\x94  44.1 kHz / 16-bit\n"
        "    studio                Studio  \xE2\x80\x94  48 kHz / 24-bit\n"
        "    hires                 High-res  \xE2\x80\x94  96 kHz / 24-bit\n"
        "    hires-float           High-res float  \xE2\x80\x94  96 kHz / 32-bit float\n"
        "\n"
        "  Note: Fixed presets always produce stereo output. Use --format auto\n"
        "  to preserve mono sources when recording stems.\n"
        "  --help                Show this message\n";
    EXPECT_EQ(usage_text(), expected);
}

TEST(Usage, PresetDescriptionsStartInColumn27) {
    const std::string text = usage_text();
    for (const char* key : {"auto", "cd", "studio", "hires", "hires-float"}) {
        SCOPED_TRACE(key);
        const std::string start = std::string("\n    ") + key + " ";
        const std::size_t line = text.find(start);
        ASSERT_NE(line, std::string::npos);
        const std::size_t description = text.find_first_not_of(' ', line + start.size());
        EXPECT_EQ(description - (line + 1), 26u);
    }
}

}  // namespace
}  // namespace kestrune
