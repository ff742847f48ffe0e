#pragma once
// Silence played into an output endpoint while it is captured by loopback.
// Loopback delivers packets only while the endpoint's stream runs; with
// nothing else playing it would deliver none, and a stem or segment recorded
// from it would fall behind the others.

#include <windows.h>

#include "backend_win/endpoints.hpp"

namespace kestrune::win {

// Endpoint buffer of the silent stream: 200 ms, refilled on every poll.
inline constexpr REFERENCE_TIME KEEP_ALIVE_BUFFER_DURATION = 2'000'000;

class KeepAliveRender {
public:
    // A shared-mode render stream in the mix format, its buffer filled with
    // silence, started.
    [[nodiscard]] static StepValue<KeepAliveRender> open(IMMDevice* device);

    KeepAliveRender(KeepAliveRender&&) = default;
    KeepAliveRender& operator=(KeepAliveRender&&) = default;
    ~KeepAliveRender();

    // Tops the buffer up with silence; the frames written, 0 on any failure.
    UINT32 pump();

private:
    KeepAliveRender() = default;
    UINT32 fill(UINT32 frames);

    ComPtr<IAudioClient> client_;
    ComPtr<IAudioRenderClient> render_;
    UINT32 buffer_frames_ = 0;
    bool started_ = false;
};

}  // namespace kestrune::win
