#pragma once
// The processor's final error text, shared with the Recorder.

#include <mutex>
#include <optional>
#include <string>

namespace kestrune {

class ErrorSlot {
public:
    void set(std::string text) {
        std::lock_guard lock(mutex_);
        text_ = std::move(text);
    }
    [[nodiscard]] std::optional<std::string> get() const {
        std::lock_guard lock(mutex_);
        return text_;
    }

private:
    mutable std::mutex mutex_;
    std::optional<std::string> text_;
};

}  // namespace kestrune
