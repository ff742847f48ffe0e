#pragma once
// Finds message boxes of this window station, reports their caption and text
// and closes them (No where there is a No button, else OK), so that a test
// sees a box instead of hanging on it.

#include <windows.h>

#include <string>
#include <vector>

#include "common/wide.hpp"

namespace kestrune::test {

struct SeenBox {
    std::string caption;
    std::string text;
};

// Closes every visible dialog box owned by process pid (any process when 0).
inline std::vector<SeenBox> close_message_boxes(DWORD pid) {
    struct Search {
        DWORD pid;
        std::vector<HWND> found;
    } search{pid, {}};
    ::EnumWindows(
        [](HWND w, LPARAM p) -> BOOL {
            auto& s = *reinterpret_cast<Search*>(p);
            wchar_t cls[64] = {};
            ::GetClassNameW(w, cls, 64);
            DWORD owner = 0;
            ::GetWindowThreadProcessId(w, &owner);
            if (std::wstring_view(cls) == L"#32770" && ::IsWindowVisible(w) &&
                (s.pid == 0 || owner == s.pid)) {
                s.found.push_back(w);
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    std::vector<SeenBox> seen;
    for (HWND box : search.found) {
        wchar_t caption[512] = {};
        ::GetWindowTextW(box, caption, 512);
        std::wstring text;
        ::EnumChildWindows(
            box,
            [](HWND child, LPARAM p) -> BOOL {
                wchar_t cls[64] = {};
                ::GetClassNameW(child, cls, 64);
                if (std::wstring_view(cls) == L"Static") {
                    wchar_t buf[4096] = {};
                    ::GetWindowTextW(child, buf, 4096);
                    auto& t = *reinterpret_cast<std::wstring*>(p);
                    if (buf[0] != 0)
                        t += (t.empty() ? L"" : L" | ") + std::wstring(buf);
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&text));
        seen.push_back({win::to_utf8(caption), win::to_utf8(text)});
        const int button = ::GetDlgItem(box, IDNO) != nullptr ? IDNO : IDOK;
        ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
    }
    return seen;
}

}  // namespace kestrune::test
