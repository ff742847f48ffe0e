#pragma once
// Names under which devices are shown and found. Two endpoints may bear the
// same friendly name (two identical headsets); each must still be listed and
// started on its own.

#include <string>
#include <vector>

namespace kestrune {

// The names in the same order, each repeated one followed by " (2)", " (3)"
// and so on by its place among its namesakes, skipping any that another
// device already bears.
[[nodiscard]] std::vector<std::string> distinct_device_names(const std::vector<std::string>& names);

}  // namespace kestrune
