#include "main/main_window.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <optional>
#include <string>

#include "backend_win/source_start_worker.hpp"
#include "common/wide.hpp"
#include "controller/commands.hpp"
#include "controller/window_layout.hpp"
#include "main/win_view.hpp"
#include "main/window_messages.hpp"
#include "main/window_slot.hpp"
#include "quality_presets.hpp"

namespace kestrune::win {
namespace {

// Vertical positions and heights either fixed or after the device list.
enum class Extent { Fixed, AfterList, ListHeight, ComboHeight };

struct ControlSpec {
    const wchar_t* class_name;
    const wchar_t* text;  // nullptr: filled in at creation
    DWORD style;          // besides WS_CHILD | WS_VISIBLE
    int x, y, width, height;
    int id;
    std::optional<Control> role;
    Extent y_extent = Extent::Fixed;
    Extent height_extent = Extent::Fixed;
};

constexpr DWORD CHECKBOX = WS_TABSTOP | BS_AUTOCHECKBOX;

// In creation order, which is also the tab order. The microphone row is
// either the check box or the label, never both.
const ControlSpec CONTROL_TABLE[] = {
    {L"BUTTON", L"&Start Recording", WS_TABSTOP | BS_DEFPUSHBUTTON, 10, 10, 160, 26, IDC_START,
     Control::StartStop},
    {L"BUTTON", L"Record &microphone", CHECKBOX, 10, 46, 200, 20, IDC_MIC, Control::Mic},
    {L"STATIC", L"No microphone found", 0, 10, 49, 200, 16, 0, std::nullopt},
    {L"BUTTON", L"Record &system audio", CHECKBOX, 10, 68, 200, 20, IDC_SYSTEM,
     Control::SystemAudio},
    {L"BUTTON", L"Single file", WS_GROUP | WS_TABSTOP | BS_AUTORADIOBUTTON, 10, 92, 145, 20,
     IDC_SINGLE, Control::Single},
    {L"BUTTON", L"Stems (silence)", BS_AUTORADIOBUTTON, 10, 128, 145, 20, IDC_STEMS_SILENCE,
     Control::StemsSilence},
    {L"BUTTON", L"Stems (instructed)", BS_AUTORADIOBUTTON, 10, 164, 155, 20, IDC_STEMS_INSTRUCTED,
     Control::StemsInstructed},
    {L"STATIC", L"Mix all sources into one recording file.", 0, 165, 94, 425, 30, 0, std::nullopt},
    {L"STATIC",
     L"Record each source separately; insert silence while disabled so files stay aligned.", 0, 165,
     130, 425, 30, 0, std::nullopt},
    {L"STATIC", L"Record active segments separately and provide sample-accurate editor offsets.", 0,
     165, 166, 425, 30, 0, std::nullopt},
    {L"STATIC", L"Quality:", 0, 10, 201, 55, 16, 0, std::nullopt},
    {L"COMBOBOX", L"", WS_TABSTOP | CBS_DROPDOWNLIST, 68, 198, 522, 0, IDC_QUALITY,
     Control::Quality, Extent::Fixed, Extent::ComboHeight},
    {L"STATIC", L"Other devices:", 0, 10, 226, 120, 16, 0, std::nullopt},
    {L"LISTBOX", nullptr, WS_VSCROLL | WS_TABSTOP | LBS_NOINTEGRALHEIGHT | LBS_NOTIFY, 10, 244, 580,
     4, IDC_DEVICES, Control::Devices, Extent::Fixed, Extent::ListHeight},
    {L"STATIC", L"Output folder:", 0, 10, 256, 85, 18, 0, std::nullopt, Extent::AfterList},
    {L"EDIT", nullptr, WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 100, 254, 490, 22, IDC_OUTPUT,
     Control::Output, Extent::AfterList},
    {L"BUTTON", L"Ask where to save after recording", CHECKBOX, 10, 284, 360, 28, IDC_ASK_SAVE,
     Control::AskSave, Extent::AfterList},
    {L"BUTTON", L"Repair incomplete recordings", WS_TABSTOP, 10, 316, 280, 26, IDC_REPAIR,
     Control::Repair, Extent::AfterList},
    {L"BUTTON", L"Normalize WAV file...", WS_TABSTOP, 300, 316, 290, 26, IDC_NORMALIZE,
     Control::Normalize, Extent::AfterList},
    {L"STATIC", L"Ready.", 0, 220, 14, 210, 36, 0, Control::Status},
    {L"STATIC", L"", 0, 220, 54, 210, 18, 0, Control::Duration},
};

constexpr DWORD MAIN_STYLE = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;

// The device list's own procedure, saved once when it is subclassed.
std::atomic<WNDPROC> previous_list_proc{nullptr};
std::atomic<bool> previous_list_proc_saved{false};

constexpr Control FOCUS_KEEPERS[] = {
    Control::Single,    Control::StemsSilence, Control::StemsInstructed, Control::Quality,
    Control::Devices,   Control::Output,       Control::Repair,          Control::Normalize,
    Control::StartStop, Control::Mic,          Control::SystemAudio};

LRESULT CALLBACK device_list_proc(HWND list, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_KEYDOWN && wparam == VK_SPACE && has_window_slot() &&
        ::SendMessageW(list, LB_GETCURSEL, 0, 0) >= 0) {
        WindowContext context(window_slot());
        if (context.controller().toggle_device_item())
            return 0;
    }
    WNDPROC previous = previous_list_proc_saved ? previous_list_proc.load() : nullptr;
    if (previous != nullptr)
        return ::CallWindowProcW(previous, list, message, wparam, lparam);
    return ::DefWindowProcW(list, message, wparam, lparam);
}

void focus_last_or_start(const WindowSlot& slot) {
    HWND target = slot.last_focus != nullptr ? slot.last_focus : slot.control(Control::StartStop);
    if (target != nullptr)
        ::SetFocus(target);
}

std::size_t count_device_items(CaptureBackend& backend) {
    return backend.list_render_endpoints().size() + backend.list_input_devices().size();
}

void build_window(HWND window) {
    WindowSlot& slot = window_slot();
    slot.main = window;
    const WindowConfig& initial = slot.state.initial;

    const std::size_t items = count_device_items(*slot.backend);
    const int room = device_list_room(items);

    std::optional<float> dpi;
    if (HDC dc = ::GetDC(window)) {
        dpi = static_cast<float>(::GetDeviceCaps(dc, LOGPIXELSX)) / 96.0f;
        ::ReleaseDC(window, dc);
    }
    const float scale =
        layout_scale(::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN), dpi, items);
    slot.scale = scale;
    slot.layout_device_count = items;

