#include "backend_win/capture_threads.hpp"

#include <atomic>
#include <chrono>
#include <thread>
#include <utility>

#include "backend_win/capture_stream.hpp"
#include "backend_win/device_notifications.hpp"
#include "backend_win/keep_alive_render.hpp"
#include "backend_win/loopback_failure.hpp"
#include "capture/capture_texts.hpp"
#include "capture/device_follow.hpp"
#include "capture/start_channel.hpp"
#include "common/com.hpp"
#include "io/console.hpp"

namespace kestrune::win {
namespace {

using Flag = std::shared_ptr<std::atomic<bool>>;

// Joins its thread on release, after telling it to stop.
class ThreadCapture : public CaptureHandle {
public:
    ThreadCapture(Flag running, Flag stop) : running_(std::move(running)), stop_(std::move(stop)) {}
    ~ThreadCapture() override {
        if (running_)
            running_->store(false);
        stop_->exchange(true);
        if (thread_.joinable())
            thread_.join();
    }
    std::thread& thread() { return thread_; }

private:
    Flag running_;  // null for loopback, which has none
    Flag stop_;
    std::thread thread_;
};

// What a capture records: the default endpoint of its flow, or one endpoint
// found by identifier and, once that is gone, by name.
struct Target {
    EDataFlow flow = eCapture;
    std::optional<std::string> id;  // none: the default endpoint
    std::string name;               // as list_endpoints shows it; empty for the default
};

// One open stream with its chunker (and, for loopback, the silence that keeps
// the endpoint delivering).
class WasapiStream final : public DeviceStream {
public:
    // reopened: an earlier stream of the same source came before this one.
    WasapiStream(CaptureStream stream, std::shared_ptr<SampleBuffer> buffer, bool loopback,
                 const std::atomic<bool>* running, std::optional<KeepAliveRender> keep_alive,
                 bool reopened)
        : stream_(std::move(stream)),
          chunker_(loopback ? ChunkRule::PerPacket : ChunkRule::Gather, stream_->encoding(),
                   stream_->format().channels, stream_->format().sample_rate, std::move(buffer),
                   running),
          keep_alive_(std::move(keep_alive)),
          loopback_(loopback) {
        chunker_.set_channel_mask(stream_->format().channel_mask);
        if (reopened)
            chunker_.follow_gap();
    }
    ~WasapiStream() override {
        // Stop the stream before the last samples go out, as a closed stream
        // delivers nothing more.
        keep_alive_.reset();
        stream_.reset();
        chunker_.finish();
    }

    bool pump() override {
        if (keep_alive_)
            keep_alive_->pump();
        if (std::optional<std::string> lost = stream_->drain(chunker_)) {
            write_stderr_line(loopback_ ? loopback_lost_line(*lost) : mic_lost_line(*lost));
            return false;
        }
        return true;
    }

private:
    std::optional<CaptureStream> stream_;
    PacketChunker chunker_;
    std::optional<KeepAliveRender> keep_alive_;
    bool loopback_;
};

// Opens the target on the capture thread, and follows the default's moves
// through endpoint notifications.
class WasapiOpener final : public DeviceOpener {
public:
    WasapiOpener(Target target, std::shared_ptr<SampleBuffer> buffer,
                 const std::atomic<bool>* running)
        : target_(std::move(target)), buffer_(std::move(buffer)), running_(running) {}

    // Registers for default moves; a failure only means the source stays on
    // the device it has.
    void watch(IMMDeviceEnumerator* enumerator) {
        enumerator_ = enumerator;
        if (target_.id)
            return;
        auto n = EndpointNotifications::start(enumerator,
                                              {[moved = moved_, flow = target_.flow](EDataFlow f) {
                                                   if (f == flow)
                                                       moved->store(true);
                                               },
                                               {}});
        if (n) {
            notifications_.emplace(std::move(*n));
        } else {
            write_stderr_line("Capture will not follow the default device: " + n.error());
        }
    }

    // The first stream, or the step that failed.
    [[nodiscard]] std::expected<std::unique_ptr<DeviceStream>, OpenError> open_first() {
        return open_now();
    }

    std::unique_ptr<DeviceStream> open() override {
        auto stream = open_now();
        if (stream) {
            reported_ = false;
            return std::move(*stream);
        }
        // Once per absence, not at every retry.
        if (!std::exchange(reported_, true))
            write_stderr_line("Waiting for the device to return: " + stream.error().text);
        return nullptr;
    }

    bool default_changed() override {
        if (!moved_->exchange(false))
            return false;
        // The console default's move can leave this flow's default where it was.
        auto device = open_endpoint(enumerator_.Get(), target_.flow, std::nullopt);
        return !device || endpoint_id(device->Get()) != current_id_;
    }

private:
    [[nodiscard]] StepValue<ComPtr<IMMDevice>> find() {
        if (!target_.id)
            return open_endpoint(enumerator_.Get(), target_.flow, std::nullopt);
        auto device = open_endpoint(enumerator_.Get(), target_.flow, target_.id);
        DWORD state = 0;
        if (device && SUCCEEDED((*device)->GetState(&state)) && state == DEVICE_STATE_ACTIVE)
            return device;
        // Plugged into another port, a device can come back under a new identifier.
        for (EndpointInfo& e : list_endpoints(target_.flow, false)) {
            if (e.name == target_.name) {
                target_.id = std::move(e.id);
                return open_endpoint(enumerator_.Get(), target_.flow, target_.id);
            }
        }
        if (!device)
            return std::unexpected(device.error());
        return std::unexpected(target_.name + ": not active");
    }

