#pragma once
// Texts shown as one: warnings, error lists.

#include <string>
#include <vector>

namespace kestrune {

[[nodiscard]] std::string join(const std::vector<std::string>& parts, const std::string& sep);

}  // namespace kestrune
