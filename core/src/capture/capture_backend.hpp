#pragma once
// What the recording engine needs from a capture backend. The Windows build
// implements it with WASAPI; tests use a fake that produces real signals.

#include <atomic>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio_buf/sample_buffer.hpp"
#include "capture/device_follow.hpp"
#include "output_format.hpp"
#include "source_spec.hpp"

namespace kestrune {

// A running capture. Destroying it stops the capture and waits for its thread;
// failures inside the thread are swallowed by that wait.
class CaptureHandle {
public:
    virtual ~CaptureHandle() = default;
};

// One running capture as the recording keeps it.
struct CaptureSource {
    SourceSpec spec;
    std::unique_ptr<CaptureHandle> capture;
    // Whether its device is there now, and how often it was away; absent
    // for a capture that cannot tell.
    std::shared_ptr<CaptureHealth> health;
};

struct StartedCapture {
    std::unique_ptr<CaptureHandle> capture;
    OutputFormat native_format;
    // The stream's speaker positions (WAVEFORMATEXTENSIBLE.dwChannelMask); 0
    // when it names none.
    std::uint32_t channel_mask = 0;
    std::shared_ptr<CaptureHealth> health;  // shared with the capture thread
};

// A started capture, or the error text to show.
using StartResult = std::expected<StartedCapture, std::string>;

struct InputDeviceEntry {
    std::string name;
};

struct RenderEndpointEntry {
    std::string friendly_name;
    std::string id;
};

class CaptureBackend {
public:
    virtual ~CaptureBackend() = default;

    // The default input device's name; absent when there is none or it is unreadable.
    [[nodiscard]] virtual std::optional<std::string> default_input_name() = 0;
    [[nodiscard]] virtual std::optional<OutputFormat> probe_input_format(const std::string& name) = 0;
    // endpoint_id absent: the default output device.
    [[nodiscard]] virtual std::expected<OutputFormat, std::string> probe_loopback_format(
        const std::optional<std::string>& endpoint_id) = 0;

    [[nodiscard]] virtual StartResult start_default_input(std::shared_ptr<SampleBuffer> buffer) = 0;
    [[nodiscard]] virtual StartResult start_named_input(const std::string& name,
                                                        std::shared_ptr<SampleBuffer> buffer) = 0;
    [[nodiscard]] virtual StartResult start_loopback(const std::optional<std::string>& endpoint_id,
                                                     std::shared_ptr<SampleBuffer> buffer) = 0;

    // Input devices other than the default one, in system order.
    [[nodiscard]] virtual std::vector<InputDeviceEntry> list_input_devices() = 0;
    // Output endpoints other than the default one, in system order.
    [[nodiscard]] virtual std::vector<RenderEndpointEntry> list_render_endpoints() = 0;
};

}  // namespace kestrune
