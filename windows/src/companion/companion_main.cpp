// kestrune.com: the console companion of kestrune.exe. A window program is not
// waited for by cmd or PowerShell, so its output lands after the prompt and
// its exit code is lost; typed as "kestrune", Windows picks this console
// program first (.com precedes .exe). It runs kestrune.exe beside it with the
// same arguments and this console's standard handles, waits for it and
// returns its exit code. The program writes into the handles itself, so its
// lines arrive in the order it wrote them.

#include <windows.h>

#include <array>
#include <string>
#include <string_view>

#include "common/unique_handle.hpp"

namespace {

using kestrune::win::UniqueKernelHandle;

// What follows the program name on the command line, verbatim (the name
// itself is parsed as Windows parses argv[0]: quoted, or up to a blank).
std::wstring_view arguments_tail(std::wstring_view line) {
    std::size_t i = 0;
    if (!line.empty() && line[0] == L'"') {
        const std::size_t close = line.find(L'"', 1);
        i = close == std::wstring_view::npos ? line.size() : close + 1;
    } else {
        while (i < line.size() && line[i] != L' ' && line[i] != L'\t')
            ++i;
    }
    return line.substr(i);
}

std::wstring module_file() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0)
            return {};
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

// The window program: this file's path with .exe for its extension.
std::wstring program_beside() {
    std::wstring path = module_file();
    const std::size_t slash = path.find_last_of(L"\\/");
    const std::size_t dot = path.find_last_of(L'.');
    if (dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash))
        path.resize(dot);
    return path + L".exe";
}

void write_error(const std::wstring& text) {
    const HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    DWORD written = 0;
    if (err != nullptr && err != INVALID_HANDLE_VALUE && ::GetConsoleMode(err, &mode)) {
        ::WriteConsoleW(err, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                            nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(),
                              bytes, nullptr, nullptr);
        ::WriteFile(err, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
    }
}

// An inheritable copy of a standard handle, so the program writes where this
// one would; empty when there is none to copy.
UniqueKernelHandle inheritable(DWORD which) {
    const HANDLE h = ::GetStdHandle(which);
    HANDLE copy = nullptr;
    if (h == nullptr || h == INVALID_HANDLE_VALUE ||
        !::DuplicateHandle(::GetCurrentProcess(), h, ::GetCurrentProcess(), &copy, 0, TRUE,
                           DUPLICATE_SAME_ACCESS)) {
        return {};
    }
    return UniqueKernelHandle(copy);
}

}  // namespace

int wmain() {
    const std::wstring program = program_beside();
    std::wstring command = L"\"" + program + L"\"";
    command += arguments_tail(::GetCommandLineW());

    const std::array<UniqueKernelHandle, 3> handles{inheritable(STD_INPUT_HANDLE),
                                                    inheritable(STD_OUTPUT_HANDLE),
                                                    inheritable(STD_ERROR_HANDLE)};
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = handles[0] ? handles[0].get() : ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = handles[1] ? handles[1].get() : ::GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = handles[2] ? handles[2].get() : ::GetStdHandle(STD_ERROR_HANDLE);

    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                          nullptr, &startup, &started)) {
        write_error(L"kestrune: could not start " + program + L" (error " +
                    std::to_wstring(::GetLastError()) + L")\n");
        return 1;
    }
    const UniqueKernelHandle process(started.hProcess);
    const UniqueKernelHandle thread(started.hThread);
    ::WaitForSingleObject(process.get(), INFINITE);
    DWORD code = 1;
    if (!::GetExitCodeProcess(process.get(), &code))
        code = 1;
    return static_cast<int>(code);
}
