#include "main/level_meter_control.hpp"

#include <cmath>
#include <memory>
#include <string>

#include "common/unique_handle.hpp"
#include "common/wide.hpp"

namespace kestrune::win {
namespace {

struct MeterData {
    MeterReading reading;
    HFONT font = nullptr;  // the parent's, not owned
};

struct MemoryDcTraits {
    using Handle = HDC;
    static Handle invalid() { return nullptr; }
    static void close(Handle h) { ::DeleteDC(h); }
};
using UniqueMemoryDc = UniqueHandle<MemoryDcTraits>;

MeterData* data_of(HWND meter) {
    return reinterpret_cast<MeterData*>(::GetWindowLongPtrW(meter, GWLP_USERDATA));
}

LRESULT hundredths(float db) {
    return static_cast<LRESULT>(std::lround(static_cast<double>(db) * 100.0));
}

int bar_x(const RECT& bar, float db) {
    const float fraction = (db - METER_FLOOR_DB) / -METER_FLOOR_DB;
    return bar.left +
           static_cast<int>(std::lround(fraction * static_cast<float>(bar.right - bar.left)));
}

void fill(HDC dc, RECT r, int colour) {
    ::FillRect(dc, &r, ::GetSysColorBrush(colour));
}

void paint(HWND meter, HDC target, const MeterData& data) {
    RECT client{};
    ::GetClientRect(meter, &client);
    const int width = client.right;
    const int height = client.bottom;
    if (width <= 0 || height <= 0)
        return;
    UniqueMemoryDc dc(::CreateCompatibleDC(target));
    UniqueGdiObject bitmap(::CreateCompatibleBitmap(target, width, height));
    if (!dc || !bitmap)
        return;
    const HGDIOBJ old_bitmap = ::SelectObject(dc.get(), bitmap.get());
    const HGDIOBJ old_font = data.font != nullptr ? ::SelectObject(dc.get(), data.font) : nullptr;
    ::SetBkMode(dc.get(), TRANSPARENT);
    fill(dc.get(), client, COLOR_BTNFACE);

    const MeterReading& r = data.reading;
    // Name | bar | level: the name takes a third, the level a fixed room.
    SIZE value_size{};
    ::GetTextExtentPoint32W(dc.get(), L"-60 dB", 6, &value_size);
    const int value_width = value_size.cx + height / 2;
    RECT name{0, 0, width / 3, height};
    RECT bar{name.right + height / 4, 1, width - value_width, height - 1};
    RECT value{bar.right, 0, width, height};

    const std::wstring label = to_wide(r.label);
    ::SetTextColor(dc.get(), ::GetSysColor(COLOR_BTNTEXT));
    ::DrawTextW(dc.get(), label.c_str(), -1, &name,
                DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);

    if (bar.right > bar.left + 4) {
        fill(dc.get(), bar, COLOR_BTNSHADOW);
        RECT inside{bar.left + 1, bar.top + 1, bar.right - 1, bar.bottom - 1};
        fill(dc.get(), inside, COLOR_WINDOW);
        if (r.lost) {
            ::SetTextColor(dc.get(), ::GetSysColor(COLOR_WINDOWTEXT));
            ::DrawTextW(dc.get(), L"lost", -1, &inside,
                        DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
        } else {
            // The clip mark takes the bar's last cell, so it never hides the level.
            const int clip_width = std::max(3, height / 2);
            RECT clip{inside.right - clip_width, inside.top, inside.right, inside.bottom};
            RECT scale{inside.left, inside.top, clip.left - 1, inside.bottom};
            RECT level = scale;
            level.right = bar_x(scale, r.level_db);
            if (level.right > level.left)
                fill(dc.get(), level, COLOR_HIGHLIGHT);
            if (r.hold_db > METER_FLOOR_DB) {
                const int x = std::min(bar_x(scale, r.hold_db), static_cast<int>(scale.right) - 2);
                fill(dc.get(), RECT{x, scale.top, x + 2, scale.bottom}, COLOR_WINDOWTEXT);
            }
            if (r.clipped) {
                UniqueGdiObject red(::CreateSolidBrush(RGB(220, 0, 0)));
                if (red)
                    ::FillRect(dc.get(), &clip, static_cast<HBRUSH>(red.get()));
            } else {
                fill(dc.get(), RECT{clip.left, clip.top, clip.left + 1, clip.bottom},
                     COLOR_BTNSHADOW);
            }
        }
    }

    if (!r.lost && r.level_db > METER_FLOOR_DB) {
        const std::wstring db = std::to_wstring(std::lround(r.level_db)) + L" dB";
        ::SetTextColor(dc.get(), ::GetSysColor(COLOR_BTNTEXT));
        ::DrawTextW(dc.get(), db.c_str(), -1, &value,
                    DT_RIGHT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    }

    ::BitBlt(target, 0, 0, width, height, dc.get(), 0, 0, SRCCOPY);
    if (old_font != nullptr)
        ::SelectObject(dc.get(), old_font);
    ::SelectObject(dc.get(), old_bitmap);
}

LRESULT CALLBACK meter_proc(HWND meter, UINT message, WPARAM wparam, LPARAM lparam) {
    MeterData* data = data_of(meter);
    switch (message) {
        case WM_NCCREATE: {
            // Owned by the window from here on; freed at WM_NCDESTROY.
            auto owned = std::make_unique<MeterData>();
            ::SetWindowLongPtrW(meter, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(owned.release()));
            break;
        }
        case WM_NCDESTROY:
            std::unique_ptr<MeterData>(data).reset();
            ::SetWindowLongPtrW(meter, GWLP_USERDATA, 0);
            break;
        case WM_ERASEBKGND:
            return 1;  // the paint covers every pixel
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = ::BeginPaint(meter, &ps);
            if (dc != nullptr && data != nullptr)
                paint(meter, dc, *data);
            ::EndPaint(meter, &ps);
            return 0;
        }
        case WM_SETFONT:
            if (data != nullptr) {
                data->font = reinterpret_cast<HFONT>(wparam);
                if (LOWORD(lparam) != 0)
                    ::InvalidateRect(meter, nullptr, FALSE);
            }
            return 0;
        case WM_GETFONT:
            return data != nullptr ? reinterpret_cast<LRESULT>(data->font) : 0;
        case METER_SET_READING: {
            const auto* reading = reinterpret_cast<const MeterReading*>(lparam);
            if (data == nullptr || reading == nullptr || data->reading == *reading)
                return 0;
            if (data->reading.label != reading->label)
                ::DefWindowProcW(meter, WM_SETTEXT, 0,
                                 reinterpret_cast<LPARAM>(to_wide(reading->label).c_str()));
            data->reading = *reading;
            ::InvalidateRect(meter, nullptr, FALSE);
            return 0;
        }
        case METER_GET_LEVEL:
            return data != nullptr ? hundredths(data->reading.level_db)
                                   : hundredths(METER_FLOOR_DB);
        case METER_GET_HOLD:
            return data != nullptr ? hundredths(data->reading.hold_db) : hundredths(METER_FLOOR_DB);
        case METER_GET_FLAGS:
            if (data == nullptr)
                return 0;
            return (data->reading.clipped ? METER_FLAG_CLIPPED : 0) |
                   (data->reading.lost ? METER_FLAG_LOST : 0);
        default:
            break;
    }
    return ::DefWindowProcW(meter, message, wparam, lparam);
}

}  // namespace

Result<void> register_level_meter_class(HINSTANCE instance) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &meter_proc;
    wc.hInstance = instance;
    wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = LEVEL_METER_CLASS;
    if (::RegisterClassExW(&wc) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return fail(ErrorKind::Other, "Failed to register the level meter class");
    return {};
}

}  // namespace kestrune::win
