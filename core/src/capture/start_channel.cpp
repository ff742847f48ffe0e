#include "capture/start_channel.hpp"

#include "capture/capture_texts.hpp"

namespace kestrune {

void StartChannel::send_started() {
    settle({});
}

void StartChannel::send_error(std::string text) {
    settle(std::unexpected(std::move(text)));
}

void StartChannel::close() {
    settle(std::unexpected(std::string(MIC_THREAD_EXITED)));
}

void StartChannel::settle(std::expected<void, std::string> outcome) {
    {
        std::lock_guard lock(mutex_);
        if (outcome_)
            return;
        outcome_ = std::move(outcome);
    }
    settled_.notify_all();
}

std::expected<void, std::string> StartChannel::wait() {
    std::unique_lock lock(mutex_);
    settled_.wait(lock, [&] { return outcome_.has_value(); });
    return *outcome_;
}

}  // namespace kestrune