    [[nodiscard]] std::expected<std::unique_ptr<DeviceStream>, OpenError> open_now() {
        auto device = find();
        if (!device)
            return std::unexpected(OpenError{device.error(), {}});
        const bool loopback = target_.flow == eRender;
        auto stream = CaptureStream::open(device->Get(), loopback);
        if (!stream)
            return std::unexpected(stream.error());
        std::optional<KeepAliveRender> keep_alive;
        if (loopback) {
            if (auto k = KeepAliveRender::open(device->Get())) {
                keep_alive.emplace(std::move(*k));
            } else {
                write_stderr_line(keep_alive_failed_line(k.error()));
            }
        }
        current_id_ = endpoint_id(device->Get());
        return std::make_unique<WasapiStream>(std::move(*stream), buffer_, loopback, running_,
                                              std::move(keep_alive),
                                              std::exchange(opened_before_, true));
    }

    Target target_;
    std::shared_ptr<SampleBuffer> buffer_;
    const std::atomic<bool>* running_;
    ComPtr<IMMDeviceEnumerator> enumerator_;
    // Set by the notification callback, read by the capture thread.
    std::shared_ptr<std::atomic<bool>> moved_ = std::make_shared<std::atomic<bool>>(false);
    std::optional<EndpointNotifications> notifications_;
    std::optional<std::string> current_id_;
    bool reported_ = false;
    bool opened_before_ = false;
};

void input_thread(Target target, std::shared_ptr<SampleBuffer> buffer, Flag running, Flag stop,
                  std::shared_ptr<CaptureHealth> health, StartSender sender) {
    ComInit com;
    auto enumerator = create_enumerator();
    if (!enumerator)
        return sender.failed(enumerator.error());
    WasapiOpener opener(std::move(target), std::move(buffer), running.get());
    opener.watch(enumerator->Get());
    auto first = opener.open_first();
    if (!first) {
        if (first.error().unsupported_type) {
            write_stderr_line(unsupported_format_line(*first.error().unsupported_type));
            return sender.failed(std::string(STREAM_CONFIG_NOT_SUPPORTED));
        }
        return sender.failed(first.error().text);
    }
    sender.started();
    follow_device(opener, std::move(*first), *stop, *health);
}

void loopback_thread(Target target, std::shared_ptr<SampleBuffer> buffer, Flag stop,
                     std::shared_ptr<CaptureHealth> health) {
    ComInit com;
    auto enumerator = create_enumerator();
    if (!enumerator)
        return report_loopback_failure(enumerator.error());
    WasapiOpener opener(std::move(target), std::move(buffer), nullptr);
    opener.watch(enumerator->Get());
    auto first = opener.open_first();
    if (!first)
        return report_loopback_failure(first.error().text);
    follow_device(opener, std::move(*first), *stop, *health);
}

}  // namespace

std::expected<std::unique_ptr<CaptureHandle>, std::string> start_input_capture(
    std::optional<std::string> endpoint_id, std::string name, std::shared_ptr<SampleBuffer> buffer,
    std::shared_ptr<CaptureHealth> health) {
    auto running = std::make_shared<std::atomic<bool>>(true);
    auto stop = std::make_shared<std::atomic<bool>>(false);
    auto channel = std::make_shared<StartChannel>();
    auto capture = std::make_unique<ThreadCapture>(running, stop);
    try {
        capture->thread() =
            std::thread(input_thread, Target{eCapture, std::move(endpoint_id), std::move(name)},
                        std::move(buffer), running, stop, std::move(health), StartSender(channel));
    } catch (const std::system_error&) {
        return std::unexpected(std::string(MIC_THREAD_EXITED));
    }
    if (auto started = channel->wait(); !started)
        return std::unexpected(started.error());
    return capture;
}

std::unique_ptr<CaptureHandle> start_loopback_capture(std::optional<std::string> endpoint_id,
                                                      std::string name,
                                                      std::shared_ptr<SampleBuffer> buffer,
                                                      std::shared_ptr<CaptureHealth> health) {
    auto stop = std::make_shared<std::atomic<bool>>(false);
    auto capture = std::make_unique<ThreadCapture>(nullptr, stop);
    try {
        capture->thread() =
            std::thread(loopback_thread, Target{eRender, std::move(endpoint_id), std::move(name)},
                        std::move(buffer), stop, std::move(health));
    } catch (const std::system_error&) {
        report_loopback_failure("CreateThread failed");
    }
    return capture;
}

}  // namespace kestrune::win
