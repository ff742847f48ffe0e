#pragma once
// What the window logic needs from the window: its controls, its message
// boxes and its dialogs. The Windows build realises them with Win32 calls;
// tests record every call.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "controller/meter_ballistics.hpp"
#include "error.hpp"

namespace kestrune {

// The controls the logic reads or changes. A control the window lacks (the
// microphone check box on a machine without a microphone) reads as unchecked
// and ignores changes.
enum class Control {
    StartStop,
    Mic,
    SystemAudio,
    Single,
    StemsSilence,
    StemsInstructed,
    Quality,
    Devices,
    Output,
    AskSave,
    Repair,
    Normalize,
    Status,
    Duration,
};

enum class MessageIcon { Error, Warning, Information };

// One source's level meter as shown.
struct MeterReading {
    std::string label;
    float level_db = METER_FLOOR_DB;
    float hold_db = METER_FLOOR_DB;
    bool clipped = false;
    bool lost = false;
    friend bool operator==(const MeterReading&, const MeterReading&) = default;
};

class View {
public:
    virtual ~View() = default;

    virtual void set_text(Control control, const std::string& text) = 0;
    virtual void set_enabled(Control control, bool enabled) = 0;
    virtual void set_focus(Control control) = 0;
    // True only for the checked state.
    [[nodiscard]] virtual bool is_checked(Control control) const = 0;
    // Negative when nothing is selected.
    [[nodiscard]] virtual int quality_selection() const = 0;
    // The output-folder field's whole text.
    [[nodiscard]] virtual std::string output_text() const = 0;

    virtual void list_clear() = 0;
    virtual void list_append(const std::string& text) = 0;
    virtual void list_replace(std::size_t index, const std::string& text) = 0;
    virtual void list_select(std::size_t index) = 0;
    [[nodiscard]] virtual std::optional<std::size_t> list_selection() const = 0;

    // The level meters, one per reading in this order; none hides them all.
    virtual void show_meters(const std::vector<MeterReading>& meters) = 0;

    // The taskbar button while recording: absent done, a recording without a
    // set end; else the share of a timed recording done (0..1).
    virtual void show_recording_on_taskbar(bool recording, std::optional<double> done) = 0;

    // Modal, owned by the main window; runs a nested message loop.
    virtual void show_message(const std::string& text, const std::string& caption,
                              MessageIcon icon) = 0;
    // A Yes/No question with the question icon; true for Yes.
    [[nodiscard]] virtual bool ask_yes_no(const std::string& text, const std::string& caption) = 0;
    // Asks the main window to close once the current message is handled.
    virtual void post_close() = 0;

    void set_status(const std::string& text) { set_text(Control::Status, text); }
};

// The common dialogs, all modal to the main window.
class Dialogs {
public:
    virtual ~Dialogs() = default;

    // Save As for a recording; suggested is the file name to start with.
    // Absent when cancelled.
    [[nodiscard]] virtual std::optional<std::filesystem::path> save_as(
        const std::filesystem::path& suggested) = 0;
    // A WAV file to normalize; absent when cancelled or failed.
    [[nodiscard]] virtual std::optional<std::filesystem::path> open_wav() = 0;
    // A folder for stem files; absent when cancelled.
    [[nodiscard]] virtual Result<std::optional<std::filesystem::path>> pick_folder() = 0;
};

}  // namespace kestrune
