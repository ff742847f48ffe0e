#pragma once
// The capture threads of input devices and of loopback. Each owns every COM
// object it uses; the handles they return stop them and wait for them.

#include <expected>
#include <memory>
#include <optional>
#include <string>

#include "audio_buf/sample_buffer.hpp"
#include "capture/capture_backend.hpp"

namespace kestrune::win {

// Both captures follow their device once running: without an identifier the
// default endpoint, moving with it when the default changes; with one, that
// endpoint, found again by identifier and then by name (as list_endpoints
// shows it) after it went away. health tells whether it is there.

// Opens the capture endpoint on a new thread and waits until its stream
// runs. Packets are gathered into chunks of about 5 ms; releasing the handle
// pushes what is still gathered.
[[nodiscard]] std::expected<std::unique_ptr<CaptureHandle>, std::string> start_input_capture(
    std::optional<std::string> endpoint_id, std::string name, std::shared_ptr<SampleBuffer> buffer,
    std::shared_ptr<CaptureHealth> health);

// Captures the output endpoint in loopback mode on a new thread, one chunk
// per packet, playing silence into it meanwhile. Does not wait: a failure to
// open at first is written to the log file beside the program and to
// standard error, and the thread ends.
[[nodiscard]] std::unique_ptr<CaptureHandle> start_loopback_capture(
    std::optional<std::string> endpoint_id, std::string name, std::shared_ptr<SampleBuffer> buffer,
    std::shared_ptr<CaptureHealth> health);

}  // namespace kestrune::win
