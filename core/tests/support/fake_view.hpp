#pragma once
// A view that records what the window logic shows and answers its questions
// and dialogs from a script, for controller and after-recording tests.

#include <deque>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "controller/view.hpp"

namespace kestrune::test {

struct ShownMessage {
    std::string text;
    std::string caption;
    MessageIcon icon;
};

class FakeView : public View {
public:
    void set_text(Control control, const std::string& text) override;
    void set_enabled(Control control, bool enabled) override;
    void set_focus(Control control) override;
    bool is_checked(Control control) const override;
    int quality_selection() const override { return quality; }
    std::string output_text() const override { return texts_or_empty(Control::Output); }
    void list_clear() override;
    void list_append(const std::string& text) override;
    void list_replace(std::size_t index, const std::string& text) override;
    void list_select(std::size_t index) override { selection = index; }
    std::optional<std::size_t> list_selection() const override { return selection; }
    void show_meters(const std::vector<MeterReading>& shown) override { meters = shown; }
    void show_recording_on_taskbar(bool recording, std::optional<double> done) override {
        taskbar_recording = recording;
        taskbar_done = done;
    }
    void show_message(const std::string& text, const std::string& caption,
                      MessageIcon icon) override;
    bool ask_yes_no(const std::string& text, const std::string& caption) override;
    void post_close() override { ++close_posts; }

    [[nodiscard]] std::string text(Control control) const { return texts_or_empty(control); }
    [[nodiscard]] bool enabled(Control control) const { return !disabled.contains(control); }
    void check(Control control, bool on = true);

    // Controls the window lacks (the microphone check box without a microphone).
    std::set<Control> missing;
    std::set<Control> checked;
    std::set<Control> disabled;
    std::optional<Control> focus;
    int quality = 0;
    std::vector<std::string> list_items;
    std::optional<std::size_t> selection;
    std::vector<MeterReading> meters;
    bool taskbar_recording = false;
    std::optional<double> taskbar_done;
    std::vector<ShownMessage> messages;
    std::vector<ShownMessage> questions;  // icon unused
    std::deque<bool> answers;             // for ask_yes_no; No when empty
    std::vector<std::string> statuses;    // every status text, in order
    int close_posts = 0;

private:
    [[nodiscard]] std::string texts_or_empty(Control control) const;
    std::map<Control, std::string> texts_;
};

class FakeDialogs : public Dialogs {
public:
    std::optional<std::filesystem::path> save_as(const std::filesystem::path& suggested) override;
    std::optional<std::filesystem::path> open_wav() override;
    Result<std::optional<std::filesystem::path>> pick_folder() override;

    std::optional<std::filesystem::path> save_as_answer;
    std::optional<std::filesystem::path> open_answer;
    Result<std::optional<std::filesystem::path>> folder_answer =
        std::optional<std::filesystem::path>{};
    std::vector<std::filesystem::path> save_as_suggestions;
    int open_calls = 0;
    int folder_calls = 0;
};

}  // namespace kestrune::test
