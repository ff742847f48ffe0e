#pragma once
// The usage text of the command line.

#include <string>

namespace kestrune {

// The whole usage text, every line ending in a line feed.
[[nodiscard]] std::string usage_text();

// Writes usage_text() to standard error.
void print_usage();

}  // namespace kestrune