    const bool has_mic = slot.backend->default_input_name().has_value();
    const auto presets = quality_presets();
    const std::wstring output_text = to_wide(initial.output_folder);
    HINSTANCE instance = ::GetModuleHandleW(nullptr);
    slot.controls.fill(nullptr);
    for (const ControlSpec& spec : CONTROL_TABLE) {
        if (spec.id == IDC_MIC && !has_mic)
            continue;
        if (spec.id == 0 && spec.text != nullptr &&
            std::wstring_view(spec.text) == L"No microphone found" && has_mic) {
            continue;
        }
        int y = spec.y + (spec.y_extent == Extent::AfterList ? room : 0);
        int height = spec.height;
        if (spec.height_extent == Extent::ListHeight)
            height = room + 4;
        if (spec.height_extent == Extent::ComboHeight) {
            height = 18 * static_cast<int>(presets.size()) + 22;
        }
        const wchar_t* text = spec.text;
        if (spec.id == IDC_OUTPUT)
            text = output_text.c_str();
        if (spec.id == IDC_DEVICES)
            text = nullptr;
        const DWORD ex_style = spec.id == IDC_DEVICES ? WS_EX_CLIENTEDGE : 0;
        HWND control = ::CreateWindowExW(
            ex_style, spec.class_name, text, WS_CHILD | WS_VISIBLE | spec.style,
            scale_length(spec.x, scale), scale_length(y, scale), scale_length(spec.width, scale),
            scale_length(height, scale), window,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(spec.id)), instance, nullptr);
        if (spec.role)
            slot.controls[static_cast<std::size_t>(*spec.role)] = control;
    }

    if (HWND combo = slot.control(Control::Quality)) {
        for (const auto& preset : presets) {
            const std::wstring label = to_wide(preset.label);
            ::SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(label.c_str()));
        }
        ::SendMessageW(combo, CB_SETCURSEL, quality_index_for(initial.format), 0);
    }

    HFONT stock = static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT));
    slot.font = stock;
    LOGFONTW description{};
    if (stock != nullptr && ::GetObjectW(stock, sizeof description, &description) != 0) {
        if (description.lfHeight != 0) {
            description.lfHeight = scale_length(description.lfHeight, scale);
        }
        if (HFONT scaled = ::CreateFontIndirectW(&description)) {
            slot.owned_font.reset(scaled);
            slot.font = scaled;
        }
    }
    ::EnumChildWindows(
        window,
        [](HWND child, LPARAM font) -> BOOL {
            ::SendMessageW(child, WM_SETFONT, static_cast<WPARAM>(font), TRUE);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(slot.font));

    auto check = [&](Control c) {
        if (HWND h = slot.control(c))
            ::SendMessageW(h, BM_SETCHECK, BST_CHECKED, 0);
    };
    if (initial.mic)
        check(Control::Mic);
    if (initial.loopback)
        check(Control::SystemAudio);
    switch (initial.mode) {
        case RecordingMode::SingleFile:
            check(Control::Single);
            break;
        case RecordingMode::StemsSilence:
            check(Control::StemsSilence);
            break;
        case RecordingMode::StemsInstructed:
            check(Control::StemsInstructed);
            break;
    }

    if (HWND list = slot.control(Control::Devices)) {
        const auto previous = reinterpret_cast<WNDPROC>(
            ::SetWindowLongPtrW(list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&device_list_proc)));
        previous_list_proc = previous;
        previous_list_proc_saved = true;
    }

    RECT rect{0, 0, scale_length(CLIENT_WIDTH, scale),
              scale_length(CLIENT_BASE_HEIGHT + room, scale)};
    ::AdjustWindowRect(&rect, MAIN_STYLE, FALSE);
    ::SetWindowPos(window, nullptr, 0, 0, rect.right - rect.left, rect.bottom - rect.top,
                   SWP_NOMOVE | SWP_NOZORDER);

    ::SetTimer(window, IDT_TICK, 1000, nullptr);

    {
        WindowContext context(slot);
        context.controller().refresh_device_list();
    }
    launch_device_warm_up(window);
    slot.device_watch = std::make_unique<DeviceWatcher>(window, WM_APP_REFRESH_DEVICES);
}

