// The real main window on a virtual display: created as the start-up creates
// it, driven with window messages, read back through its controls.
//
// Environment: KESTRUNE_EXPECT_SCALE, the layout scale this screen must give;
// KESTRUNE_SHOT_DIR, a folder where the test says "ready" while the window
// shows a recording and waits for "done" (the screenshot is taken meanwhile).

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/wide.hpp"
#include "controller/window_layout.hpp"
#include "dialog_watch.hpp"
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

TEST(MainWindow, ControlsScaleRecordingAndClose) {
    const fs::path out = fs::temp_directory_path() / "kestrune_gui_test";
    fs::remove_all(out);

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
    EXPECT_EQ(text_of(control(Control::Duration)), "");
    EXPECT_EQ(text_of(control(Control::StartStop)), "&Start Recording");
    EXPECT_EQ(text_of(control(Control::Output)), path_display(out));
    EXPECT_EQ(::SendMessageW(control(Control::SystemAudio), BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_EQ(::SendMessageW(control(Control::Single), BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_EQ(::SendMessageW(control(Control::Quality), CB_GETCURSEL, 0, 0), 0);
    ASSERT_NE(control(Control::Mic), nullptr) << "the sound server's default input is missing";

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

    // Space toggles the selected item; without a selection it does nothing.
    ::SendMessageW(list, LB_SETCURSEL, static_cast<WPARAM>(-1), 0);
    ::SendMessageW(list, WM_KEYDOWN, VK_SPACE, 0);
    EXPECT_EQ(list_item(list, 0), first);
    ::SendMessageW(list, LB_SETCURSEL, 0, 0);
    ::SendMessageW(list, WM_KEYDOWN, VK_SPACE, 0);
    EXPECT_EQ(list_item(list, 0), "on   \u2014  " + name);
    EXPECT_EQ(::SendMessageW(list, LB_GETCURSEL, 0, 0), 0);
    ::SendMessageW(list, WM_KEYDOWN, VK_SPACE, 0);
    EXPECT_EQ(list_item(list, 0), first);

    // Start: controls locked, status and duration.
    ::SendMessageW(control(Control::StartStop), BM_CLICK, 0, 0);
    ASSERT_TRUE(window_slot().state.recording.has_value()) << describe(boxes.take());
    EXPECT_TRUE(text_of(control(Control::Status)).starts_with("Recording"));
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
    pump_for(std::chrono::milliseconds(2300));
    EXPECT_EQ(text_of(control(Control::Duration)), "Duration: 0m");

    if (const char* shots = std::getenv("KESTRUNE_SHOT_DIR")) {
        const fs::path dir = shots;
        std::ofstream(dir / "ready") << "ready\n";
        for (int i = 0; i < 300 && !fs::exists(dir / "done"); ++i) {
            pump_for(std::chrono::milliseconds(100));
        }
    }

    // Stop: the silent mix of one of two sources is offered normalisation
    // (the watcher answers No), then the summary.
    ::SendMessageW(control(Control::StartStop), BM_CLICK, 0, 0);
    EXPECT_FALSE(window_slot().state.recording.has_value());
    EXPECT_EQ(text_of(control(Control::StartStop)), "&Start Recording");
    EXPECT_EQ(text_of(control(Control::Duration)), "");
    EXPECT_TRUE(::IsWindowEnabled(control(Control::Quality)));
    const std::string status = text_of(control(Control::Status));
    EXPECT_TRUE(status.starts_with("Saved: ")) << status;
    const auto seen = boxes.take();
    for (const auto& box : seen) {
        EXPECT_EQ(box.caption, "Normalize recording?") << describe(seen);
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
    fs::remove_all(out);
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
