#pragma once
// The Windows capture backend: input devices and loopback of output devices,
// both through WASAPI shared mode.

#include <memory>

#include "capture/capture_backend.hpp"

namespace kestrune::win {

// Holds no state of its own (the default output identifier is process-wide),
// so any number may exist, on any thread. Each call initialises COM for its
// thread if needed and tolerates a thread already in another apartment.
[[nodiscard]] std::unique_ptr<CaptureBackend> make_wasapi_backend();

}  // namespace kestrune::win