LRESULT color_reply(WPARAM wparam, int background, bool transparent) {
    HDC dc = reinterpret_cast<HDC>(wparam);
    ::SetTextColor(dc, RGB(0, 0, 0));
    if (transparent) {
        ::SetBkMode(dc, TRANSPARENT);
    } else {
        ::SetBkColor(dc, ::GetSysColor(background));
    }
    return reinterpret_cast<LRESULT>(::GetSysColorBrush(background));
}

void handle_command(WORD id) {
    WindowSlot& slot = window_slot();
    WindowContext context(slot);
    switch (id) {
        case IDC_START:
            context.controller().toggle_recording();
            break;
        case IDC_MIC:
            context.controller().set_source_enabled(SourceSpec::default_microphone(),
                                                    context.view().is_checked(Control::Mic));
            break;
        case IDC_SYSTEM:
            context.controller().set_source_enabled(
                SourceSpec::system_audio(), context.view().is_checked(Control::SystemAudio));
            break;
        case IDC_REPAIR:
            run_repair_command(context.view());
            break;
        case IDC_NORMALIZE:
            run_normalize_command(context.view(), context.dialogs());
            break;
        default:
            break;
    }
}

}  // namespace

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_CREATE:
            build_window(window);
            return 0;
        case WM_DESTROY:
            if (has_window_slot()) {
                WindowSlot& slot = window_slot();
                slot.font = nullptr;
                slot.owned_font.reset();
                slot.device_watch.reset();
            }
            ::PostQuitMessage(0);
            return 0;
        case WM_ACTIVATE:
            if (LOWORD(wparam) != WA_INACTIVE && has_window_slot()) {
                focus_last_or_start(window_slot());
            }
            return 0;
        case WM_SETFOCUS: {
            if (!has_window_slot())
                return 0;
            WindowSlot& slot = window_slot();
            HWND focused = ::GetFocus();
            for (Control c : FOCUS_KEEPERS) {
                if (focused != nullptr && slot.control(c) == focused) {
                    slot.last_focus = focused;
                    return 0;
                }
            }
            focus_last_or_start(slot);
            return 0;
        }
        case WM_CLOSE:
            if (has_window_slot() && window_slot().state.recording) {
                WindowContext context(window_slot());
                context.controller().stop_recording();
            }
            ::KillTimer(window, IDT_TICK);
            ::DestroyWindow(window);
            return 0;
        case WM_COMMAND:
            if (HIWORD(wparam) == BN_CLICKED)
                handle_command(LOWORD(wparam));
            return 0;
        case WM_TIMER:
            if (wparam == IDT_DEADLINE)
                ::KillTimer(window, IDT_DEADLINE);
            if (wparam == IDT_TICK || wparam == IDT_DEADLINE) {
                {
                    WindowContext context(window_slot());
                    context.controller().on_tick();
                }
                // A timer that came a little early waits for the rest.
                if (wparam == IDT_DEADLINE && has_window_slot() && window_slot().state.recording)
                    arm_deadline_timer(window);
            }
            return 0;
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
            return color_reply(wparam, COLOR_WINDOW, false);
        case WM_CTLCOLORBTN:
            return color_reply(wparam, COLOR_BTNFACE, false);
        case WM_CTLCOLORSTATIC:
            return color_reply(wparam, COLOR_BTNFACE, true);
        case WM_APP_REFRESH_DEVICES: {
            WindowContext context(window_slot());
            context.controller().refresh_device_list();
            return 0;
        }
        case WM_APP_SOURCE_RESULT: {
            // Taken first, so it is freed whatever happens below.
            auto report = take_source_start_report(wparam);
            WindowContext context(window_slot());
            context.controller().on_source_report(std::move(report));
            return 0;
        }
        default:
            break;
    }
    return ::DefWindowProcW(window, message, wparam, lparam);
}

