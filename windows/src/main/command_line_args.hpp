#pragma once
// The process arguments as the platform splits the main program's command line.

#include <string>
#include <vector>

namespace kestrune::win {

// Splits command_line by the rules of CommandLineToArgvW and drops the first
// element (the program path). Unpaired surrogates become U+FFFD.
[[nodiscard]] std::vector<std::string> command_line_args(const wchar_t* command_line);

}  // namespace kestrune::win
