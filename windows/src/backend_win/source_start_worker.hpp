#pragma once
// Short-lived worker threads that report to the window by posted message.
//
// WM_APP_SOURCE_RESULT carries a heap-allocated SourceStartReport in wParam
// (lParam is 0). The message owns the report: the window procedure takes it
// back with take_source_start_report(wParam) as the first thing it does for
// that message, and the returned pointer frees the report, and with it any
// started capture, whatever the handler does. A report whose post fails is
// freed by the poster, which stops the capture it holds.
//
// WM_APP_REFRESH_DEVICES carries nothing (both parameters 0).

#include <windows.h>

#include <cstdint>
#include <memory>

#include "audio_buf/sample_buffer.hpp"
#include "capture/capture_backend.hpp"
#include "capture/source_start.hpp"

namespace kestrune::win {

// Starts the source on a detached thread (run_source_start) and posts its
// report to window. The worker uses its own WASAPI backend, so nothing of the
// caller needs to outlive it.
void launch_source_start(HWND window, SourceSpec spec, std::uint64_t index,
                         std::shared_ptr<SampleBuffer> buffer);

// The same with a given backend, which the worker keeps alive until it ends.
void launch_source_start(HWND window, SourceSpec spec, std::uint64_t index,
                         std::shared_ptr<SampleBuffer> buffer,
                         std::shared_ptr<CaptureBackend> backend);

// Posts WM_APP_SOURCE_RESULT with the report (also for the window's own
// "already active" reports). Returns false, having freed the report, when the
// post fails.
bool post_source_start_report(HWND window, std::unique_ptr<SourceStartReport> report);

// Takes ownership of the report a WM_APP_SOURCE_RESULT message carries.
[[nodiscard]] std::unique_ptr<SourceStartReport> take_source_start_report(WPARAM wparam);

// Reads the default output endpoint's identifier into default_render_id on a
// detached thread, ignoring every failure, then posts WM_APP_REFRESH_DEVICES.
void launch_device_warm_up(HWND window);

}  // namespace kestrune::win
