// The real main window on a virtual display: created as the start-up creates
// it, driven with window messages, read back through its controls.
//
// Environment: KESTRUNE_EXPECT_SCALE, the layout scale this screen must give;
// KESTRUNE_SHOT_DIR, a folder shared with the runner: the test asks there for
// a tone into the default output ("tone-on", "tone-off"), says "ready" while
// the window shows a recording with its meters and waits for "done" (the
// screenshot is taken meanwhile); KESTRUNE_TONE_DBFS, the tone's peak level.

#include <gtest/gtest.h>

#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/wide.hpp"
#include "controller/window_layout.hpp"
#include "dialog_watch.hpp"
#include "main/level_meter_control.hpp"
#include "main/main_window.hpp"
#include "main/run_gui.hpp"
#include "main/window_slot.hpp"
#include "text/path_text.hpp"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using win::window_slot;

std::string text_of(HWND h) {
    const int n = ::GetWindowTextLengthW(h);
    std::wstring t(static_cast<std::size_t>(n) + 1, L'\0');
    ::GetWindowTextW(h, t.data(), n + 1);
    t.resize(static_cast<std::size_t>(n));
    return win::to_utf8(t);
}

std::string list_item(HWND list, int i) {
    const auto n = ::SendMessageW(list, LB_GETTEXTLEN, i, 0);
    if (n < 0)
        return {};
    std::wstring t(static_cast<std::size_t>(n) + 1, L'\0');
    ::SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(t.data()));
    t.resize(static_cast<std::size_t>(n));
    return win::to_utf8(t);
}

void pump_for(std::chrono::milliseconds span) {
    const auto until = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < until) {
        MSG m;
        while (::PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&m);
            ::DispatchMessageW(&m);
        }
        ::Sleep(20);
    }
}

// Closes the boxes the window shows, keeping what they said.
class BoxWatcher {
public:
    BoxWatcher()
        : thread_([this] {
              while (!stop_) {
                  for (auto& box : test::close_message_boxes(::GetCurrentProcessId())) {
                      std::lock_guard lock(mutex_);
                      seen_.push_back(box);
                  }
                  ::Sleep(100);
              }
          }) {}
    ~BoxWatcher() {
        stop_ = true;
        thread_.join();
    }
    std::vector<test::SeenBox> take() {
        std::lock_guard lock(mutex_);
        return std::exchange(seen_, {});
    }

private:
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<test::SeenBox> seen_;
    std::thread thread_;
};

std::string describe(const std::vector<test::SeenBox>& boxes) {
    std::string out;
    for (const auto& b : boxes)
        out += "[" + b.caption + ": " + b.text + "] ";
    return out;
}

// Pumps until done() or the time is up; true when done.
template <class Done>
bool pump_until(Done done, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        pump_for(std::chrono::milliseconds(50));
    }
    return true;
}

// The height the control's text takes at the control's width, laid out as a
// static control with these styles lays it out.
int text_height(HWND control) {
    RECT client{};
    ::GetClientRect(control, &client);
    HDC dc = ::GetDC(control);
    HGDIOBJ old =
        ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageW(control, WM_GETFONT, 0, 0)));
    const std::wstring text = win::to_wide(text_of(control));
    RECT need{0, 0, client.right, 0};
    ::DrawTextW(dc, text.c_str(), -1, &need,
                DT_CALCRECT | DT_WORDBREAK | DT_EDITCONTROL | DT_NOPREFIX | DT_EXPANDTABS);
    ::SelectObject(dc, old);
    ::ReleaseDC(control, dc);
    return need.bottom;
}

void expect_fits(HWND control) {
    RECT client{};
    ::GetClientRect(control, &client);
    EXPECT_LE(text_height(control), client.bottom) << text_of(control);
}

// The shot folder's marker files, when the runner takes part.
std::optional<fs::path> shot_dir() {
    if (const char* dir = std::getenv("KESTRUNE_SHOT_DIR"))
        return fs::path(dir);
    return std::nullopt;
}

void mark(const fs::path& dir, const char* name) {
    std::ofstream(dir / name) << name << "\n";
}

