#include "main/main_window.hpp"

#include <commctrl.h>
#include <windowsx.h>

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
#include "main/level_meter_control.hpp"
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
// Paths and device names may hold '&'; and a path has no spaces to wrap at.
constexpr DWORD STATUS_STYLE = SS_NOPREFIX | SS_EDITCONTROL | SS_NOTIFY;
constexpr int IDC_NO_MIC = 114;

// In creation order, which is also the tab order; a label comes just before
// the control its access key moves to. The microphone row is either the
// check box or the label, never both.
const ControlSpec CONTROL_TABLE[] = {
    {L"BUTTON", L"&Start Recording", WS_TABSTOP | BS_DEFPUSHBUTTON, 10, 10, 160, 26, IDC_START,
     Control::StartStop},
    {L"STATIC", L"", SS_NOPREFIX, 180, 15, 240, 18, 0, Control::Duration},
    {L"BUTTON", L"Record &microphone", CHECKBOX, 10, 46, 200, 20, IDC_MIC, Control::Mic},
    {L"STATIC", L"No microphone found", 0, 10, 49, 200, 16, IDC_NO_MIC, std::nullopt},
    {L"BUTTON", L"Record s&ystem audio", CHECKBOX, 10, 68, 200, 20, IDC_SYSTEM,
     Control::SystemAudio},
    {L"STATIC", L"Levels show here while recording.", 0, 10, 94, 580, 16, IDC_METER_HINT,
     std::nullopt},
    {L"BUTTON", L"Single &file", WS_GROUP | WS_TABSTOP | BS_AUTORADIOBUTTON, 10, 162, 145, 20,
     IDC_SINGLE, Control::Single},
    {L"BUTTON", L"Stems (si&lence)", BS_AUTORADIOBUTTON, 10, 198, 145, 20, IDC_STEMS_SILENCE,
     Control::StemsSilence},
    {L"BUTTON", L"Stems (&instructed)", BS_AUTORADIOBUTTON, 10, 234, 155, 20, IDC_STEMS_INSTRUCTED,
     Control::StemsInstructed},
    {L"STATIC", L"Mix all sources into one recording file.", 0, 165, 164, 425, 30, 0, std::nullopt},
    {L"STATIC",
     L"Record each source separately; insert silence while disabled so files stay aligned.", 0, 165,
     200, 425, 30, 0, std::nullopt},
    {L"STATIC", L"Record active segments separately and provide sample-accurate editor offsets.", 0,
     165, 236, 425, 30, 0, std::nullopt},
    {L"STATIC", L"&Quality:", 0, 10, 271, 55, 16, 0, std::nullopt},
    {L"COMBOBOX", L"", WS_TABSTOP | CBS_DROPDOWNLIST | WS_VSCROLL, 68, 268, 522, 0, IDC_QUALITY,
     Control::Quality, Extent::Fixed, Extent::ComboHeight},
    {L"STATIC", L"Other &devices (click the box, double-click or Space to switch):", 0, 10, 296,
     580, 16, 0, std::nullopt},
    {L"LISTBOX", nullptr,
     WS_VSCROLL | WS_TABSTOP | LBS_NOINTEGRALHEIGHT | LBS_NOTIFY | LBS_OWNERDRAWFIXED |
         LBS_HASSTRINGS,
     10, 314, 580, 4, IDC_DEVICES, Control::Devices, Extent::Fixed, Extent::ListHeight},
    {L"STATIC", L"&Output folder:", 0, 10, 326, 85, 18, 0, std::nullopt, Extent::AfterList},
    {L"EDIT", nullptr, WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 100, 324, 490, 22, IDC_OUTPUT,
     Control::Output, Extent::AfterList},
    {L"BUTTON", L"Ask &where to save after recording", CHECKBOX, 10, 354, 360, 28, IDC_ASK_SAVE,
     Control::AskSave, Extent::AfterList},
    {L"BUTTON", L"&Repair incomplete recordings", WS_TABSTOP, 10, 386, 280, 26, IDC_REPAIR,
     Control::Repair, Extent::AfterList},
    {L"BUTTON", L"&Normalize WAV file...", WS_TABSTOP, 300, 386, 290, 26, IDC_NORMALIZE,
     Control::Normalize, Extent::AfterList},
    {L"STATIC", L"Ready.", STATUS_STYLE, 10, 420, 580, 68, IDC_STATUS, Control::Status,
     Extent::AfterList},
};

constexpr DWORD MAIN_STYLE = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;

