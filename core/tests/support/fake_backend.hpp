#pragma once
// A capture backend that really produces audio: every started source runs a
// thread of its own that pushes a sine (or silence, or nothing) into its
// buffer at the source's stream rate and channel count, paced by the clock or
// faster. Engine and controller tests drive the real Recorder with it.
// Devices can come and go while recording (lose, restore, the change_default
// calls); captures follow them as the Windows backend's do.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "capture/capture_backend.hpp"
#include "session/session_locations.hpp"

namespace kestrune::test {

struct FakeDevice {
    // What the probe and the start report.
    OutputFormat native{48000, 2, 32, true};
    // The stream actually delivered; absent: the native rate and channels.
    std::optional<std::uint32_t> stream_rate;
    std::optional<std::uint16_t> stream_channels;
    // Absent: the probe gives nothing (or, for loopback, the probe_error).
    bool probe_ok = true;
    std::string probe_error = "GetMixFormat: 0x88890004";
    // Every channel carries level * sin(2 pi frequency t).
    double frequency = 440.0;
    float level = 0.5f;
    // A start fails with this text.
    std::optional<std::string> fail_start;
    // Started, but delivers nothing (system audio while nothing plays).
    bool quiet = false;
    // Frames per pushed chunk; 0: 10 ms of the stream rate.
    std::size_t chunk_frames = 0;
    // Chunks are pushed this many at a time, as one late packet burst.
    std::size_t burst = 1;
    // 1: real time; larger: that many times faster; 0: as fast as the buffer
    // takes it (only sensible with max_frames).
    double speed = 1.0;
    // Stop delivering after this many frames; 0: no limit.
    std::uint64_t max_frames = 0;

    // Timing as a real device's (real-time speed only). Chunks carry the
    // capture time of their first frame on the processor's clock.
    bool stamped = true;
    // The device's clock against the recording's: at +100 it delivers 100
    // frames a million more than its nominal rate.
    double clock_ppm = 0;
    // Each timestamp is off by up to this much either way (not the audio).
    std::chrono::microseconds jitter{0};
    // The first frame is captured this long after the start.
    std::chrono::milliseconds start_delay{0};
    // After gap_after_frames frames the device captures nothing for `gap`;
    // the chunk after it carries the discontinuity mark if gap_marked.
    std::uint64_t gap_after_frames = 0;
    std::chrono::milliseconds gap{0};
    bool gap_marked = true;
};

// A device with the given native format and the defaults above.
[[nodiscard]] inline FakeDevice fake_device(OutputFormat native) {
    FakeDevice d;
    d.native = native;
    return d;
}

struct FakeRender {
    std::string friendly_name;
    std::string id;
    FakeDevice device;
};

struct FakeInput {
    std::string name;
    FakeDevice device;
};

// Keys of lose and restore besides input names and render identifiers.
inline constexpr const char* FAKE_DEFAULT_OUTPUT = "default output";
inline constexpr const char* FAKE_DEFAULT_INPUT = "default input";

class FakeBackend final : public CaptureBackend {
public:
    // The default output device (system audio).
    FakeDevice loopback;
    // Absent: the machine has no default input device.
    std::optional<std::string> default_input = "Fake Microphone";
    FakeDevice microphone = fake_device(OutputFormat{44100, 1, 16, false});
    // Further devices, as the device lists give them (defaults excluded).
    std::vector<FakeInput> inputs;
    std::vector<FakeRender> renders;

    // Mutate the fields above only while no recording is being started.
    FakeBackend();
    ~FakeBackend() override;

    std::optional<std::string> default_input_name() override;
    std::optional<OutputFormat> probe_input_format(const std::string& name) override;
    std::expected<OutputFormat, std::string> probe_loopback_format(
        const std::optional<std::string>& endpoint_id) override;
    StartResult start_default_input(std::shared_ptr<SampleBuffer> buffer) override;
    StartResult start_named_input(const std::string& name,
                                  std::shared_ptr<SampleBuffer> buffer) override;
    StartResult start_loopback(const std::optional<std::string>& endpoint_id,
                               std::shared_ptr<SampleBuffer> buffer) override;
    std::vector<InputDeviceEntry> list_input_devices() override;
    std::vector<RenderEndpointEntry> list_render_endpoints() override;

    // While recording: the device goes away (its captures stop delivering and
    // report it lost), and comes back, as it was or as another device.
    void lose(const std::string& key);
    void restore(const std::string& key, std::optional<FakeDevice> as = std::nullopt);
    // The system's default output or input becomes another device; captures
    // of the default move to it.
    void change_default_output(FakeDevice device);
    void change_default_input(FakeDevice device);

    // Captures running now, and starts that succeeded so far.
    [[nodiscard]] int running() const { return counters_->running.load(); }
    [[nodiscard]] int started() const { return counters_->started.load(); }

private:
    struct Counters {
        std::atomic<int> running{0};
        std::atomic<int> started{0};
    };
    // What changed since start, shared with the captures (which may outlive
    // the backend by a moment).
    struct Live {
        std::mutex mutex;
        std::map<std::string, bool> gone;
        std::map<std::string, FakeDevice> now;  // devices that came back as another
        std::uint64_t output_generation = 0;    // counts default output changes
        std::uint64_t input_generation = 0;
    };
    class Opener;
    StartResult start(const std::string& key, const FakeDevice& device,
                      std::shared_ptr<SampleBuffer> buffer);

    mutable std::mutex mutex_;  // the source-start worker calls from its own thread
    std::shared_ptr<Counters> counters_;
    std::shared_ptr<Live> live_;
};

// Fallback places chosen by the test; absent ones shorten the candidate list.
struct FakeLocations final : SessionLocations {
    std::optional<std::filesystem::path> working;
    std::optional<std::filesystem::path> program;
    std::optional<std::filesystem::path> documents;

    std::optional<std::filesystem::path> working_dir() const override { return working; }
    std::optional<std::filesystem::path> program_path() const override { return program; }
    std::optional<std::filesystem::path> documents_dir() const override { return documents; }
};

// The samples one FakeDevice delivers, frame by frame (for expectations).
[[nodiscard]] float fake_sample(const FakeDevice& device, std::uint64_t frame);

}  // namespace kestrune::test
