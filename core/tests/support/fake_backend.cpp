#include "fake_backend.hpp"

#include <chrono>
#include <cmath>
#include <functional>
#include <numbers>
#include <thread>
#include <utility>

namespace kestrune::test {
namespace {

std::uint32_t stream_rate(const FakeDevice& d) {
    return d.stream_rate.value_or(d.native.sample_rate);
}
std::uint16_t stream_channels(const FakeDevice& d) {
    return d.stream_channels.value_or(d.native.channels);
}

// One open stream of a fake device: pushes what its clock says is due, each
// chunk stamped with when its first frame was captured.
class FakeStream final : public DeviceStream {
public:
    // reopened: the stream follows an earlier one of the same source, and
    // its first chunk says that audio was lost before it.
    FakeStream(FakeDevice device, std::shared_ptr<SampleBuffer> buffer, std::function<bool()> gone,
               bool reopened)
        : d_(std::move(device)),
          buffer_(std::move(buffer)),
          gone_(std::move(gone)),
          begin_(std::chrono::steady_clock::now()),
          reopened_(reopened) {}

    bool pump() override {
        if (gone_())
            return false;
        const std::uint32_t rate = stream_rate(d_);
        const std::size_t chunk =
            d_.chunk_frames ? d_.chunk_frames : std::max<std::uint32_t>(rate / 100, 1);
        const std::size_t burst = std::max<std::size_t>(d_.burst, 1);
        for (;;) {
            if (d_.quiet || (d_.max_frames && frame_ >= d_.max_frames))
                return true;
            if (d_.speed > 0) {
                // A burst once the clock has passed its last frame.
                const auto elapsed = std::chrono::steady_clock::now() - begin_;
                const bool due = d_.speed == 1.0 ? elapsed >= captured(frame_ + chunk * burst)
                                                 : std::chrono::duration<double>(elapsed).count() *
                                                           d_.speed * rate >=
                                                       static_cast<double>(frame_ + chunk * burst);
                if (!due)
                    return true;
            }
            push_burst(chunk, burst);
            if (d_.speed <= 0 && !d_.max_frames)
                return true;
        }
    }

private:
    // When frame n was captured, from begin_ (real-time speed).
    std::chrono::duration<double> captured(std::uint64_t n) const {
        const double true_rate = stream_rate(d_) * (1 + d_.clock_ppm * 1e-6);
        double seconds = static_cast<double>(n) / true_rate;
        if (d_.gap_after_frames && n >= d_.gap_after_frames)
            seconds += std::chrono::duration<double>(d_.gap).count();
        return std::chrono::duration<double>(seconds) + d_.start_delay;
    }

    void push_burst(std::size_t chunk, std::size_t burst) {
        const std::uint32_t rate = stream_rate(d_);
        const std::uint16_t channels = stream_channels(d_);
        for (std::size_t b = 0; b < burst; ++b) {
            std::size_t n = chunk;
            if (d_.max_frames)
                n = static_cast<std::size_t>(std::min<std::uint64_t>(n, d_.max_frames - frame_));
            if (d_.gap_after_frames && frame_ < d_.gap_after_frames)
                n = static_cast<std::size_t>(
                    std::min<std::uint64_t>(n, d_.gap_after_frames - frame_));
            if (n == 0)
                break;
            SampleChunk out;
            out.samples.resize(n * channels);
            out.rate = rate;
            out.channels = channels;
            for (std::size_t f = 0; f < n; ++f) {
                const float v = fake_sample(d_, frame_ + f);
                for (std::uint16_t c = 0; c < channels; ++c)
                    out.samples[f * channels + c] = v;
            }
            if (d_.stamped && d_.speed == 1.0) {
                seed_ = seed_ * 1664525u + 1013904223u;
                const double spread = (static_cast<double>(seed_ >> 8) / (1 << 24)) * 2 - 1;
                const auto jitter =
                    std::chrono::duration_cast<std::chrono::nanoseconds>(d_.jitter * spread);
                out.time = std::chrono::duration_cast<std::chrono::nanoseconds>(
                               (begin_ + std::chrono::duration_cast<std::chrono::nanoseconds>(
                                             captured(frame_)))
                                   .time_since_epoch()) +
                           jitter;
            }
            out.discontinuity = (std::exchange(reopened_, false)) ||
                                (d_.gap_marked && d_.gap_after_frames != 0 &&
                                 frame_ == d_.gap_after_frames && d_.gap.count() > 0);
            frame_ += n;
            buffer_->push(std::move(out));
        }
    }

