#include "backend_win/capture_threads.hpp"

#include <atomic>
#include <chrono>
#include <thread>
#include <utility>

#include "backend_win/capture_stream.hpp"
#include "backend_win/keep_alive_render.hpp"
#include "backend_win/loopback_failure.hpp"
#include "capture/capture_texts.hpp"
#include "capture/start_channel.hpp"
#include "common/com.hpp"
#include "io/console.hpp"

namespace kestrune::win {
namespace {

using Flag = std::shared_ptr<std::atomic<bool>>;

constexpr auto POLL_INTERVAL = std::chrono::milliseconds(3);

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

// Polls until the stop flag is set or the device goes away; the line for a
// lost device goes to standard error.
void poll(CaptureStream& stream, PacketChunker& chunker, const std::atomic<bool>& stop,
          KeepAliveRender* keep_alive, std::string (*lost_line)(std::string_view)) {
    while (!stop.load()) {
        std::this_thread::sleep_for(POLL_INTERVAL);
        if (keep_alive != nullptr)
            keep_alive->pump();
        if (std::optional<std::string> lost = stream.drain(chunker)) {
            write_stderr_line(lost_line(*lost));
            return;
        }
    }
}

void input_thread(std::optional<std::string> id, std::shared_ptr<SampleBuffer> buffer, Flag running,
                  Flag stop, StartSender sender) {
    ComInit com;
    auto enumerator = create_enumerator();
    if (!enumerator)
        return sender.failed(enumerator.error());
    auto device = open_endpoint(enumerator->Get(), eCapture, id);
    enumerator->Reset();
    if (!device)
        return sender.failed(device.error());
    auto stream = CaptureStream::open(device->Get(), false);
    device->Reset();
    if (!stream) {
        if (stream.error().unsupported_type) {
            write_stderr_line(unsupported_format_line(*stream.error().unsupported_type));
            return sender.failed(std::string(STREAM_CONFIG_NOT_SUPPORTED));
        }
        return sender.failed(stream.error().text);
    }
    PacketChunker chunker(ChunkRule::Gather, stream->encoding(), stream->format().channels,
                          stream->format().sample_rate, std::move(buffer), running.get());
    sender.started();
    poll(*stream, chunker, *stop, nullptr, mic_lost_line);
    // Stop the stream before the last samples go out, as a closed stream delivers nothing more.
    { auto closing = std::move(*stream); }
    chunker.finish();
}

void loopback_thread(std::optional<std::string> id, std::shared_ptr<SampleBuffer> buffer,
                     Flag stop) {
    ComInit com;
    auto enumerator = create_enumerator();
    if (!enumerator)
        return report_loopback_failure(enumerator.error());
    auto device = open_endpoint(enumerator->Get(), eRender, id);
    enumerator->Reset();
    if (!device)
        return report_loopback_failure(device.error());
    auto stream = CaptureStream::open(device->Get(), true);
    if (!stream)
        return report_loopback_failure(stream.error().text);
    std::optional<KeepAliveRender> keep_alive;
    if (auto k = KeepAliveRender::open(device->Get())) {
        keep_alive.emplace(std::move(*k));
    } else {
        write_stderr_line(keep_alive_failed_line(k.error()));
    }
    device->Reset();
    PacketChunker chunker(ChunkRule::PerPacket, stream->encoding(), stream->format().channels,
                          stream->format().sample_rate, std::move(buffer));
    poll(*stream, chunker, *stop, keep_alive ? &*keep_alive : nullptr, loopback_lost_line);
}

}  // namespace

std::expected<std::unique_ptr<CaptureHandle>, std::string> start_input_capture(
    std::optional<std::string> endpoint_id, std::shared_ptr<SampleBuffer> buffer) {
    auto running = std::make_shared<std::atomic<bool>>(true);
    auto stop = std::make_shared<std::atomic<bool>>(false);
    auto channel = std::make_shared<StartChannel>();
    auto capture = std::make_unique<ThreadCapture>(running, stop);
    try {
        capture->thread() = std::thread(input_thread, std::move(endpoint_id), std::move(buffer),
                                        running, stop, StartSender(channel));
    } catch (const std::system_error&) {
        return std::unexpected(std::string(MIC_THREAD_EXITED));
    }
    if (auto started = channel->wait(); !started)
        return std::unexpected(started.error());
    return capture;
}

std::unique_ptr<CaptureHandle> start_loopback_capture(std::optional<std::string> endpoint_id,
                                                      std::shared_ptr<SampleBuffer> buffer) {
    auto stop = std::make_shared<std::atomic<bool>>(false);
    auto capture = std::make_unique<ThreadCapture>(nullptr, stop);
    try {
        capture->thread() =
            std::thread(loopback_thread, std::move(endpoint_id), std::move(buffer), stop);
    } catch (const std::system_error&) {
        report_loopback_failure("CreateThread failed");
    }
    return capture;
}

}  // namespace kestrune::win