void arm_deadline_timer(HWND window) {
    if (!has_window_slot() || !window_slot().state.deadline)
        return;
    const auto left = *window_slot().state.deadline - std::chrono::steady_clock::now();
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    const auto due = static_cast<UINT>(std::clamp<long long>(ms, USER_TIMER_MINIMUM, 0x7FFFFFFF));
    ::SetTimer(window, IDT_DEADLINE, due, nullptr);
}

Result<void> register_main_window_class(HINSTANCE instance) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = &main_window_proc;
    wc.hInstance = instance;
    wc.hIcon = ::LoadIconW(nullptr, IDI_APPLICATION);
    wc.hIconSm = ::LoadIconW(nullptr, IDI_APPLICATION);
    wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    wc.lpszClassName = MAIN_WINDOW_CLASS;
    if (::RegisterClassExW(&wc) == 0) {
        return fail(ErrorKind::Other, "Failed to register window class");
    }
    return {};
}

Result<HWND> create_main_window(HINSTANCE instance) {
    HWND window = ::CreateWindowExW(0, MAIN_WINDOW_CLASS, L"Kestrune", MAIN_STYLE, CW_USEDEFAULT,
                                    CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                                    instance, nullptr);
    if (window == nullptr)
        return fail(ErrorKind::Other, "Failed to create window");
    window_slot().main = window;
    return window;
}

}  // namespace kestrune::win
