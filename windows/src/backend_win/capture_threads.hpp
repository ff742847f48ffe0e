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

// Opens the capture endpoint (none: the default one) on a new thread and
// waits until its stream runs. Packets are gathered into chunks of about
// 5 ms; releasing the handle pushes what is still gathered.
[[nodiscard]] std::expected<std::unique_ptr<CaptureHandle>, std::string> start_input_capture(
    std::optional<std::string> endpoint_id, std::shared_ptr<SampleBuffer> buffer);

// Captures the output endpoint (none: the default one) in loopback mode on a
// new thread, one chunk per packet, playing silence into it meanwhile. Does not
// wait: a failure to open is written to the log file beside the program and to
// standard error, and the thread ends.
[[nodiscard]] std::unique_ptr<CaptureHandle> start_loopback_capture(
    std::optional<std::string> endpoint_id, std::shared_ptr<SampleBuffer> buffer);

}  // namespace kestrune::win
