#pragma once
// The names a recording gets on disk.

#include <cstdint>
#include <string>
#include <string_view>

#include "source_spec.hpp"

namespace kestrune {

// UTC as YYYY-MM-DD_hh-mm (proleptic Gregorian, no seconds).
[[nodiscard]] std::string session_timestamp(std::uint64_t seconds_since_1970);

// "loopback", "mic", or the sanitized device name.
[[nodiscard]] std::string stem_label(const SourceSpec& spec);

// Keeps Unicode letters and digits and " -[]()", turns everything else into
// "_", collapses runs of "_", drops them at the ends and trims spaces.
[[nodiscard]] std::string sanitize_label(std::string_view name);

}  // namespace kestrune
