#pragma once
// One-shot hand-over of the file list from the processor thread to the
// Recorder. A sender dropped without sending closes the channel, so the
// receiver never waits for a thread that has gone.

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "files/recpart_writer.hpp"

namespace kestrune {

namespace detail {
struct StatusState {
    std::mutex mutex;
    std::condition_variable changed;
    std::optional<FileList> message;
    bool closed = false;
};
}  // namespace detail

class StatusSender {
public:
    StatusSender() = default;  // sends nowhere
    explicit StatusSender(std::shared_ptr<detail::StatusState> state) : state_(std::move(state)) {}
    StatusSender(StatusSender&&) noexcept = default;
    StatusSender& operator=(StatusSender&& o) noexcept {
        if (this != &o) {
            close();
            state_ = std::move(o.state_);
        }
        return *this;
    }
    ~StatusSender() { close(); }

    // The first send wins; later ones and sends after close are dropped.
    void send(FileList files) {
        if (!state_)
            return;
        {
            std::lock_guard lock(state_->mutex);
            if (!state_->closed && !state_->message)
                state_->message = std::move(files);
        }
        state_->changed.notify_all();
    }

private:
    void close() {
        if (!state_)
            return;
        {
            std::lock_guard lock(state_->mutex);
            state_->closed = true;
        }
        state_->changed.notify_all();
        state_.reset();
    }
    std::shared_ptr<detail::StatusState> state_;
};

class StatusReceiver {
public:
    explicit StatusReceiver(std::shared_ptr<detail::StatusState> state)
        : state_(std::move(state)) {}

    // Waits without a time limit; nothing when the sender went without sending.
    [[nodiscard]] std::optional<FileList> receive() {
        std::unique_lock lock(state_->mutex);
        state_->changed.wait(lock, [&] { return state_->message || state_->closed; });
        return std::exchange(state_->message, std::nullopt);
    }

private:
    std::shared_ptr<detail::StatusState> state_;
};

[[nodiscard]] inline std::pair<StatusSender, StatusReceiver> make_status_channel() {
    auto state = std::make_shared<detail::StatusState>();
    return {StatusSender(state), StatusReceiver(state)};
}

}  // namespace kestrune
