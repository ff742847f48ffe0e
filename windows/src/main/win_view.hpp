#pragma once
// The window logic's view, dialogs and source starts in their Win32 form.

#include <windows.h>

#include "controller/controller.hpp"
#include "controller/view.hpp"
#include "main/window_slot.hpp"

namespace kestrune::win {

class WinView : public View {
public:
    explicit WinView(WindowSlot& slot) : slot_(slot) {}

    void set_text(Control control, const std::string& text) override;
    void set_enabled(Control control, bool enabled) override;
    void set_focus(Control control) override;
    bool is_checked(Control control) const override;
    int quality_selection() const override;
    std::string output_text() const override;
    void list_clear() override;
    void list_append(const std::string& text) override;
    void list_replace(std::size_t index, const std::string& text) override;
    void list_select(std::size_t index) override;
    std::optional<std::size_t> list_selection() const override;
    void show_meters(const std::vector<MeterReading>& meters) override;
    void show_recording_on_taskbar(bool recording, std::optional<double> done) override;
    void show_message(const std::string& text, const std::string& caption,
                      MessageIcon icon) override;
    bool ask_yes_no(const std::string& text, const std::string& caption) override;
    void post_close() override;

private:
    // Read at each call: a nested message loop may have replaced the slot's
    // handles in the meantime.
    WindowSlot& slot_;
};

class WinDialogs : public Dialogs {
public:
    explicit WinDialogs(const WindowSlot& slot) : slot_(slot) {}
    std::optional<std::filesystem::path> save_as(const std::filesystem::path& suggested) override;
    std::optional<std::filesystem::path> open_wav() override;
    Result<std::optional<std::filesystem::path>> pick_folder() override;

private:
    const WindowSlot& slot_;
};

// The folder picker; errors name the reason and the failing HRESULT.
[[nodiscard]] Result<std::optional<std::filesystem::path>> pick_folder(HWND owner);

class WinSourceStarter : public SourceStarter {
public:
    explicit WinSourceStarter(const WindowSlot& slot) : slot_(slot) {}
    void start_worker(const SourceSpec& spec, std::uint64_t index,
                      std::shared_ptr<SampleBuffer> buffer) override;
    void post_report(std::unique_ptr<SourceStartReport> report) override;

private:
    const WindowSlot& slot_;
};

// The view, dialogs and starter of this thread's window, with a controller
// over them; built per message, cheap.
class WindowContext {
public:
    explicit WindowContext(WindowSlot& slot);
    WindowContext(const WindowContext&) = delete;
    WindowContext& operator=(const WindowContext&) = delete;

    [[nodiscard]] Controller& controller() { return controller_; }
    [[nodiscard]] WinView& view() { return view_; }
    [[nodiscard]] WinDialogs& dialogs() { return dialogs_; }

private:
    WinView view_;
    WinDialogs dialogs_;
    WinSourceStarter starter_;
    Controller controller_;
};

}  // namespace kestrune::win
