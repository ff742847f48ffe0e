#pragma once
// The default output endpoint's identifier, process-wide and set once: the
// first identifier stored wins, even if the default device changes later.
// Lists of output endpoints leave that endpoint out.

#include <optional>
#include <string>

namespace kestrune::win {

[[nodiscard]] std::optional<std::string> default_render_id();

// True when this call stored the identifier.
bool store_default_render_id(std::string id);

}  // namespace kestrune::win