// The device list's own procedure, saved once when it is subclassed.
std::atomic<WNDPROC> previous_list_proc{nullptr};
std::atomic<bool> previous_list_proc_saved{false};

// The check box's square in a device row, in the list's client coordinates.
RECT device_box(const RECT& row) {
    const int side = std::max<int>(row.bottom - row.top - 4, 6);
    const int top = row.top + (row.bottom - row.top - side) / 2;
    return RECT{row.left + 2, top, row.left + 2 + side, top + side};
}

bool toggle_selected_device() {
    if (!has_window_slot())
        return false;
    WindowContext context(window_slot());
    return context.controller().toggle_device_item();
}

LRESULT CALLBACK device_list_proc(HWND list, UINT message, WPARAM wparam, LPARAM lparam) {
    WNDPROC previous = previous_list_proc_saved ? previous_list_proc.load() : nullptr;
    auto call_previous = [&] {
        if (previous != nullptr)
            return ::CallWindowProcW(previous, list, message, wparam, lparam);
        return ::DefWindowProcW(list, message, wparam, lparam);
    };
    switch (message) {
        case WM_KEYDOWN:
            if (wparam == VK_SPACE && ::SendMessageW(list, LB_GETCURSEL, 0, 0) >= 0 &&
                toggle_selected_device()) {
                return 0;
            }
            break;
        case WM_LBUTTONDOWN:
        case WM_LBUTTONDBLCLK: {
            // The list selects the row first; the switch then works on it.
            const LRESULT result = call_previous();
            const POINT at{GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)};
            const LRESULT hit = ::SendMessageW(list, LB_ITEMFROMPOINT, 0, MAKELPARAM(at.x, at.y));
            if (HIWORD(hit) != 0)
                return result;  // below the last row
            RECT row{};
            if (::SendMessageW(list, LB_GETITEMRECT, LOWORD(hit), reinterpret_cast<LPARAM>(&row)) ==
                LB_ERR) {
                return result;
            }
            const RECT box = device_box(row);
            // A double-click switches wherever it lands; its first click has
            // already switched when it was on the box, so this is the second.
            if (message == WM_LBUTTONDBLCLK || ::PtInRect(&box, at)) {
                ::SendMessageW(list, LB_SETCURSEL, LOWORD(hit), 0);
                (void)toggle_selected_device();
            }
            return result;
        }
        default:
            break;
    }
    return call_previous();
}

