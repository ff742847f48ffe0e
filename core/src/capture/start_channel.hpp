#pragma once
// The one-shot report from a starting capture thread to the thread waiting
// for it: started, an error text, or closed without a word (the thread ended).

#include <condition_variable>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace kestrune {

class StartChannel {
public:
    // The first report wins; later ones and close() after a report do nothing.
    void send_started();
    void send_error(std::string text);
    void close();

    // Blocks until a report or close(); closing without one gives the error
    // "mic capture thread exited before starting".
    [[nodiscard]] std::expected<void, std::string> wait();

private:
    void settle(std::expected<void, std::string> outcome);

    std::mutex mutex_;
    std::condition_variable settled_;
    std::optional<std::expected<void, std::string>> outcome_;
};

// The capture thread's end of the channel: closes it when the thread ends,
// however it ends.
class StartSender {
public:
    explicit StartSender(std::shared_ptr<StartChannel> channel) : channel_(std::move(channel)) {}
    StartSender(StartSender&&) = default;
    StartSender& operator=(StartSender&&) = default;
    StartSender(const StartSender&) = delete;
    StartSender& operator=(const StartSender&) = delete;
    ~StartSender() {
        if (channel_)
            channel_->close();
    }

    void started() { channel_->send_started(); }
    void failed(std::string text) { channel_->send_error(std::move(text)); }

private:
    std::shared_ptr<StartChannel> channel_;
};

}  // namespace kestrune
