#include "main/session_locations_win.hpp"

#include <windows.h>

#include <shlobj.h>

#include <string>
#include <system_error>

#include "common/com.hpp"

namespace kestrune::win {

std::optional<std::filesystem::path> WinSessionLocations::working_dir() const {
    std::error_code ec;
    auto dir = std::filesystem::current_path(ec);
    if (ec)
        return std::nullopt;
    return dir;
}

std::optional<std::filesystem::path> WinSessionLocations::program_path() const {
    // Long paths: grow until the name fits.
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n =
            ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0)
            return std::nullopt;
        if (n < buffer.size()) {
            buffer.resize(n);
            return std::filesystem::path(buffer);
        }
        if (buffer.size() >= 32768)
            return std::nullopt;
        buffer.resize(buffer.size() * 2);
    }
}

std::optional<std::filesystem::path> WinSessionLocations::documents_dir() const {
    CoTaskMemPtr<wchar_t> path;
    if (FAILED(::SHGetKnownFolderPath(FOLDERID_Documents, 0, nullptr, path.put())) || !path) {
        return std::nullopt;
    }
    return std::filesystem::path(path.get());
}

}  // namespace kestrune::win