void draw_device_item(const DRAWITEMSTRUCT& item) {
    if (item.itemID == static_cast<UINT>(-1))
        return;
    const WindowSlot& slot = window_slot();
    const bool selected = (item.itemState & ODS_SELECTED) != 0;
    HDC dc = item.hDC;
    ::FillRect(dc, &item.rcItem, ::GetSysColorBrush(selected ? COLOR_HIGHLIGHT : COLOR_WINDOW));
    const bool on = item.itemID < slot.state.device_on.size() && slot.state.device_on[item.itemID];
    RECT box = device_box(item.rcItem);
    ::DrawFrameControl(dc, &box, DFC_BUTTON,
                       DFCS_BUTTONCHECK | DFCS_FLAT | (on ? DFCS_CHECKED : 0));
    const auto length = ::SendMessageW(item.hwndItem, LB_GETTEXTLEN, item.itemID, 0);
    if (length > 0) {
        std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
        ::SendMessageW(item.hwndItem, LB_GETTEXT, item.itemID,
                       reinterpret_cast<LPARAM>(text.data()));
        text.resize(static_cast<std::size_t>(length));
        RECT where = item.rcItem;
        where.left = box.right + (box.right - box.left) / 2;
        ::SetBkMode(dc, TRANSPARENT);
        ::SetTextColor(dc, ::GetSysColor(selected ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
        ::DrawTextW(dc, text.c_str(), -1, &where,
                    DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);
    }
    if ((item.itemState & ODS_FOCUS) != 0)
        ::DrawFocusRect(dc, &item.rcItem);
}

// The focused control when it is one of ours and can take the focus.
bool can_take_focus(HWND window, HWND control) {
    return control != nullptr && ::IsWindow(control) && ::IsChild(window, control) &&
           ::IsWindowVisible(control) && ::IsWindowEnabled(control);
}

void focus_last_or_start(HWND window, const WindowSlot& slot) {
    HWND target = can_take_focus(window, slot.last_focus) ? slot.last_focus
                                                          : slot.control(Control::StartStop);
    if (target != nullptr)
        ::SetFocus(target);
}

std::size_t count_device_items(CaptureBackend& backend) {
    return backend.list_render_endpoints().size() + backend.list_input_devices().size();
}

UINT window_dpi(HWND window) {
    const UINT dpi = ::GetDpiForWindow(window);
    if (dpi != 0)
        return dpi;
    UINT caps = 96;
    if (HDC dc = ::GetDC(window)) {
        caps = static_cast<UINT>(::GetDeviceCaps(dc, LOGPIXELSX));
        ::ReleaseDC(window, dc);
    }
    return caps;
}

RECT scaled(const LayoutRect& r, float scale) {
    const int x = scale_length(r.x, scale);
    const int y = scale_length(r.y, scale);
    return RECT{x, y, x + scale_length(r.width, scale), y + scale_length(r.height, scale)};
}

LayoutRect table_rect(const ControlSpec& spec, int room, std::size_t presets) {
    LayoutRect r{spec.x, spec.y, spec.width, spec.height};
    if (spec.y_extent == Extent::AfterList)
        r.y += room;
    if (spec.height_extent == Extent::ListHeight)
        r.height = room + 4;
    if (spec.height_extent == Extent::ComboHeight)
        r.height = 18 * static_cast<int>(presets) + 22;
    return r;
}

// Makes the GUI font at the slot's scale; returns the font it replaces, which
// the controls still hold until they are given the new one.
[[nodiscard]] UniqueGdiObject make_font(WindowSlot& slot) {
    HFONT stock = static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT));
    UniqueGdiObject replaced = std::move(slot.owned_font);
    slot.font = stock;
    LOGFONTW description{};
    if (stock != nullptr && ::GetObjectW(stock, sizeof description, &description) != 0) {
        if (description.lfHeight != 0)
            description.lfHeight = scale_length(description.lfHeight, slot.scale);
        if (HFONT made = ::CreateFontIndirectW(&description)) {
            slot.owned_font.reset(made);
            slot.font = made;
        }
    }
    return replaced;
}

}  // namespace

void place_meters(WindowSlot& slot, std::size_t count) {
    for (std::size_t i = 0; i < slot.meters.size(); ++i) {
        HWND meter = slot.meters[i];
        if (meter == nullptr)
            continue;
        const auto cell = meter_cell(i, count);
        if (!cell)
            continue;
        const RECT r = scaled(*cell, slot.scale);
        ::SetWindowPos(meter, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                       SWP_NOZORDER | SWP_NOACTIVATE);
    }
    slot.meters_laid_out = count;
}

