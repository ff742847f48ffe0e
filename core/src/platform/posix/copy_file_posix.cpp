#include <system_error>

#include "files/copy_file.hpp"

namespace kestrune {

Result<void> copy_whole_file(const std::filesystem::path& from, const std::filesystem::path& to) {
    std::error_code ec;
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::none, ec);
    if (ec)
        return std::unexpected(error_from_code(ec));
    return {};
}

}  // namespace kestrune
