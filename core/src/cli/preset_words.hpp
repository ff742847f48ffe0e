#pragma once
// The words --format accepts, looked up in the quality table.

#include <optional>
#include <string>
#include <string_view>

#include "output_format.hpp"

namespace kestrune {

// The format of the quality row whose key is exactly word (case-sensitive).
// Outer absent: no row has that key; inner absent: the row has no format.
[[nodiscard]] std::optional<std::optional<OutputFormat>> find_preset(std::string_view word);

// "Unknown format preset '<word>'. Valid options: auto, cd, ..." with every key
// of the table in order.
[[nodiscard]] std::string invalid_preset_message(std::string_view word);

}  // namespace kestrune
