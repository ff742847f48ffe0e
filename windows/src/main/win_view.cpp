#include "main/win_view.hpp"

#include <commdlg.h>
#include <shobjidl.h>
#include <wrl/client.h>

#include <algorithm>
#include <string>
#include <vector>

#include "backend_win/source_start_worker.hpp"
#include "common/com.hpp"
#include "common/wide.hpp"
#include "common/win_error.hpp"
#include "main/level_meter_control.hpp"
#include "main/main_window.hpp"

namespace kestrune::win {
namespace {

constexpr DWORD FILE_BUFFER_UNITS = 32768;

UINT icon_flag(MessageIcon icon) {
    switch (icon) {
        case MessageIcon::Error:
            return MB_ICONERROR;
        case MessageIcon::Warning:
            return MB_ICONWARNING;
        case MessageIcon::Information:
            break;
    }
    return MB_ICONINFORMATION;
}

std::filesystem::path path_until_nul(const std::vector<wchar_t>& buffer) {
    return std::filesystem::path(std::wstring(buffer.data()));
}

Error picker_error(const char* reason, HRESULT hr) {
    return make_error(ErrorKind::Other, std::string(reason) + " (error " + hresult_hex(hr) + ")");
}

}  // namespace

void WinView::set_text(Control control, const std::string& text) {
    HWND h = slot_.control(control);
    if (h == nullptr)
        return;
    const std::wstring wide = to_wide(text);
    // The duration is set 20 times a second; an unchanged text is not
    // repainted.
    const int n = ::GetWindowTextLengthW(h);
    if (n == static_cast<int>(wide.size())) {
        std::wstring current(static_cast<std::size_t>(n) + 1, L'\0');
        current.resize(static_cast<std::size_t>(::GetWindowTextW(h, current.data(), n + 1)));
        if (current == wide)
            return;
    }
    ::SetWindowTextW(h, wide.c_str());
}

void WinView::set_enabled(Control control, bool enabled) {
    if (HWND h = slot_.control(control))
        ::EnableWindow(h, enabled ? TRUE : FALSE);
}

void WinView::set_focus(Control control) {
    if (HWND h = slot_.control(control))
        ::SetFocus(h);
}

bool WinView::is_checked(Control control) const {
    HWND h = slot_.control(control);
    return h != nullptr && ::SendMessageW(h, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

int WinView::quality_selection() const {
    HWND h = slot_.control(Control::Quality);
    if (h == nullptr)
        return -1;
    return static_cast<int>(::SendMessageW(h, CB_GETCURSEL, 0, 0));
}

std::string WinView::output_text() const {
    HWND h = slot_.control(Control::Output);
    if (h == nullptr)
        return {};
    const int length = ::GetWindowTextLengthW(h);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const int n = ::GetWindowTextW(h, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(n > 0 ? n : 0));
    return to_utf8(text);
}

void WinView::list_clear() {
    if (HWND h = slot_.control(Control::Devices))
        ::SendMessageW(h, LB_RESETCONTENT, 0, 0);
}

void WinView::list_append(const std::string& text) {
    if (HWND h = slot_.control(Control::Devices)) {
        const std::wstring wide = to_wide(text);
        ::SendMessageW(h, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide.c_str()));
    }
}

void WinView::list_replace(std::size_t index, const std::string& text) {
    if (HWND h = slot_.control(Control::Devices)) {
        const std::wstring wide = to_wide(text);
        ::SendMessageW(h, LB_DELETESTRING, index, 0);
        ::SendMessageW(h, LB_INSERTSTRING, index, reinterpret_cast<LPARAM>(wide.c_str()));
    }
}

void WinView::list_select(std::size_t index) {
    if (HWND h = slot_.control(Control::Devices))
        ::SendMessageW(h, LB_SETCURSEL, index, 0);
}

std::optional<std::size_t> WinView::list_selection() const {
    HWND h = slot_.control(Control::Devices);
    if (h == nullptr)
        return std::nullopt;
    const LRESULT selected = ::SendMessageW(h, LB_GETCURSEL, 0, 0);
    if (selected < 0)
        return std::nullopt;
    return static_cast<std::size_t>(selected);
}

void WinView::show_meters(const std::vector<MeterReading>& meters) {
    const std::size_t count = std::min(meters.size(), slot_.meters.size());
    if (count != slot_.meters_laid_out)
        place_meters(slot_, count);
    for (std::size_t i = 0; i < slot_.meters.size(); ++i) {
        HWND meter = slot_.meters[i];
        if (meter == nullptr)
            continue;
        if (i < count) {
            ::SendMessageW(meter, METER_SET_READING, 0, reinterpret_cast<LPARAM>(&meters[i]));
            if (!::IsWindowVisible(meter))
                ::ShowWindow(meter, SW_SHOWNA);
        } else if (::IsWindowVisible(meter)) {
            ::ShowWindow(meter, SW_HIDE);
        }
    }
    if (HWND hint = ::GetDlgItem(slot_.main, IDC_METER_HINT)) {
        const bool show = count == 0;
        if ((::IsWindowVisible(hint) != FALSE) != show)
            ::ShowWindow(hint, show ? SW_SHOWNA : SW_HIDE);
    }
}

void WinView::show_recording_on_taskbar(bool recording, std::optional<double> done) {
    if (!slot_.taskbar_tried && recording) {
        // Once per window: where the shell has no taskbar object (wine), the
        // recording goes on without it.
        slot_.taskbar_tried = true;
        slot_.taskbar_com.emplace(COINIT_APARTMENTTHREADED);
        if (slot_.taskbar_com->succeeded() || slot_.taskbar_com->result() == RPC_E_CHANGED_MODE) {
            Microsoft::WRL::ComPtr<ITaskbarList3> taskbar;
            if (SUCCEEDED(::CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER,
                                             IID_PPV_ARGS(&taskbar))) &&
                SUCCEEDED(taskbar->HrInit())) {
                slot_.taskbar = std::move(taskbar);
            }
        }
    }
    if (!slot_.taskbar || slot_.main == nullptr)
        return;
    if (!recording) {
        (void)slot_.taskbar->SetProgressState(slot_.main, TBPF_NOPROGRESS);
    } else if (!done) {
        (void)slot_.taskbar->SetProgressState(slot_.main, TBPF_INDETERMINATE);
    } else {
        constexpr ULONGLONG steps = 1000;
        (void)slot_.taskbar->SetProgressState(slot_.main, TBPF_NORMAL);
        (void)slot_.taskbar->SetProgressValue(
            slot_.main, static_cast<ULONGLONG>(std::clamp(*done, 0.0, 1.0) * steps), steps);
    }
}

void WinView::show_message(const std::string& text, const std::string& caption, MessageIcon icon) {
    ::MessageBoxW(slot_.main, to_wide(text).c_str(), to_wide(caption).c_str(),
                  MB_OK | icon_flag(icon));
}

bool WinView::ask_yes_no(const std::string& text, const std::string& caption) {
    return ::MessageBoxW(slot_.main, to_wide(text).c_str(), to_wide(caption).c_str(),
                         MB_YESNO | MB_ICONQUESTION) == IDYES;
}

void WinView::post_close() {
    if (slot_.main != nullptr)
        ::PostMessageW(slot_.main, WM_CLOSE, 0, 0);
}

std::optional<std::filesystem::path> WinDialogs::save_as(const std::filesystem::path& suggested) {
    std::vector<wchar_t> buffer(FILE_BUFFER_UNITS, L'\0');
    const std::wstring name = suggested.wstring();
    std::copy_n(name.begin(), std::min<std::size_t>(name.size(), FILE_BUFFER_UNITS - 1),
                buffer.begin());
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = slot_.main;
    ofn.lpstrFilter = L"WAV Files (*.wav)\0*.wav\0\0";
    ofn.lpstrFile = buffer.data();
    ofn.nMaxFile = FILE_BUFFER_UNITS;
    ofn.lpstrTitle = L"Save recording as";
    // The overwrite prompt then asks about the name that will really be used:
    // a typed "interview" is "interview.wav".
    ofn.lpstrDefExt = L"wav";
    ofn.Flags = OFN_OVERWRITEPROMPT | OFN_NOCHANGEDIR | OFN_PATHMUSTEXIST | OFN_EXPLORER;
    if (!::GetSaveFileNameW(&ofn))
        return std::nullopt;
    return path_until_nul(buffer);
}

std::optional<std::filesystem::path> WinDialogs::open_wav() {
    std::vector<wchar_t> buffer(FILE_BUFFER_UNITS, L'\0');
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = slot_.main;
    ofn.lpstrFilter = L"WAV Files (*.wav)\0*.wav\0All Files (*.*)\0*.*\0\0";
    ofn.lpstrFile = buffer.data();
    ofn.nMaxFile = FILE_BUFFER_UNITS;
    ofn.lpstrTitle = L"Select WAV file to normalize";
    ofn.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;
    if (!::GetOpenFileNameW(&ofn))
        return std::nullopt;
    return path_until_nul(buffer);
}

Result<std::optional<std::filesystem::path>> WinDialogs::pick_folder() {
    return win::pick_folder(slot_.main);
}

Result<std::optional<std::filesystem::path>> pick_folder(HWND owner) {
    // A thread already in the multithreaded apartment (the capture backend may
    // have put it there) keeps it; the picker works there too.
    ComInit com(COINIT_APARTMENTTHREADED);
    if (!com.succeeded() && com.result() != RPC_E_CHANGED_MODE) {
        return std::unexpected(
            picker_error("could not initialise the folder picker", com.result()));
    }
    Microsoft::WRL::ComPtr<IFileOpenDialog> dialog;
    HRESULT hr =
        ::CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_ALL, IID_PPV_ARGS(&dialog));
    if (FAILED(hr))
        return std::unexpected(picker_error("could not create the folder picker", hr));
    FILEOPENDIALOGOPTIONS options = 0;
    hr = dialog->GetOptions(&options);
    if (SUCCEEDED(hr)) {
        hr =
            dialog->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM | FOS_PATHMUSTEXIST);
    }
    if (SUCCEEDED(hr))
        hr = dialog->SetTitle(L"Choose folder for stem files");
    if (FAILED(hr)) {
        return std::unexpected(picker_error("could not configure the folder picker", hr));
    }
    hr = dialog->Show(owner);
    if (hr == HRESULT_FROM_WIN32(ERROR_CANCELLED))
        return std::optional<std::filesystem::path>{};
    if (FAILED(hr))
        return std::unexpected(picker_error("the folder picker failed", hr));
    Microsoft::WRL::ComPtr<IShellItem> item;
    hr = dialog->GetResult(&item);
    if (FAILED(hr) || !item) {
        return std::unexpected(picker_error("could not read the chosen folder", hr));
    }
    CoTaskMemPtr<wchar_t> name;
    hr = item->GetDisplayName(SIGDN_FILESYSPATH, name.put());
    if (FAILED(hr) || !name) {
        return std::unexpected(picker_error("the chosen folder is not a file-system folder", hr));
    }
    return std::optional<std::filesystem::path>(std::filesystem::path(name.get()));
}

void WinSourceStarter::start_worker(const SourceSpec& spec, std::uint64_t index,
                                    std::shared_ptr<SampleBuffer> buffer) {
    launch_source_start(slot_.main, spec, index, std::move(buffer));
}

void WinSourceStarter::post_report(std::unique_ptr<SourceStartReport> report) {
    (void)post_source_start_report(slot_.main, std::move(report));
}

WindowContext::WindowContext(WindowSlot& slot)
    : view_(slot),
      dialogs_(slot),
      starter_(slot),
      controller_(slot.state, view_, dialogs_,
                  ControllerServices{*slot.backend, slot.locations, starter_}) {}

}  // namespace kestrune::win