    FakeDevice d_;
    std::shared_ptr<SampleBuffer> buffer_;
    std::function<bool()> gone_;
    std::chrono::steady_clock::time_point begin_;
    bool reopened_;
    std::uint32_t seed_ = 12345;
    std::uint64_t frame_ = 0;
};

enum class Follows { Nothing, DefaultOutput, DefaultInput };

class FakeCapture final : public CaptureHandle {
public:
    FakeCapture(std::unique_ptr<DeviceOpener> opener, std::shared_ptr<CaptureHealth> health,
                std::shared_ptr<std::atomic<int>> running)
        : running_(std::move(running)) {
        ++*running_;
        thread_ = std::jthread([opener = std::move(opener), health = std::move(health),
                                stop = stop_](std::stop_token) {
            follow_device(*opener, opener->open(), *stop, *health, FAKE_POLL_INTERVAL);
        });
    }
    ~FakeCapture() override {
        stop_->store(true);
        thread_.join();
        --*running_;
    }

private:
    static constexpr std::chrono::milliseconds FAKE_POLL_INTERVAL{1};
    std::shared_ptr<std::atomic<int>> running_;
    std::shared_ptr<std::atomic<bool>> stop_ = std::make_shared<std::atomic<bool>>(false);
    std::jthread thread_;
};

}  // namespace

// Opens the device as the backend's live state has it now.
class FakeBackend::Opener final : public DeviceOpener {
public:
    Opener(std::string key, FakeDevice device, std::shared_ptr<SampleBuffer> buffer,
           std::shared_ptr<Live> live)
        : key_(std::move(key)),
          device_(std::move(device)),
          buffer_(std::move(buffer)),
          live_(std::move(live)) {
        seen_ = generation();
    }

    std::unique_ptr<DeviceStream> open() override {
        FakeDevice device = device_;
        {
            std::lock_guard lock(live_->mutex);
            if (live_->gone[key_])
                return nullptr;
            if (const auto it = live_->now.find(key_); it != live_->now.end())
                device = it->second;
        }
        return std::make_unique<FakeStream>(
            std::move(device), buffer_,
            [live = live_, key = key_] {
                std::lock_guard lock(live->mutex);
                return live->gone[key];
            },
            std::exchange(opened_before_, true));
    }

    bool default_changed() override {
        const std::uint64_t g = generation();
        return std::exchange(seen_, g) != g;
    }

private:
    std::uint64_t generation() {
        std::lock_guard lock(live_->mutex);
        if (key_ == FAKE_DEFAULT_OUTPUT)
            return live_->output_generation;
        if (key_ == FAKE_DEFAULT_INPUT)
            return live_->input_generation;
        return 0;
    }

    std::string key_;
    FakeDevice device_;
    std::shared_ptr<SampleBuffer> buffer_;
    std::shared_ptr<Live> live_;
    std::uint64_t seen_ = 0;
    bool opened_before_ = false;
};

float fake_sample(const FakeDevice& d, std::uint64_t frame) {
    const double t = static_cast<double>(frame) / stream_rate(d);
    return d.level * static_cast<float>(std::sin(2.0 * std::numbers::pi * d.frequency * t));
}

FakeBackend::FakeBackend()
    : counters_(std::make_shared<Counters>()), live_(std::make_shared<Live>()) {}
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

StartResult FakeBackend::start(const std::string& key, const FakeDevice& device,
                               std::shared_ptr<SampleBuffer> buffer) {
    if (device.fail_start)
        return std::unexpected(*device.fail_start);
    ++counters_->started;
    auto running = std::shared_ptr<std::atomic<int>>(counters_, &counters_->running);
    auto health = std::make_shared<CaptureHealth>();
    auto opener = std::make_unique<Opener>(key, device, std::move(buffer), live_);
    return StartedCapture{
        std::make_unique<FakeCapture>(std::move(opener), health, std::move(running)), device.native,
        0, health};
}

void FakeBackend::lose(const std::string& key) {
    std::lock_guard lock(live_->mutex);
    live_->gone[key] = true;
}

void FakeBackend::restore(const std::string& key, std::optional<FakeDevice> as) {
    std::lock_guard lock(live_->mutex);
    live_->gone[key] = false;
    if (as)
        live_->now[key] = std::move(*as);
}

void FakeBackend::change_default_output(FakeDevice device) {
    {
        std::lock_guard lock(mutex_);
        loopback = device;
    }
    std::lock_guard lock(live_->mutex);
    live_->gone[FAKE_DEFAULT_OUTPUT] = false;
    live_->now[FAKE_DEFAULT_OUTPUT] = std::move(device);
    ++live_->output_generation;
}

void FakeBackend::change_default_input(FakeDevice device) {
    {
        std::lock_guard lock(mutex_);
        microphone = device;
    }
    std::lock_guard lock(live_->mutex);
    live_->gone[FAKE_DEFAULT_INPUT] = false;
    live_->now[FAKE_DEFAULT_INPUT] = std::move(device);
    ++live_->input_generation;
}

StartResult FakeBackend::start_default_input(std::shared_ptr<SampleBuffer> buffer) {
    std::lock_guard lock(mutex_);
    if (!default_input)
        return std::unexpected(std::string("No default input device"));
    return start(FAKE_DEFAULT_INPUT, microphone, std::move(buffer));
}

StartResult FakeBackend::start_named_input(const std::string& name,
                                           std::shared_ptr<SampleBuffer> buffer) {
    std::lock_guard lock(mutex_);
    for (const FakeInput& in : inputs)
        if (in.name == name)
            return start(in.name, in.device, std::move(buffer));
    return std::unexpected(name + ": input device not found");
}

StartResult FakeBackend::start_loopback(const std::optional<std::string>& endpoint_id,
                                        std::shared_ptr<SampleBuffer> buffer) {
    std::lock_guard lock(mutex_);
    if (!endpoint_id)
        return start(FAKE_DEFAULT_OUTPUT, loopback, std::move(buffer));
    for (const FakeRender& r : renders)
        if (r.id == *endpoint_id)
            return start(r.id, r.device, std::move(buffer));
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