namespace {

// Sizes the window and every control for the slot's scale; the font too.
void lay_out(HWND window, WindowSlot& slot) {
    const int room = device_list_room(slot.layout_device_count);
    const std::size_t presets = quality_presets().size();
    const UniqueGdiObject replaced_font = make_font(slot);
    for (std::size_t i = 0; i < slot.table_controls.size() && i < std::size(CONTROL_TABLE); ++i) {
        HWND control = slot.table_controls[i];
        if (control == nullptr)
            continue;
        const RECT r = scaled(table_rect(CONTROL_TABLE[i], room, presets), slot.scale);
        ::SetWindowPos(control, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                       SWP_NOZORDER | SWP_NOACTIVATE);
    }
    place_meters(slot, slot.meters_laid_out);
    ::EnumChildWindows(
        window,
        [](HWND child, LPARAM font) -> BOOL {
            ::SendMessageW(child, WM_SETFONT, static_cast<WPARAM>(font), TRUE);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(slot.font));
    if (HWND list = slot.control(Control::Devices)) {
        ::SendMessageW(list, LB_SETITEMHEIGHT, 0, scale_length(16, slot.scale));
        ::InvalidateRect(list, nullptr, TRUE);
    }
    if (slot.tooltip != nullptr) {
        ::SendMessageW(slot.tooltip, WM_SETFONT, reinterpret_cast<WPARAM>(slot.font), TRUE);
        ::SendMessageW(slot.tooltip, TTM_SETMAXTIPWIDTH, 0, scale_length(CLIENT_WIDTH, slot.scale));
    }
}

// Gives the window the client size of the slot's layout. The frame is
// estimated for the DPI first, then corrected by what the system made of it.
void size_client(HWND window, const WindowSlot& slot, const RECT* suggested) {
    const int width = scale_length(CLIENT_WIDTH, slot.scale);
    const int height =
        scale_length(CLIENT_BASE_HEIGHT + device_list_room(slot.layout_device_count), slot.scale);
    RECT rect{0, 0, width, height};
    if (!::AdjustWindowRectExForDpi(&rect, MAIN_STYLE, FALSE, 0, slot.dpi))
        ::AdjustWindowRect(&rect, MAIN_STYLE, FALSE);
    const UINT move = suggested != nullptr ? 0 : SWP_NOMOVE;
    const int x = suggested != nullptr ? suggested->left : 0;
    const int y = suggested != nullptr ? suggested->top : 0;
    ::SetWindowPos(window, nullptr, x, y, rect.right - rect.left, rect.bottom - rect.top,
                   SWP_NOZORDER | SWP_NOACTIVATE | move);
    RECT client{};
    RECT outer{};
    if (!::GetClientRect(window, &client) || !::GetWindowRect(window, &outer))
        return;
    if (client.right != width || client.bottom != height) {
        ::SetWindowPos(window, nullptr, 0, 0, outer.right - outer.left + width - client.right,
                       outer.bottom - outer.top + height - client.bottom,
                       SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE);
    }
}

float scale_for(const WindowSlot& slot) {
    return layout_scale(::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN),
                        static_cast<float>(slot.dpi) / 96.0f, slot.layout_device_count);
}

void add_status_tooltip(HWND window, WindowSlot& slot) {
    HWND status = slot.control(Control::Status);
    if (status == nullptr)
        return;
    slot.tooltip = ::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                                     WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT,
                                     CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, window, nullptr,
                                     ::GetModuleHandleW(nullptr), nullptr);
    if (slot.tooltip == nullptr)
        return;
    TTTOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = window;
    tool.uId = reinterpret_cast<UINT_PTR>(status);
    tool.lpszText = LPSTR_TEXTCALLBACKW;
    ::SendMessageW(slot.tooltip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
}

void build_window(HWND window) {
    WindowSlot& slot = window_slot();
    slot.main = window;
    const WindowConfig& initial = slot.state.initial;

    const std::size_t items = count_device_items(*slot.backend);
    const int room = device_list_room(items);
    slot.layout_device_count = items;
    slot.dpi = window_dpi(window);
    slot.scale = scale_for(slot);
    const float scale = slot.scale;

    const bool has_mic = slot.backend->default_input_name().has_value();
    const auto presets = quality_presets();
    const std::wstring output_text = to_wide(initial.output_folder);
    HINSTANCE instance = ::GetModuleHandleW(nullptr);
    slot.controls.fill(nullptr);
    slot.table_controls.assign(std::size(CONTROL_TABLE), nullptr);
    for (std::size_t i = 0; i < std::size(CONTROL_TABLE); ++i) {
        const ControlSpec& spec = CONTROL_TABLE[i];
        if (spec.id == IDC_MIC && !has_mic)
            continue;
        if (spec.id == IDC_NO_MIC && has_mic)
            continue;
        const RECT r = scaled(table_rect(spec, room, presets.size()), scale);
        const wchar_t* text = spec.text;
        if (spec.id == IDC_OUTPUT)
            text = output_text.c_str();
        const DWORD ex_style = spec.id == IDC_DEVICES ? WS_EX_CLIENTEDGE : 0;
        HWND control = ::CreateWindowExW(
            ex_style, spec.class_name, text, WS_CHILD | WS_VISIBLE | spec.style, r.left, r.top,
            r.right - r.left, r.bottom - r.top, window,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(spec.id)), instance, nullptr);
        slot.table_controls[i] = control;
        if (spec.role)
            slot.controls[static_cast<std::size_t>(*spec.role)] = control;
    }
    // After the table, so that they are last in the tab order (they take no focus).
    for (HWND& meter : slot.meters) {
        meter = ::CreateWindowExW(0, LEVEL_METER_CLASS, L"", WS_CHILD, 0, 0, 0, 0, window, nullptr,
                                  instance, nullptr);
    }
    add_status_tooltip(window, slot);

    if (HWND combo = slot.control(Control::Quality)) {
        for (const auto& preset : presets) {
            const std::wstring label = to_wide(preset.label);
            ::SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(label.c_str()));
        }
        ::SendMessageW(combo, CB_SETCURSEL, quality_index_for(initial.format), 0);
    }

    lay_out(window, slot);

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

    size_client(window, slot, nullptr);

    ::SetTimer(window, IDT_TICK, 1000, nullptr);
    ::SetTimer(window, IDT_METERS, METER_INTERVAL_MS, nullptr);

    {
        WindowContext context(slot);
        context.controller().refresh_device_list();
    }
    launch_device_warm_up(window);
    slot.device_watch = std::make_unique<DeviceWatcher>(window, WM_APP_REFRESH_DEVICES);
}