LRESULT meter_level(HWND meter) {
    return ::SendMessageW(meter, win::METER_GET_LEVEL, 0, 0);
}

RECT rect_in_parent(HWND control) {
    RECT r{};
    ::GetWindowRect(control, &r);
    ::MapWindowPoints(nullptr, ::GetParent(control), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

void click(HWND control, POINT at, bool twice) {
    const LPARAM where = MAKELPARAM(at.x, at.y);
    ::SendMessageW(control, WM_LBUTTONDOWN, MK_LBUTTON, where);
    ::SendMessageW(control, WM_LBUTTONUP, 0, where);
    if (twice) {
        ::SendMessageW(control, WM_LBUTTONDBLCLK, MK_LBUTTON, where);
        ::SendMessageW(control, WM_LBUTTONUP, 0, where);
    }
}

TEST(MainWindow, ControlsScaleRecordingAndClose) {
    // A long folder name: the status must still show the whole path.
    const fs::path out = fs::temp_directory_path() / "kestrune_gui_test" /
                         "a folder with a rather long name & an ampersand, for the status line";
    fs::remove_all(out.parent_path());

    win::WindowSlot& slot = win::reset_window_slot();
    slot.state.initial.output_folder = path_display(out);
    HINSTANCE instance = ::GetModuleHandleW(nullptr);
    ASSERT_TRUE(win::register_main_window_class(instance).has_value());
    auto created = win::create_main_window(instance);
    ASSERT_TRUE(created.has_value());
    HWND window = *created;
    ::ShowWindow(window, SW_SHOW);
    ::UpdateWindow(window);
    BoxWatcher boxes;
    pump_for(std::chrono::milliseconds(1500));  // the warm-up's refresh arrives

    auto control = [](Control c) { return window_slot().control(c); };

    // Scale and client size.
    const float scale = window_slot().scale;
    if (const char* expected = std::getenv("KESTRUNE_EXPECT_SCALE")) {
        EXPECT_NEAR(scale, std::strtof(expected, nullptr), 1e-3);
    }
    const HWND list = control(Control::Devices);
    ASSERT_NE(list, nullptr);
    const auto items = static_cast<std::size_t>(::SendMessageW(list, LB_GETCOUNT, 0, 0));
    RECT client{};
    ::GetClientRect(window, &client);
    EXPECT_EQ(client.right, scale_length(CLIENT_WIDTH, scale));
    // Laid out for the devices counted at creation; a later refresh (the
    // warm-up learns the default output) may list one fewer, and the size stays.
    const std::size_t laid_out = window_slot().layout_device_count;
    EXPECT_LE(items, laid_out);
    EXPECT_EQ(client.bottom, scale_length(CLIENT_BASE_HEIGHT + device_list_room(laid_out), scale));
    std::printf("screen %dx%d, scale %.4f, client %ldx%ld, %zu device items\n",
                ::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN), scale,
                client.right, client.bottom, items);

    // Idle texts and initial states.
    EXPECT_EQ(text_of(control(Control::Status)), "Ready.");
    expect_fits(control(Control::Status));
    EXPECT_EQ(text_of(control(Control::Duration)), "");
    EXPECT_EQ(text_of(control(Control::StartStop)), "&Start Recording");
    EXPECT_EQ(text_of(control(Control::Output)), path_display(out));
    EXPECT_EQ(::SendMessageW(control(Control::SystemAudio), BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_EQ(::SendMessageW(control(Control::Single), BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_EQ(::SendMessageW(control(Control::Quality), CB_GETCURSEL, 0, 0), 0);
    ASSERT_NE(control(Control::Mic), nullptr) << "the sound server's default input is missing";
    for (HWND meter : window_slot().meters) {
        ASSERT_NE(meter, nullptr);
        EXPECT_FALSE(::IsWindowVisible(meter));
    }

    {
        SCOPED_TRACE("access keys: one per labelled control, Alt+S for Start/Stop");
        std::map<wchar_t, std::string> owners;
        ::EnumChildWindows(
            window,
            [](HWND child, LPARAM p) -> BOOL {
                auto& seen = *reinterpret_cast<std::map<wchar_t, std::string>*>(p);
                wchar_t cls[32] = {};
                ::GetClassNameW(child, cls, 32);
                const LONG style = ::GetWindowLongW(child, GWL_STYLE);
                if (_wcsicmp(cls, L"Button") != 0 &&
                    (_wcsicmp(cls, L"Static") != 0 || (style & SS_NOPREFIX) != 0)) {
                    return TRUE;
                }
                const std::wstring text = win::to_wide(text_of(child));
                for (std::size_t i = 0; i + 1 < text.size(); ++i) {
                    if (text[i] == L'&' && text[i + 1] != L'&') {
                        const wchar_t key = static_cast<wchar_t>(std::towlower(text[i + 1]));
                        EXPECT_FALSE(seen.contains(key))
                            << win::to_utf8(text) << " and " << seen[key];
                        seen[key] = win::to_utf8(text);
                        break;
                    }
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&owners));
        EXPECT_EQ(owners[L's'], "&Start Recording");
        EXPECT_GE(owners.size(), 12u);
    }

    {
        SCOPED_TRACE("text colours follow the system colours");
        const int indexes[] = {COLOR_BTNTEXT, COLOR_WINDOWTEXT};
        const COLORREF saved[] = {::GetSysColor(COLOR_BTNTEXT), ::GetSysColor(COLOR_WINDOWTEXT)};
        const COLORREF theme[] = {RGB(250, 240, 0), RGB(0, 250, 240)};  // a high-contrast look
        ASSERT_TRUE(::SetSysColors(2, indexes, theme));
        HDC dc = ::CreateCompatibleDC(nullptr);
        struct Case {
            UINT message;
            HWND control;
            COLORREF text;
        };
        const Case cases[] = {{WM_CTLCOLORSTATIC, control(Control::Status), theme[0]},
                              {WM_CTLCOLORBTN, control(Control::StartStop), theme[0]},
                              {WM_CTLCOLOREDIT, control(Control::Output), theme[1]},
                              {WM_CTLCOLORLISTBOX, list, theme[1]}};
        for (const Case& c : cases) {
            ::SetTextColor(dc, RGB(0, 0, 0));
            ::SendMessageW(window, c.message, reinterpret_cast<WPARAM>(dc),
                           reinterpret_cast<LPARAM>(c.control));
            EXPECT_EQ(::GetTextColor(dc), c.text) << c.message;
        }
        ::DeleteDC(dc);
        ::SetSysColors(2, indexes, saved);
    }

    // Device list texts: loopback entries first, every item off.
    ASSERT_GE(items, 1u);
    bool saw_loopback = false;
    for (int i = 0; i < static_cast<int>(items); ++i) {
        const std::string item = list_item(list, i);
        EXPECT_TRUE(item.starts_with("off  \u2014  ")) << item;
        saw_loopback = saw_loopback || item.find("[Loopback] ") != std::string::npos;
    }
    EXPECT_TRUE(saw_loopback);
    const std::string first = list_item(list, 0);
    const std::string name = first.substr(std::string("off  \u2014  ").size());
    const std::string first_on = "on   \u2014  " + name;

    // Space toggles the selected item; without a selection it does nothing.
    ::SendMessageW(list, LB_SETCURSEL, static_cast<WPARAM>(-1), 0);
    ::SendMessageW(list, WM_KEYDOWN, VK_SPACE, 0);
    EXPECT_EQ(list_item(list, 0), first);
    ::SendMessageW(list, LB_SETCURSEL, 0, 0);
    ::SendMessageW(list, WM_KEYDOWN, VK_SPACE, 0);
    EXPECT_EQ(list_item(list, 0), first_on);
    EXPECT_EQ(::SendMessageW(list, LB_GETCURSEL, 0, 0), 0);
    ::SendMessageW(list, WM_KEYDOWN, VK_SPACE, 0);
    EXPECT_EQ(list_item(list, 0), first);

    {
        SCOPED_TRACE("mouse: a click on the box or a double-click on the row switches");
        ::SendMessageW(list, LB_SETCURSEL, static_cast<WPARAM>(-1), 0);
        RECT row{};
        ASSERT_NE(::SendMessageW(list, LB_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&row)), LB_ERR);
        const int middle = (row.top + row.bottom) / 2;
        const POINT box{row.left + (row.bottom - row.top) / 2, middle};
        const POINT text{row.right - 10, middle};
        click(list, text, false);  // a single click on the text only selects
        EXPECT_EQ(list_item(list, 0), first);
        EXPECT_EQ(::SendMessageW(list, LB_GETCURSEL, 0, 0), 0);
        click(list, box, false);
        EXPECT_EQ(list_item(list, 0), first_on);
        EXPECT_TRUE(window_slot().state.device_on.at(0));
        click(list, text, true);
        EXPECT_EQ(list_item(list, 0), first);
        EXPECT_FALSE(window_slot().state.device_on.at(0));
    }

    {
        SCOPED_TRACE("focus comes back after the window was inactive");
        HWND output = control(Control::Output);
        ::SetFocus(output);
        ASSERT_EQ(::GetFocus(), output);
        HWND other = ::CreateWindowExW(0, L"STATIC", L"other", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0,
                                       0, 200, 100, nullptr, nullptr, instance, nullptr);
        ::SetActiveWindow(other);
        pump_for(std::chrono::milliseconds(200));
        EXPECT_NE(::GetFocus(), output);
        ::SetActiveWindow(window);
        pump_for(std::chrono::milliseconds(200));
        EXPECT_EQ(::GetFocus(), output);
        ::DestroyWindow(other);
        pump_for(std::chrono::milliseconds(100));
    }

    // The microphone too (the sound server's default input is the monitor of
    // the default output, so it hears the same tone).
    ::SendMessageW(control(Control::Mic), BM_CLICK, 0, 0);
    EXPECT_EQ(::SendMessageW(control(Control::Mic), BM_GETCHECK, 0, 0), BST_CHECKED);

    // Enter in the folder field is the default button: Start.
    EXPECT_EQ(::SendMessageW(window, DM_GETDEFID, 0, 0), MAKELRESULT(win::IDC_START, DC_HASDEFID));
    ::SetFocus(control(Control::Output));
    MSG enter{control(Control::Output), WM_KEYDOWN, VK_RETURN, 0, 0, {}};
    EXPECT_TRUE(::IsDialogMessageW(window, &enter));
    pump_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(window_slot().state.recording.has_value()) << describe(boxes.take());
    const std::string recording_status = text_of(control(Control::Status));
    EXPECT_TRUE(recording_status.starts_with("Recording to " + path_display(out) + "\\"))
        << recording_status;
    expect_fits(control(Control::Status));
    {
        SCOPED_TRACE("the status's tooltip gives its whole text");
        HWND tip = window_slot().tooltip;
        ASSERT_NE(tip, nullptr);
        EXPECT_EQ(::SendMessageW(tip, TTM_GETTOOLCOUNT, 0, 0), 1);
        NMTTDISPINFOW asked{};
        asked.hdr.hwndFrom = tip;
        asked.hdr.idFrom = reinterpret_cast<UINT_PTR>(control(Control::Status));
        asked.hdr.code = TTN_GETDISPINFOW;
        asked.uFlags = TTF_IDISHWND;
        ::SendMessageW(window, WM_NOTIFY, asked.hdr.idFrom, reinterpret_cast<LPARAM>(&asked));
        ASSERT_NE(asked.lpszText, nullptr);
        EXPECT_EQ(win::to_utf8(asked.lpszText), recording_status);
    }
    EXPECT_EQ(text_of(control(Control::StartStop)), "&Stop Recording");
    for (Control c : {Control::Single, Control::StemsSilence, Control::StemsInstructed,
                      Control::Quality, Control::AskSave}) {
        EXPECT_FALSE(::IsWindowEnabled(control(c))) << static_cast<int>(c);
    }
    for (Control c : {Control::Mic, Control::SystemAudio, Control::Devices, Control::Output,
                      Control::Repair, Control::Normalize}) {
        EXPECT_TRUE(::IsWindowEnabled(control(c))) << static_cast<int>(c);
    }
    EXPECT_EQ(text_of(control(Control::Duration)), "");
    ASSERT_TRUE(pump_until([&] { return !text_of(control(Control::Duration)).empty(); },
                           std::chrono::seconds(5)));
    EXPECT_EQ(text_of(control(Control::Duration)), "Duration: 0m 1s");
    ASSERT_TRUE(pump_until([&] { return text_of(control(Control::Duration)) == "Duration: 0m 2s"; },
                           std::chrono::seconds(5)));

    // A meter per source, in the band.
    const std::array<HWND, 2> meters{window_slot().meters[0], window_slot().meters[1]};
    for (HWND meter : meters)
        EXPECT_TRUE(::IsWindowVisible(meter));
    EXPECT_FALSE(::IsWindowVisible(window_slot().meters[2]));
    EXPECT_EQ(text_of(meters[0]), "System audio");
    EXPECT_EQ(text_of(meters[1]), "Microphone");
    const std::optional<fs::path> shots = shot_dir();
    const char* tone = std::getenv("KESTRUNE_TONE_DBFS");
    if (shots && tone != nullptr) {
        SCOPED_TRACE("meters read the tone played, then fall back");
        const LRESULT wanted = std::lround(std::strtod(tone, nullptr) * 100.0);
        auto near_tone = [&] {
            return std::all_of(meters.begin(), meters.end(), [&](HWND meter) {
                return std::abs(meter_level(meter) - wanted) <= 100;
            });
        };
        mark(*shots, "tone-on");
        EXPECT_TRUE(pump_until(near_tone, std::chrono::seconds(20)));
        pump_for(std::chrono::milliseconds(500));
        for (HWND meter : meters) {
            SCOPED_TRACE(text_of(meter));
            EXPECT_NEAR(meter_level(meter), wanted, 100);
            // The hold may sit a little above the tone: a gap the loaded sound
            // server leaves in the tone rings briefly through the resampler.
            const LRESULT hold = ::SendMessageW(meter, win::METER_GET_HOLD, 0, 0);
            EXPECT_GE(hold, wanted - 100);
            EXPECT_LE(hold, wanted + 200);
            EXPECT_EQ(::SendMessageW(meter, win::METER_GET_FLAGS, 0, 0), 0);
        }

        std::ofstream(*shots / "ready") << "ready\n";
        for (int i = 0; i < 300 && !fs::exists(*shots / "done"); ++i)
            pump_for(std::chrono::milliseconds(100));

        mark(*shots, "tone-off");
        const LRESULT floor = std::lround(METER_FLOOR_DB * 100.0f);
        auto fallen = [&] {
            return std::all_of(meters.begin(), meters.end(),
                               [&](HWND meter) { return meter_level(meter) == floor; });
        };
        EXPECT_TRUE(pump_until(fallen, std::chrono::seconds(20)))
            << meter_level(meters[0]) << " " << meter_level(meters[1]);
    }

    // Stop: the summary (a mix that used only some of its sources would be
    // offered normalisation, which the watcher declines).
    ::SendMessageW(control(Control::StartStop), BM_CLICK, 0, 0);
    EXPECT_FALSE(window_slot().state.recording.has_value());
    EXPECT_EQ(text_of(control(Control::StartStop)), "&Start Recording");
    EXPECT_EQ(text_of(control(Control::Duration)), "");
    EXPECT_TRUE(::IsWindowEnabled(control(Control::Quality)));
    for (HWND meter : meters)
        EXPECT_FALSE(::IsWindowVisible(meter));
    const std::string status = text_of(control(Control::Status));
    EXPECT_TRUE(status.starts_with("Saved: ")) << status;
    expect_fits(control(Control::Status));
    for (const auto& box : boxes.take()) {
        EXPECT_EQ(box.caption, "Normalize recording?") << box.text;
    }

    {
        SCOPED_TRACE("a DPI change scales every control and keeps it inside");
        const HWND start = control(Control::StartStop);
        LOGFONTW stock{};
        ::GetObjectW(::GetStockObject(DEFAULT_GUI_FONT), sizeof stock, &stock);
        RECT suggested{0, 0, 900, 900};
        ::SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(144, 144),
                       reinterpret_cast<LPARAM>(&suggested));
        const float wanted = layout_scale(::GetSystemMetrics(SM_CXSCREEN),
                                          ::GetSystemMetrics(SM_CYSCREEN), 1.5f, laid_out);
        const float now = window_slot().scale;
        EXPECT_NEAR(now, wanted, 1e-4);
        ::GetClientRect(window, &client);
        EXPECT_EQ(client.right, scale_length(CLIENT_WIDTH, now));
        EXPECT_EQ(client.bottom,
                  scale_length(CLIENT_BASE_HEIGHT + device_list_room(laid_out), now));
        const RECT s = rect_in_parent(start);
        EXPECT_EQ(s.left, scale_length(10, now));
        EXPECT_EQ(s.right - s.left, scale_length(160, now));
        EXPECT_EQ(s.bottom - s.top, scale_length(26, now));
        LOGFONTW after{};
        ::GetObjectW(reinterpret_cast<HFONT>(::SendMessageW(start, WM_GETFONT, 0, 0)), sizeof after,
                     &after);
        EXPECT_EQ(after.lfHeight, scale_length(stock.lfHeight, now));
        struct Check {
            HWND window;
            RECT client;
            HFONT font;
            int children = 0;
        } check{window, client, reinterpret_cast<HFONT>(::SendMessageW(start, WM_GETFONT, 0, 0))};
        ::EnumChildWindows(
            window,
            [](HWND child, LPARAM p) -> BOOL {
                auto& c = *reinterpret_cast<Check*>(p);
                if (!::IsWindowVisible(child) || ::GetAncestor(child, GA_PARENT) != c.window)
                    return TRUE;
                ++c.children;
                const RECT r = rect_in_parent(child);
                wchar_t cls[32] = {};
                ::GetClassNameW(child, cls, 32);
                const std::string what = win::to_utf8(cls) + " " + text_of(child);
                EXPECT_GE(r.left, 0) << what;
                EXPECT_GE(r.top, 0) << what;
                EXPECT_LE(r.right, c.client.right) << what;
                // A drop-down list's height includes its closed-up list.
                if (_wcsicmp(cls, L"ComboBox") != 0) {
                    EXPECT_LE(r.bottom, c.client.bottom) << what;
                }
                EXPECT_EQ(reinterpret_cast<HFONT>(::SendMessageW(child, WM_GETFONT, 0, 0)), c.font)
                    << what;
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&check));
        EXPECT_GE(check.children, 20);
        // The rows grow with the font.
        EXPECT_EQ(::SendMessageW(list, LB_GETITEMHEIGHT, 0, 0), scale_length(16, now));
        expect_fits(control(Control::Status));
    }

    // Close ends the message loop.
    ::PostMessageW(window, WM_CLOSE, 0, 0);
    MSG m;
    bool quit = false;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!quit && std::chrono::steady_clock::now() < until) {
        while (::PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
            if (m.message == WM_QUIT)
                quit = true;
            ::DispatchMessageW(&m);
        }
        ::Sleep(20);
    }
    EXPECT_TRUE(quit);
    EXPECT_FALSE(::IsWindow(window));
    fs::remove_all(out.parent_path());
}

TEST(MainWindow, StartUpFailureIsShownAndExitsWithOne) {
    // A class registered already makes the start-up's own registration fail.
    (void)win::register_main_window_class(::GetModuleHandleW(nullptr));
    BoxWatcher boxes;
    EXPECT_EQ(win::run_gui(GuiStartup{}), 1);
    std::vector<test::SeenBox> seen;
    for (int i = 0; i < 20 && seen.empty(); ++i) {
        seen = boxes.take();
        if (seen.empty())
            ::Sleep(100);
    }
    ASSERT_EQ(seen.size(), 1u) << describe(seen);
    EXPECT_EQ(seen[0].caption, "Kestrune");
    EXPECT_EQ(seen[0].text, "Kestrune could not start:\nFailed to register window class");
}

}  // namespace
}  // namespace kestrune
