#pragma once
// The argument list, turned into options, a help request or one error line.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "output_format.hpp"
#include "recording_mode.hpp"

namespace kestrune {

struct CliOptions {
    std::optional<std::uint64_t> duration_secs;
    std::optional<std::string> output;  // verbatim UTF-8
    bool mic = false;
    bool repair = false;
    RecordingMode mode = RecordingMode::SingleFile;
    std::optional<OutputFormat> format;  // absent: automatic

    friend bool operator==(const CliOptions&, const CliOptions&) = default;
};

struct HelpRequest {
    friend bool operator==(const HelpRequest&, const HelpRequest&) = default;
};

struct CliError {
    std::string text;  // one line, without its line feed

    friend bool operator==(const CliError&, const CliError&) = default;
};

using CliOutcome = std::variant<CliOptions, HelpRequest, CliError>;

// args excludes the program name. Arguments are UTF-8 text; arbitrary bytes
// are tolerated and compared as they are.
[[nodiscard]] CliOutcome parse_command_line(const std::vector<std::string>& args);

}  // namespace kestrune
