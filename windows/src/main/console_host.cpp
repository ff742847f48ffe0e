#include "main/console_host.hpp"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "common/unique_handle.hpp"
#include "common/wide.hpp"
#include "io/console.hpp"
#include "main/run_gui.hpp"

namespace kestrune::win {
namespace {

bool usable(HANDLE h) {
    if (h == nullptr || h == INVALID_HANDLE_VALUE)
        return false;
    ::SetLastError(NO_ERROR);
    return ::GetFileType(h) != FILE_TYPE_UNKNOWN || ::GetLastError() == NO_ERROR;
}

void binary_mode(std::FILE* stream) {
    const int fd = _fileno(stream);
    if (fd >= 0)
        _setmode(fd, _O_BINARY);
}

void reopen_on_console(DWORD which, std::FILE* stream) {
    // The standard handle lives as long as the process does.
    static UniqueFileHandle handles[2];
    UniqueFileHandle h(::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                     nullptr));
    if (!h)
        return;
    ::SetStdHandle(which, h.get());
    handles[which == STD_OUTPUT_HANDLE ? 0 : 1] = std::move(h);
    if (std::freopen("CONOUT$", "w", stream))
        binary_mode(stream);
}

// A console takes UTF-16; anything else gets the UTF-8 bytes.
void write_to(DWORD which, std::string_view text) {
    const HANDLE h = ::GetStdHandle(which);
    DWORD mode = 0;
    if (usable(h) && ::GetConsoleMode(h, &mode)) {
        const std::wstring wide = to_wide(text);
        std::size_t done = 0;
        while (done < wide.size()) {
            DWORD written = 0;
            const auto chunk = static_cast<DWORD>(std::min<std::size_t>(wide.size() - done, 16384));
            if (!::WriteConsoleW(h, wide.data() + done, chunk, &written, nullptr) || written == 0)
                return;
            done += written;
        }
        return;
    }
    if (which == STD_OUTPUT_HANDLE) {
        write_stdout(text);
    } else {
        write_stderr(text);
    }
}

}  // namespace

void use_binary_std_streams() {
    binary_mode(stdout);
    binary_mode(stderr);
}

void attach_parent_console() {
    const bool out_ok = usable(::GetStdHandle(STD_OUTPUT_HANDLE));
    const bool err_ok = usable(::GetStdHandle(STD_ERROR_HANDLE));
    if (out_ok && err_ok)
        return;
    if (!::AttachConsole(ATTACH_PARENT_PROCESS))
        return;
    if (!out_ok)
        reopen_on_console(STD_OUTPUT_HANDLE, stdout);
    if (!err_ok)
        reopen_on_console(STD_ERROR_HANDLE, stderr);
}

std::chrono::steady_clock::time_point ConsoleHost::now() {
    return std::chrono::steady_clock::now();
}

void ConsoleHost::prepare_console() {
    attach_parent_console();
}

int ConsoleHost::run_gui(const GuiStartup& startup) {
    return win::run_gui(startup);
}

void ConsoleHost::write_out(std::string_view text) {
    write_to(STD_OUTPUT_HANDLE, text);
}

void ConsoleHost::write_err(std::string_view text) {
    write_to(STD_ERROR_HANDLE, text);
}

}  // namespace kestrune::win
