#include "support/fake_view.hpp"

namespace kestrune::test {

void FakeView::set_text(Control control, const std::string& text) {
    if (missing.contains(control))
        return;
    texts_[control] = text;
    if (control == Control::Status)
        statuses.push_back(text);
}

void FakeView::set_enabled(Control control, bool enabled) {
    if (missing.contains(control))
        return;
    if (enabled) {
        disabled.erase(control);
    } else {
        disabled.insert(control);
    }
}

void FakeView::set_focus(Control control) {
    if (!missing.contains(control))
        focus = control;
}

bool FakeView::is_checked(Control control) const {
    return !missing.contains(control) && checked.contains(control);
}

void FakeView::check(Control control, bool on) {
    if (on) {
        checked.insert(control);
    } else {
        checked.erase(control);
    }
}

void FakeView::list_clear() {
    list_items.clear();
    selection.reset();
}

void FakeView::list_append(const std::string& text) {
    list_items.push_back(text);
}

void FakeView::list_replace(std::size_t index, const std::string& text) {
    if (index < list_items.size())
        list_items[index] = text;
    selection.reset();  // as LB_DELETESTRING of the selected item does
}

void FakeView::show_message(const std::string& text, const std::string& caption, MessageIcon icon) {
    messages.push_back({text, caption, icon});
}

bool FakeView::ask_yes_no(const std::string& text, const std::string& caption) {
    questions.push_back({text, caption, MessageIcon::Information});
    if (answers.empty())
        return false;
    const bool answer = answers.front();
    answers.pop_front();
    return answer;
}

std::string FakeView::texts_or_empty(Control control) const {
    const auto it = texts_.find(control);
    return it == texts_.end() ? std::string() : it->second;
}

std::optional<std::filesystem::path> FakeDialogs::save_as(const std::filesystem::path& suggested) {
    save_as_suggestions.push_back(suggested);
    return save_as_answer;
}

std::optional<std::filesystem::path> FakeDialogs::open_wav() {
    ++open_calls;
    return open_answer;
}

Result<std::optional<std::filesystem::path>> FakeDialogs::pick_folder() {
    ++folder_calls;
    return folder_answer;
}

}  // namespace kestrune::test
