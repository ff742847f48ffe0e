#pragma once
// A text that is set at most once, first writer wins, and read without
// waiting. Backs the default output endpoint's identifier.

#include <atomic>
#include <optional>
#include <string>

namespace kestrune {

class SetOnceText {
public:
    SetOnceText() = default;
    SetOnceText(const SetOnceText&) = delete;
    SetOnceText& operator=(const SetOnceText&) = delete;
    ~SetOnceText() { delete value_.load(); }

    // True when this call stored the text; false when one was already there.
    bool set(std::string text) {
        auto* fresh = new std::string(std::move(text));
        std::string* expected = nullptr;
        if (value_.compare_exchange_strong(expected, fresh))
            return true;
        delete fresh;
        return false;
    }

    [[nodiscard]] std::optional<std::string> get() const {
        const std::string* v = value_.load();
        if (v == nullptr)
            return std::nullopt;
        return *v;
    }

private:
    // Never replaced once set, so readers may hold the pointer.
    std::atomic<std::string*> value_{nullptr};
};

}  // namespace kestrune
