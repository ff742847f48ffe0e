#include <windows.h>

#include "common/win_error.hpp"
#include "files/copy_file.hpp"

namespace kestrune {

Result<void> copy_whole_file(const std::filesystem::path& from, const std::filesystem::path& to) {
    // No progress routine, no cancel flag; never over an existing file.
    if (!::CopyFileExW(from.c_str(), to.c_str(), nullptr, nullptr, nullptr,
                       COPY_FILE_FAIL_IF_EXISTS)) {
        return std::unexpected(win::last_error());
    }
    return {};
}

}  // namespace kestrune
