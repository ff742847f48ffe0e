#include "fake_backend.hpp"

#include <chrono>
#include <cmath>
#include <numbers>
#include <thread>

namespace kestrune::test {
namespace {

std::uint32_t stream_rate(const FakeDevice& d) {
    return d.stream_rate.value_or(d.native.sample_rate);
}
std::uint16_t stream_channels(const FakeDevice& d) {
    return d.stream_channels.value_or(d.native.channels);
}

class FakeCapture final : public CaptureHandle {
public:
    FakeCapture(FakeDevice device, std::shared_ptr<SampleBuffer> buffer,
                std::shared_ptr<std::atomic<int>> running)
        : running_(std::move(running)) {
        ++*running_;
        thread_ = std::jthread([device = std::move(device), buffer = std::move(buffer)](
                                   std::stop_token stop) { produce(device, *buffer, stop); });
    }
    ~FakeCapture() override {
        thread_.request_stop();
        thread_.join();
        --*running_;
    }

private:
    static void produce(const FakeDevice& d, SampleBuffer& buffer, std::stop_token stop) {
        const std::uint32_t rate = stream_rate(d);
        const std::uint16_t channels = stream_channels(d);
        const std::size_t chunk =
            d.chunk_frames ? d.chunk_frames : std::max<std::uint32_t>(rate / 100, 1);
        const std::size_t burst = std::max<std::size_t>(d.burst, 1);
        const auto begin = std::chrono::steady_clock::now();
        const double true_rate = rate * (1 + d.clock_ppm * 1e-6);
        // When frame n was captured, from begin (real-time speed).
        const auto captured = [&](std::uint64_t n) {
            double seconds = static_cast<double>(n) / true_rate;
            if (d.gap_after_frames && n >= d.gap_after_frames)
                seconds += std::chrono::duration<double>(d.gap).count();
            return std::chrono::duration<double>(seconds) + d.start_delay;
        };
        std::uint32_t seed = 12345;
        std::uint64_t frame = 0;
        while (!stop.stop_requested()) {
            if (d.quiet || (d.max_frames && frame >= d.max_frames)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            if (d.speed > 0) {
                // Push a burst once the clock has passed its last frame.
                const auto elapsed = std::chrono::steady_clock::now() - begin;
                const bool due = d.speed == 1.0 ? elapsed >= captured(frame + chunk * burst)
                                                : std::chrono::duration<double>(elapsed).count() *
                                                          d.speed * rate >=
                                                      static_cast<double>(frame + chunk * burst);
                if (!due) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    continue;
                }
            }
            for (std::size_t b = 0; b < burst; ++b) {
                std::size_t n = chunk;
                if (d.max_frames)
                    n = static_cast<std::size_t>(std::min<std::uint64_t>(n, d.max_frames - frame));
                if (d.gap_after_frames && frame < d.gap_after_frames)
                    n = static_cast<std::size_t>(
                        std::min<std::uint64_t>(n, d.gap_after_frames - frame));
                if (n == 0)
                    break;
                SampleChunk out;
                out.samples.resize(n * channels);
                out.rate = rate;
                out.channels = channels;
                for (std::size_t f = 0; f < n; ++f) {
                    const float v = fake_sample(d, frame + f);
                    for (std::uint16_t c = 0; c < channels; ++c)
                        out.samples[f * channels + c] = v;
                }
                if (d.stamped && d.speed == 1.0) {
                    seed = seed * 1664525u + 1013904223u;
                    const double spread = (static_cast<double>(seed >> 8) / (1 << 24)) * 2 - 1;
                    const auto jitter =
                        std::chrono::duration_cast<std::chrono::nanoseconds>(d.jitter * spread);
                    out.time = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   (begin + std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                captured(frame)))
                                       .time_since_epoch()) +
                               jitter;
                }
                out.discontinuity = d.gap_marked && d.gap_after_frames != 0 &&
                                    frame == d.gap_after_frames && d.gap.count() > 0;
                frame += n;
                buffer.push(std::move(out));
            }
            if (d.speed <= 0)
                std::this_thread::yield();
        }
    }

