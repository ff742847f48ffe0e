#include "cli/command_line.hpp"

#include <limits>
#include <string_view>

#include "cli/preset_words.hpp"

namespace kestrune {
namespace {

// Unsigned decimal with an optional single leading '+'; nothing else.
std::optional<std::uint64_t> parse_duration(std::string_view text) {
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    if (text.empty())
        return std::nullopt;
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (max - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace

CliOutcome parse_command_line(const std::vector<std::string>& args) {
    CliOptions options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        // Values are always the next argument, even when it looks like an option.
        const std::string* value = i + 1 < args.size() ? &args[i + 1] : nullptr;

        if (arg == "-h" || arg == "--help")
            return HelpRequest{};
        if (arg == "-m" || arg == "--mic") {
            options.mic = true;
        } else if (arg == "--stems") {
            options.mode = RecordingMode::StemsInstructed;
        } else if (arg == "--stems-silence") {
            options.mode = RecordingMode::StemsSilence;
        } else if (arg == "--repair") {
            options.repair = true;
        } else if (arg == "-o" || arg == "--output") {
            if (!value)
                return CliError{"--output requires a path"};
            options.output = *value;
            ++i;
        } else if (arg == "-d" || arg == "--duration") {
            const std::optional<std::uint64_t> secs = value ? parse_duration(*value) : std::nullopt;
            if (!secs)
                return CliError{"--duration requires a number"};
            options.duration_secs = secs;
            ++i;
        } else if (arg == "--format") {
            if (!value)
                return CliError{"--format requires a value"};
            if (*value == "auto") {
                options.format.reset();
            } else if (const auto preset = find_preset(*value)) {
                options.format = *preset;
            } else {
                return CliError{invalid_preset_message(*value)};
            }
            ++i;
        } else {
            return CliError{"Unknown argument: " + std::string(arg)};
        }
    }
    return options;
}

}  // namespace kestrune
