#include "backend_win/source_start_worker.hpp"

#include <system_error>
#include <thread>
#include <utility>

#include "backend_win/default_render_id.hpp"
#include "backend_win/endpoints.hpp"
#include "backend_win/wasapi_backend.hpp"
#include "common/com.hpp"
#include "main/window_messages.hpp"

namespace kestrune::win {
namespace {

constexpr const char* WORKER_NOT_STARTED = "could not start a worker thread";

}  // namespace

void launch_source_start(HWND window, SourceSpec spec, std::uint64_t index,
                         std::shared_ptr<SampleBuffer> buffer) {
    launch_source_start(window, std::move(spec), index, std::move(buffer),
                        std::shared_ptr<CaptureBackend>(make_wasapi_backend()));
}

void launch_source_start(HWND window, SourceSpec spec, std::uint64_t index,
                         std::shared_ptr<SampleBuffer> buffer,
                         std::shared_ptr<CaptureBackend> backend) {
    try {
        std::thread([window, spec, index, buffer = std::move(buffer),
                     backend = std::move(backend)]() mutable {
            auto report = std::make_unique<SourceStartReport>(
                run_source_start(*backend, spec, index, std::move(buffer)));
            post_source_start_report(window, std::move(report));
        }).detach();
    } catch (const std::system_error&) {
        // The window waits for a report to enable the source's control again.
        post_source_start_report(window, std::make_unique<SourceStartReport>(SourceStartReport{
                                             spec, index, std::unexpected(WORKER_NOT_STARTED)}));
    }
}

bool post_source_start_report(HWND window, std::unique_ptr<SourceStartReport> report) {
    if (!::PostMessageW(window, WM_APP_SOURCE_RESULT, reinterpret_cast<WPARAM>(report.get()), 0))
        return false;  // still ours: freeing it stops a started capture
    (void)report.release();
    return true;
}

std::unique_ptr<SourceStartReport> take_source_start_report(WPARAM wparam) {
    return std::unique_ptr<SourceStartReport>(reinterpret_cast<SourceStartReport*>(wparam));
}

void launch_device_warm_up(HWND window) {
    auto warm_up = [window] {
        {
            ComInit com;
            if (auto enumerator = create_enumerator()) {
                if (auto device = open_endpoint(enumerator->Get(), eRender, std::nullopt)) {
                    if (auto id = endpoint_id(device->Get()))
                        store_default_render_id(std::move(*id));
                }
            }
        }
        ::PostMessageW(window, WM_APP_REFRESH_DEVICES, 0, 0);
    };
    try {
        std::thread(warm_up).detach();
    } catch (const std::system_error&) {
        ::PostMessageW(window, WM_APP_REFRESH_DEVICES, 0, 0);
    }
}

}  // namespace kestrune::win
