#include "record_options.hpp"

#include <system_error>

namespace kestrune {

std::filesystem::path default_output_dir() {
    std::error_code ec;
    std::filesystem::path cwd = std::filesystem::current_path(ec);
    if (ec || cwd.empty()) cwd = ".";
    return cwd / "kestrune";
}

}  // namespace kestrune
