#include "common/win_error.hpp"

#include <cstdint>

#include "capture/capture_texts.hpp"

#include "common/wide.hpp"

namespace kestrune::win {

std::string hresult_hex(HRESULT hr) {
    return hex_code(static_cast<std::uint32_t>(hr));
}

std::string hr_text(const char* step, HRESULT hr) {
    return step_error(step, static_cast<std::uint32_t>(hr));
}

std::string system_message(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message;
    if (n != 0 && text != nullptr) {
        std::wstring_view view(text, n);
        while (!view.empty() &&
               (view.back() == L'\r' || view.back() == L'\n' || view.back() == L' '))
            view.remove_suffix(1);
        message = to_utf8(view);
    }
    if (text != nullptr)
        ::LocalFree(text);
    if (message.empty())
        message = "Windows error " + std::to_string(code);
    return message + " (os error " + std::to_string(code) + ")";
}

ErrorKind kind_from_win32(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
            return ErrorKind::NotFound;
        case ERROR_ACCESS_DENIED:
        case ERROR_WRITE_PROTECT:
            return ErrorKind::PermissionDenied;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return ErrorKind::AlreadyExists;
        case ERROR_INVALID_PARAMETER:
        case ERROR_INVALID_NAME:
        case ERROR_DIRECTORY:
            return ErrorKind::InvalidInput;
        default:
            return ErrorKind::Other;
    }
}

Error last_error(DWORD code) {
    return make_error(kind_from_win32(code), system_message(code));
}

}  // namespace kestrune::win