void on_dpi_changed(HWND window, UINT dpi, const RECT* suggested) {
    WindowSlot& slot = window_slot();
    slot.dpi = dpi != 0 ? dpi : 96;
    slot.scale = scale_for(slot);
    lay_out(window, slot);
    size_client(window, slot, suggested);
    ::InvalidateRect(window, nullptr, TRUE);
}

// The theme's own text colours, so that high-contrast themes stay readable.
LRESULT color_reply(WPARAM wparam, int text, int background, bool transparent) {
    HDC dc = reinterpret_cast<HDC>(wparam);
    ::SetTextColor(dc, ::GetSysColor(text));
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
        case IDOK:  // Enter, from the dialog navigation
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
                slot.taskbar.Reset();
                slot.taskbar_com.reset();
            }
            ::PostQuitMessage(0);
            return 0;
        case WM_ACTIVATE:
            // Focus lives in the controls, so it is kept when the window goes
            // inactive (Alt+Tab, a message box) and given back on return.
            if (!has_window_slot())
                return 0;
            if (LOWORD(wparam) == WA_INACTIVE) {
                HWND focused = ::GetFocus();
                if (focused != nullptr && ::IsChild(window, focused))
                    window_slot().last_focus = focused;
            } else if (HIWORD(wparam) == 0) {  // not while minimised
                focus_last_or_start(window, window_slot());
            }
            return 0;
        case WM_SETFOCUS:
            if (has_window_slot())
                focus_last_or_start(window, window_slot());
            return 0;
        case DM_GETDEFID:
            return MAKELRESULT(IDC_START, DC_HASDEFID);
        case WM_MEASUREITEM: {
            auto* measure = reinterpret_cast<MEASUREITEMSTRUCT*>(lparam);
            if (measure != nullptr && measure->CtlID == IDC_DEVICES) {
                const float scale = has_window_slot() ? window_slot().scale : 1.0f;
                measure->itemHeight = static_cast<UINT>(scale_length(16, scale));
                return TRUE;
            }
            break;
        }
        case WM_DRAWITEM: {
            const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lparam);
            if (item != nullptr && item->CtlID == IDC_DEVICES && has_window_slot()) {
                draw_device_item(*item);
                return TRUE;
            }
            break;
        }
        case WM_NOTIFY: {
            auto* header = reinterpret_cast<NMHDR*>(lparam);
            if (header != nullptr && header->code == TTN_GETDISPINFOW && has_window_slot()) {
                WindowSlot& slot = window_slot();
                HWND status = slot.control(Control::Status);
                const int n = status != nullptr ? ::GetWindowTextLengthW(status) : 0;
                slot.status_tip.assign(static_cast<std::size_t>(n) + 1, L'\0');
                if (n > 0)
                    ::GetWindowTextW(status, slot.status_tip.data(), n + 1);
                slot.status_tip.resize(static_cast<std::size_t>(n));
                reinterpret_cast<NMTTDISPINFOW*>(lparam)->lpszText = slot.status_tip.data();
                return 0;
            }
            break;
        }
        case WM_DPICHANGED:
            if (has_window_slot()) {
                on_dpi_changed(window, LOWORD(wparam), reinterpret_cast<const RECT*>(lparam));
            }
            return 0;
        case WM_CLOSE:
            if (has_window_slot() && window_slot().state.recording) {
                WindowContext context(window_slot());
                context.controller().stop_recording();
            }
            ::KillTimer(window, IDT_TICK);
            ::KillTimer(window, IDT_METERS);
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
            } else if (wparam == IDT_METERS) {
                WindowContext context(window_slot());
                context.controller().on_meter_tick();
            }
            return 0;
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
            return color_reply(wparam, COLOR_WINDOWTEXT, COLOR_WINDOW, false);
        case WM_CTLCOLORBTN:
            return color_reply(wparam, COLOR_BTNTEXT, COLOR_BTNFACE, false);
        case WM_CTLCOLORSTATIC:
            return color_reply(wparam, COLOR_BTNTEXT, COLOR_BTNFACE, true);
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
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&controls);
    return register_level_meter_class(instance);
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
