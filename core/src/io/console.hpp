#pragma once
// Background work reports through standard error, one whole line at a time.

#include <string_view>

namespace kestrune {

// Writes text and a line feed to standard error in one call, then flushes.
void write_stderr_line(std::string_view text);

// Writes text as it is to standard output or standard error, then flushes.
void write_stdout(std::string_view text);
void write_stderr(std::string_view text);

}  // namespace kestrune
