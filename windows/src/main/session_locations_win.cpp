#include "main/session_locations_win.hpp"

#include <windows.h>

#include <shlobj.h>

#include <string>
#include <system_error>

#include "common/com.hpp"
#include "common/module_path.hpp"

namespace kestrune::win {

std::optional<std::filesystem::path> WinSessionLocations::working_dir() const {
    std::error_code ec;
    auto dir = std::filesystem::current_path(ec);
    if (ec)
        return std::nullopt;
    return dir;
}

std::optional<std::filesystem::path> WinSessionLocations::program_path() const {
    return executable_path();
}

std::optional<std::filesystem::path> WinSessionLocations::documents_dir() const {
    CoTaskMemPtr<wchar_t> path;
    if (FAILED(::SHGetKnownFolderPath(FOLDERID_Documents, 0, nullptr, path.put())) || !path) {
        return std::nullopt;
    }
    return std::filesystem::path(path.get());
}

}  // namespace kestrune::win
