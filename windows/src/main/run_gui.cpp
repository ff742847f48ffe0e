#include "main/run_gui.hpp"

#include <windows.h>

#include "common/wide.hpp"
#include "io/console.hpp"
#include "main/main_window.hpp"
#include "main/win_view.hpp"
#include "main/window_slot.hpp"
#include "text/path_text.hpp"

namespace kestrune::win {
namespace {

int start_up_failed(const Error& error) {
    write_stderr("GUI error: " + error.text + "\n");
    ::MessageBoxW(nullptr, to_wide("Kestrune could not start:\n" + error.text).c_str(), L"Kestrune",
                  MB_ICONERROR);
    return 1;
}

}  // namespace

int run_gui(const GuiStartup& startup) {
    // The manifest asks for per-monitor awareness already; this covers a
    // program built without it, and fails harmlessly otherwise.
    if (!::SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2))
        ::SetProcessDPIAware();

    WindowSlot& slot = reset_window_slot();
    slot.state.initial = startup.config;
    slot.state.deadline = startup.deadline;

    HINSTANCE instance = ::GetModuleHandleW(nullptr);
    if (auto registered = register_main_window_class(instance); !registered) {
        return start_up_failed(registered.error());
    }
    auto created = create_main_window(instance);
    if (!created)
        return start_up_failed(created.error());
    HWND window = *created;

    if (startup.auto_start) {
        WindowContext context(window_slot());
        const WindowConfig& config = window_slot().state.initial;
        RecordOptions options;
        options.output_dir = path_from_utf8(context.view().output_text());
        options.devices.clear();
        options.format = config.format;
        options.loopback = config.loopback;
        options.mic = config.mic;
        options.mode = config.mode;
        context.controller().start_recording(options, startup.auto_start->duration_secs);
    }
    arm_deadline_timer(window);

    ::ShowWindow(window, SW_SHOW);
    ::UpdateWindow(window);
    if (HWND start = window_slot().control(Control::StartStop))
        ::SetFocus(start);

    MSG message;
    for (;;) {
        const BOOL got = ::GetMessageW(&message, nullptr, 0, 0);
        if (got == 0 || got == -1)
            break;
        // The window is gone after WM_DESTROY; its handle is no longer offered.
        if (::IsWindow(window) && ::IsDialogMessageW(window, &message))
            continue;
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    return 0;
}

}  // namespace kestrune::win
