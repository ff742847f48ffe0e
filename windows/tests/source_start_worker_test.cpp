#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "backend_win/source_start_worker.hpp"
#include "main/window_messages.hpp"

namespace kestrune::win {
namespace {

using namespace std::chrono_literals;

// A capture that tells when it is released.
class Watched : public CaptureHandle {
public:
    explicit Watched(std::shared_ptr<std::atomic<bool>> released)
        : released_(std::move(released)) {}
    ~Watched() override { *released_ = true; }

private:
    std::shared_ptr<std::atomic<bool>> released_;
};

class MicOnlyBackend : public CaptureBackend {
public:
    std::shared_ptr<std::atomic<bool>> released = std::make_shared<std::atomic<bool>>(false);

    std::optional<std::string> default_input_name() override { return "Mic"; }
    std::optional<OutputFormat> probe_input_format(const std::string&) override { return {}; }
    std::expected<OutputFormat, std::string> probe_loopback_format(
        const std::optional<std::string>&) override {
        return std::unexpected(std::string("none"));
    }
    StartResult start_default_input(std::shared_ptr<SampleBuffer>) override {
        return StartedCapture{
            std::make_unique<Watched>(released), {48000, 1, 16, false}, 0, nullptr};
    }
    StartResult start_named_input(const std::string&, std::shared_ptr<SampleBuffer>) override {
        return std::unexpected(std::string("no"));
    }
    StartResult start_loopback(const std::optional<std::string>&,
                               std::shared_ptr<SampleBuffer>) override {
        return std::unexpected(std::string("no"));
    }
    std::vector<InputDeviceEntry> list_input_devices() override { return {}; }
    std::vector<RenderEndpointEntry> list_render_endpoints() override { return {}; }
};

HWND message_window() {
    WNDCLASSW wc{};
    wc.lpfnWndProc = ::DefWindowProcW;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = L"KestruneWorkerTestSink";
    ::RegisterClassW(&wc);
    return ::CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             wc.hInstance, nullptr);
}

TEST(SourceStartWorker, ReportTravelsInWParamAndOwnsTheCapture) {
    const HWND window = message_window();
    ASSERT_NE(window, nullptr);
    auto backend = std::make_shared<MicOnlyBackend>();
    launch_source_start(window, SourceSpec::default_microphone(), 5,
                        std::make_shared<SampleBuffer>(), backend);
    MSG msg{};
    bool got = false;
    for (int i = 0; i < 500 && !got; ++i) {
        got = ::PeekMessageW(&msg, window, WM_APP_SOURCE_RESULT, WM_APP_SOURCE_RESULT, PM_REMOVE);
        if (!got)
            std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(got);
    EXPECT_EQ(msg.lParam, 0);
    auto report = take_source_start_report(msg.wParam);
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(report->index, 5u);
    EXPECT_EQ(report->spec, SourceSpec::default_microphone());
    ASSERT_TRUE(report->result);
    EXPECT_FALSE(*backend->released);
    report.reset();
    EXPECT_TRUE(*backend->released);
    ::DestroyWindow(window);
}

TEST(SourceStartWorker, AReportThatCannotBePostedIsFreedWithItsCapture) {
    const HWND gone = message_window();
    ::DestroyWindow(gone);
    auto backend = std::make_shared<MicOnlyBackend>();
    auto started = backend->start_default_input(nullptr);
    ASSERT_TRUE(started);
    auto report = std::make_unique<SourceStartReport>(SourceStartReport{
        SourceSpec::default_microphone(), 0,
        CaptureSource{SourceSpec::default_microphone(), std::move(started->capture), nullptr}});
    EXPECT_FALSE(post_source_start_report(gone, std::move(report)));
    EXPECT_TRUE(*backend->released);
}

}  // namespace
}  // namespace kestrune::win
