#pragma once
// --repair: one line per file found, on the console.

#include <filesystem>

#include "cli/console_output.hpp"

namespace kestrune {

// Repairs dir and reports every result; failures never end the run.
void run_console_repair(const std::filesystem::path& dir, ConsoleOutput& console);

}  // namespace kestrune