    std::shared_ptr<std::atomic<int>> running_;
    std::jthread thread_;
};

}  // namespace

float fake_sample(const FakeDevice& d, std::uint64_t frame) {
    const double t = static_cast<double>(frame) / stream_rate(d);
    return d.level * static_cast<float>(std::sin(2.0 * std::numbers::pi * d.frequency * t));
}

FakeBackend::FakeBackend() : counters_(std::make_shared<Counters>()) {}
FakeBackend::~FakeBackend() = default;

std::optional<std::string> FakeBackend::default_input_name() {
    std::lock_guard lock(mutex_);
    return default_input;
}

std::optional<OutputFormat> FakeBackend::probe_input_format(const std::string& name) {
    std::lock_guard lock(mutex_);
    if (default_input && name == *default_input)
        return microphone.probe_ok ? std::optional(microphone.native) : std::nullopt;
    for (const FakeInput& in : inputs)
        if (in.name == name)
            return in.device.probe_ok ? std::optional(in.device.native) : std::nullopt;
    return std::nullopt;
}

std::expected<OutputFormat, std::string> FakeBackend::probe_loopback_format(
    const std::optional<std::string>& endpoint_id) {
    std::lock_guard lock(mutex_);
    const FakeDevice* d = nullptr;
    if (!endpoint_id) {
        d = &loopback;
    } else {
        for (const FakeRender& r : renders)
            if (r.id == *endpoint_id)
                d = &r.device;
    }
    if (!d)
        return std::unexpected(std::string("GetDevice/GetDefaultAudioEndpoint: 0x80070490"));
    if (!d->probe_ok)
        return std::unexpected(d->probe_error);
    return d->native;
}

StartResult FakeBackend::start(const FakeDevice& device, std::shared_ptr<SampleBuffer> buffer) {
    if (device.fail_start)
        return std::unexpected(*device.fail_start);
    ++counters_->started;
    auto running = std::shared_ptr<std::atomic<int>>(counters_, &counters_->running);
    return StartedCapture{
        std::make_unique<FakeCapture>(device, std::move(buffer), std::move(running)),
        device.native};
}

StartResult FakeBackend::start_default_input(std::shared_ptr<SampleBuffer> buffer) {
    std::lock_guard lock(mutex_);
    if (!default_input)
        return std::unexpected(std::string("No default input device"));
    return start(microphone, std::move(buffer));
}

StartResult FakeBackend::start_named_input(const std::string& name,
                                           std::shared_ptr<SampleBuffer> buffer) {
    std::lock_guard lock(mutex_);
    for (const FakeInput& in : inputs)
        if (in.name == name)
            return start(in.device, std::move(buffer));
    return std::unexpected(name + ": input device not found");
}

StartResult FakeBackend::start_loopback(const std::optional<std::string>& endpoint_id,
                                        std::shared_ptr<SampleBuffer> buffer) {
    std::lock_guard lock(mutex_);
    if (!endpoint_id)
        return start(loopback, std::move(buffer));
    for (const FakeRender& r : renders)
        if (r.id == *endpoint_id)
            return start(r.device, std::move(buffer));
    return std::unexpected(std::string("GetDevice/GetDefaultAudioEndpoint: 0x80070490"));
}

std::vector<InputDeviceEntry> FakeBackend::list_input_devices() {
    std::lock_guard lock(mutex_);
    std::vector<InputDeviceEntry> list;
    for (const FakeInput& in : inputs)
        list.push_back({in.name});
    return list;
}

std::vector<RenderEndpointEntry> FakeBackend::list_render_endpoints() {
    std::lock_guard lock(mutex_);
    std::vector<RenderEndpointEntry> list;
    for (const FakeRender& r : renders)
        list.push_back({r.friendly_name, r.id});
    return list;
}

}  // namespace kestrune::test
