// The WASAPI backend against the private sound server: sinks "Speakers" (the
// default) and "Headphones", source "Line_In"; the default capture device
// records the monitor of Speakers. Loopback capture reads a sink's monitor.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <numbers>
#include <thread>

#include "backend_win/capture_stream.hpp"
#include "backend_win/default_render_id.hpp"
#include "backend_win/endpoints.hpp"
#include "backend_win/keep_alive_render.hpp"
#include "backend_win/source_start_worker.hpp"
#include "backend_win/wasapi_backend.hpp"
#include "capture/capture_texts.hpp"
#include "capture/packet_chunker.hpp"
#include "common/com.hpp"
#include "common/win_error.hpp"
#include "main/window_messages.hpp"
#include "platform/cycle_clock.hpp"

namespace kestrune::win {
namespace {

using namespace std::chrono_literals;

const OutputFormat SERVER_FORMAT{44100, 2, 32, true};

std::vector<std::string> names_of(const std::vector<RenderEndpointEntry>& list) {
    std::vector<std::string> names;
    for (const auto& e : list)
        names.push_back(e.friendly_name);
    return names;
}

std::vector<std::string> names_of(const std::vector<InputDeviceEntry>& list) {
    std::vector<std::string> names;
    for (const auto& e : list)
        names.push_back(e.name);
    return names;
}

bool contains(const std::vector<std::string>& v, const std::string& s) {
    return std::find(v.begin(), v.end(), s) != v.end();
}

std::string default_render_endpoint_id() {
    ComInit com;
    auto enumerator = create_enumerator();
    if (!enumerator)
        return {};
    auto device = open_endpoint(enumerator->Get(), eRender, std::nullopt);
    if (!device)
        return {};
    return endpoint_id(device->Get()).value_or("");
}

std::string render_id_of(const std::string& name) {
    ComInit com;
    for (const EndpointInfo& e : render_endpoints_except(std::nullopt))
        if (e.name == name)
            return e.id;
    return {};
}

// Plays a sine into an output endpoint from its own thread until destroyed.
class TonePlayer {
public:
    TonePlayer(std::string endpoint_id, double frequency, float level)
        : thread_([=, this] { play(endpoint_id, frequency, level); }) {}
    ~TonePlayer() {
        stop_ = true;
        thread_.join();
    }
    bool ok() const { return ok_; }

private:
    void play(const std::string& id, double frequency, float level) {
        ComInit com;
        auto enumerator = create_enumerator();
        if (!enumerator)
            return;
        auto device = open_endpoint(enumerator->Get(), eRender, id);
        if (!device)
            return;
        auto client = activate_audio_client(device->Get());
        if (!client)
            return;
        auto mix = read_mix_format(client->Get());
        if (!mix || mix->info.kind != SampleKind::Float || mix->info.container_bits != 32)
            return;
        ComPtr<IAudioRenderClient> render;
        UINT32 size = 0;
        if (FAILED((*client)->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, 2'000'000, 0, mix->get(),
                                         nullptr)) ||
            FAILED((*client)->GetBufferSize(&size)) ||
            FAILED((*client)->GetService(IID_PPV_ARGS(&render))))
            return;
        const unsigned channels = mix->info.channels;
        const double step = 2 * std::numbers::pi * frequency / mix->info.sample_rate;
        double phase = 0;
        auto fill = [&] {
            UINT32 padding = 0;
            if (FAILED((*client)->GetCurrentPadding(&padding)))
                return;
            const UINT32 frames = size - padding;
            BYTE* data = nullptr;
            if (frames == 0 || FAILED(render->GetBuffer(frames, &data)))
                return;
            auto* out = reinterpret_cast<float*>(data);
            for (UINT32 f = 0; f < frames; ++f, phase += step)
                for (unsigned c = 0; c < channels; ++c)
                    out[f * channels + c] = level * static_cast<float>(std::sin(phase));
            render->ReleaseBuffer(frames, 0);
        };
        fill();
        if (FAILED((*client)->Start()))
            return;
        ok_ = true;
        while (!stop_) {
            std::this_thread::sleep_for(5ms);
            fill();
        }
        (*client)->Stop();
    }

    std::atomic<bool> stop_{false};
    std::atomic<bool> ok_{false};
    std::thread thread_;
};

// The sound server takes a while to start a capture stream: waits up to ten
// seconds for the first samples, keeping them in the buffer.
bool samples_arrive(SampleBuffer& buffer, std::vector<SampleChunk>& kept) {
    for (int i = 0; i < 1000; ++i) {
        for (auto& c : buffer.take_all())
            kept.push_back(std::move(c));
        for (const auto& c : kept)
            if (!c.empty())
                return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

TEST(BackendDevices, ListsLeaveOutTheDefaultDevices) {
    auto backend = make_wasapi_backend();

    const std::optional<std::string> default_input = backend->default_input_name();
    ASSERT_TRUE(default_input);
    const auto inputs = names_of(backend->list_input_devices());
    EXPECT_FALSE(contains(inputs, *default_input));
    EXPECT_TRUE(contains(inputs, "Monitor of Speakers"));
    EXPECT_TRUE(contains(inputs, "Monitor of Headphones"));

    const std::string default_id = default_render_endpoint_id();
    ASSERT_FALSE(default_id.empty());
    bool listed_before = false;
    {
        ComInit com;
        for (const EndpointInfo& e : render_endpoints_except(std::nullopt))
            listed_before = listed_before || e.id == default_id;
    }
    EXPECT_TRUE(listed_before);
    // Opening the default output device fills the identifier cell.
    ASSERT_TRUE(backend->probe_loopback_format(std::nullopt));
    EXPECT_EQ(default_render_id(), default_id);
    const auto outputs = backend->list_render_endpoints();
    for (const auto& e : outputs)
        EXPECT_NE(e.id, default_id) << e.friendly_name;
    EXPECT_TRUE(contains(names_of(outputs), "Speakers"));
    EXPECT_TRUE(contains(names_of(outputs), "Headphones"));
}

TEST(BackendDevices, ProbesFormats) {
    auto backend = make_wasapi_backend();
    EXPECT_EQ(backend->probe_loopback_format(std::nullopt), SERVER_FORMAT);
    EXPECT_EQ(backend->probe_loopback_format(render_id_of("Headphones")), SERVER_FORMAT);
    EXPECT_EQ(backend->probe_input_format("Monitor of Speakers"), SERVER_FORMAT);
    EXPECT_EQ(backend->probe_input_format("No Such Device"), std::nullopt);

    const auto bad = backend->probe_loopback_format("{no-such-endpoint}");
    ASSERT_FALSE(bad);
    EXPECT_TRUE(bad.error().starts_with("GetDevice/GetDefaultAudioEndpoint: 0x")) << bad.error();

    const auto not_found = backend->start_named_input(*backend->default_input_name(),
                                                      std::make_shared<SampleBuffer>());
    ASSERT_FALSE(not_found);
    EXPECT_EQ(not_found.error(), *backend->default_input_name() + ": input device not found");
}

// The tone's frequency from the median spacing of channel 0's rising zero
// crossings over the frames that carry it, and its peak. The median keeps a
// gap the loaded sound server leaves in its output from skewing the figure.
struct ToneMeasure {
    double frequency = 0;
    float peak = 0;
};

ToneMeasure measure(const std::vector<float>& samples, unsigned channels, unsigned rate) {
    std::vector<float> ch;
    for (std::size_t i = 0; i < samples.size(); i += channels)
        ch.push_back(samples[i]);
    auto loud = [](float x) { return std::fabs(x) > 0.05f; };
    const auto first = std::find_if(ch.begin(), ch.end(), loud);
    const auto last = std::find_if(ch.rbegin(), ch.rend(), loud).base();
    ToneMeasure m;
    std::vector<double> crossings;
    for (auto it = first + 1; it < last; ++it) {
        const float a = *(it - 1), b = *it;
        if (a < 0 && b >= 0)
            crossings.push_back(static_cast<double>(it - ch.begin() - 1) + a / (a - b));
        m.peak = std::max(m.peak, std::fabs(b));
    }
    if (crossings.size() < 3)
        return m;
    std::vector<double> periods;
    for (std::size_t i = 1; i < crossings.size(); ++i)
        periods.push_back(crossings[i] - crossings[i - 1]);
    std::nth_element(periods.begin(), periods.begin() + periods.size() / 2, periods.end());
    m.frequency = rate / periods[periods.size() / 2];
    return m;
}

TEST(BackendCapture, ToneThroughTheMonitorOfAnOutputDevice) {
    auto backend = make_wasapi_backend();
    auto buffer = std::make_shared<SampleBuffer>();
    auto started = backend->start_named_input("Monitor of Speakers", buffer);
    ASSERT_TRUE(started) << started.error();
    EXPECT_EQ(started->native_format, SERVER_FORMAT);
    std::vector<SampleChunk> chunks;
    ASSERT_TRUE(samples_arrive(*buffer, chunks));
    {
        TonePlayer tone(render_id_of("Speakers"), 1000.0, 0.5f);
        std::this_thread::sleep_for(1500ms);
        ASSERT_TRUE(tone.ok());
    }
    std::this_thread::sleep_for(500ms);
    started->capture.reset();
    for (auto& c : buffer->take_all())
        chunks.push_back(std::move(c));

    ASSERT_GT(chunks.size(), 10u);
    std::vector<float> all;
    const std::chrono::nanoseconds now = make_system_cycle_clock()->now();
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        if (i + 1 < chunks.size()) {
            EXPECT_GE(chunks[i].size(), 440u) << i;
        }
        EXPECT_EQ(chunks[i].size() % 2, 0u) << i;
        EXPECT_EQ(chunks[i].rate, 44100u) << i;
        EXPECT_EQ(chunks[i].channels, 2u) << i;
        // Stamped on the processor's clock, in the last few seconds, in order.
        ASSERT_TRUE(chunks[i].time.has_value()) << i;
        EXPECT_LT(*chunks[i].time, now) << i;
        EXPECT_GT(*chunks[i].time, now - 10s) << i;
        if (i > 0) {
            EXPECT_GT(*chunks[i].time, *chunks[i - 1].time) << i;
        }
        all.insert(all.end(), chunks[i].samples.begin(), chunks[i].samples.end());
    }
    const ToneMeasure m = measure(all, 2, 44100);
    EXPECT_NEAR(m.frequency, 1000.0, 5.0);
    EXPECT_NEAR(m.peak, 0.5f, 0.02f);
    // Nothing arrives after the release.
    EXPECT_TRUE(buffer->take_all().empty());
}

TEST(BackendCapture, DefaultMicrophoneStartsInTheStreamFormat) {
    auto backend = make_wasapi_backend();
    auto buffer = std::make_shared<SampleBuffer>();
    auto started = backend->start_default_input(buffer);
    ASSERT_TRUE(started) << started.error();
    EXPECT_EQ(started->native_format, SERVER_FORMAT);
    std::vector<SampleChunk> chunks;
    EXPECT_TRUE(samples_arrive(*buffer, chunks));
    started->capture.reset();
}

// Everything the capture delivered, as one run of interleaved samples.
std::vector<float> joined(const std::vector<SampleChunk>& chunks) {
    std::vector<float> all;
    for (const auto& c : chunks)
        all.insert(all.end(), c.samples.begin(), c.samples.end());
    return all;
}

// Captures an output endpoint (none: the default one) in loopback mode while
// tones play into endpoints, and returns everything it delivered from the first
// packet on.
struct PlayedTone {
    std::string endpoint_name;
    double frequency;
    float level;
};

std::vector<float> record_loopback(const std::optional<std::string>& endpoint_id,
                                   const std::vector<PlayedTone>& tones,
                                   std::chrono::milliseconds length) {
    auto backend = make_wasapi_backend();
    auto buffer = std::make_shared<SampleBuffer>();
    auto started = backend->start_loopback(endpoint_id, buffer);
    EXPECT_TRUE(started) << started.error();
    if (!started)
        return {};
    EXPECT_EQ(started->native_format, SERVER_FORMAT);
    std::vector<SampleChunk> chunks;
    EXPECT_TRUE(samples_arrive(*buffer, chunks));
    {
        std::vector<std::unique_ptr<TonePlayer>> players;
        for (const PlayedTone& t : tones)
            players.push_back(
                std::make_unique<TonePlayer>(render_id_of(t.endpoint_name), t.frequency, t.level));
        std::this_thread::sleep_for(length);
        for (const auto& p : players)
            EXPECT_TRUE(p->ok());
    }
    std::this_thread::sleep_for(300ms);
    started->capture.reset();
    for (auto& c : buffer->take_all())
        chunks.push_back(std::move(c));
    return joined(chunks);
}

// The amplitude of one frequency in channel 0: a single DFT bin over 20 ms
// blocks, which hold whole periods of both test tones so that one does not leak
// into the other's bin. The 90th percentile over the blocks passes over the
// silence before the tone and any gap a loaded sound server leaves.
float amplitude_at(const std::vector<float>& samples, unsigned channels, unsigned rate,
                   double frequency) {
    const std::size_t block = rate / 50;
    std::vector<float> amplitudes;
    for (std::size_t start = 0; (start + block) * channels <= samples.size(); start += block) {
        double re = 0, im = 0;
        for (std::size_t i = 0; i < block; ++i) {
            const double w = 2 * std::numbers::pi * frequency * static_cast<double>(i) / rate;
            re += samples[(start + i) * channels] * std::cos(w);
            im -= samples[(start + i) * channels] * std::sin(w);
        }
        amplitudes.push_back(static_cast<float>(2 * std::hypot(re, im) / block));
    }
    if (amplitudes.empty())
        return 0;
    std::sort(amplitudes.begin(), amplitudes.end());
    return amplitudes[amplitudes.size() * 9 / 10];
}

TEST(BackendCapture, SystemAudioRecordsWhatPlaysIntoTheDefaultOutput) {
    const std::vector<float> all =
        record_loopback(std::nullopt, {{"Speakers", 1000.0, 0.5f}}, 1500ms);
    ASSERT_GT(all.size(), 44100u);
    EXPECT_EQ(all.size() % 2, 0u);
    const ToneMeasure m = measure(all, 2, 44100);
    EXPECT_NEAR(m.frequency, 1000.0, 5.0);
    EXPECT_NEAR(m.peak, 0.5f, 0.02f);
}

TEST(BackendCapture, LoopbackOfANamedOutputRecordsOnlyThatOutput) {
    const std::vector<float> all = record_loopback(
        render_id_of("Headphones"), {{"Headphones", 1500.0, 0.4f}, {"Speakers", 1000.0, 0.5f}},
        1500ms);
    ASSERT_GT(all.size(), 44100u);
    const ToneMeasure m = measure(all, 2, 44100);
    EXPECT_NEAR(m.frequency, 1500.0, 7.5);
    EXPECT_NEAR(amplitude_at(all, 2, 44100, 1500.0), 0.4f, 0.02f);
    // Speakers' tone would arrive at 0.5; a block cut by a gap the loaded
    // sound server leaves lets a trace of the other tone into its bin.
    EXPECT_LT(amplitude_at(all, 2, 44100, 1000.0), 0.02f);
}

TEST(BackendCapture, SystemAudioKeepsDeliveringSilenceWhileNothingPlays) {
    // Without the keep-alive stream a loopback endpoint that plays nothing
    // delivers nothing, and the recording of system audio would stall.
    auto backend = make_wasapi_backend();
    auto buffer = std::make_shared<SampleBuffer>();
    auto started = backend->start_loopback(std::nullopt, buffer);
    ASSERT_TRUE(started) << started.error();
    std::vector<SampleChunk> chunks;
    ASSERT_TRUE(samples_arrive(*buffer, chunks));
    const auto from = std::chrono::steady_clock::now();
    std::size_t frames = 0;
    float peak = 0;
    while (std::chrono::steady_clock::now() - from < 3s) {
        std::this_thread::sleep_for(100ms);
        for (const auto& c : buffer->take_all()) {
            frames += c.samples.size() / 2;
            for (float x : c.samples)
                peak = std::max(peak, std::fabs(x));
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
    started->capture.reset();
    EXPECT_GT(static_cast<double>(frames), 0.9 * seconds * 44100) << frames << " frames";
    EXPECT_EQ(peak, 0.0f);
}

TEST(BackendCapture, KeepAliveStreamOpensPlaysSilenceAndCloses) {
    ComInit com;
    auto enumerator = create_enumerator();
    ASSERT_TRUE(enumerator);
    auto device = open_endpoint(enumerator->Get(), eRender, render_id_of("Headphones"));
    ASSERT_TRUE(device);

    // What the monitor of the same device records while only the silence plays.
    auto backend = make_wasapi_backend();
    auto buffer = std::make_shared<SampleBuffer>();
    auto monitor = backend->start_named_input("Monitor of Headphones", buffer);
    ASSERT_TRUE(monitor) << monitor.error();
    std::vector<SampleChunk> chunks;
    ASSERT_TRUE(samples_arrive(*buffer, chunks));
    {
        auto keep_alive = KeepAliveRender::open(device->Get());
        ASSERT_TRUE(keep_alive) << keep_alive.error();
        UINT32 written = 0;
        for (int i = 0; i < 100; ++i) {
            std::this_thread::sleep_for(5ms);
            written += keep_alive->pump();
        }
        EXPECT_GT(written, 0u);
    }
    monitor->capture.reset();
    float peak = 0;
    std::size_t samples = 0;
    for (auto& c : buffer->take_all())
        chunks.push_back(std::move(c));
    for (const auto& chunk : chunks) {
        samples += chunk.size();
        for (float x : chunk.samples)
            peak = std::max(peak, std::fabs(x));
    }
    EXPECT_GT(samples, 0u);
    EXPECT_EQ(peak, 0.0f);
}

// A message-only window that keeps what the workers post.
class MessageSink {
public:
    MessageSink() {
        WNDCLASSW wc{};
        wc.lpfnWndProc = ::DefWindowProcW;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.lpszClassName = L"KestruneAudioTestSink";
        ::RegisterClassW(&wc);
        hwnd_ = ::CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  wc.hInstance, nullptr);
    }
    ~MessageSink() { ::DestroyWindow(hwnd_); }
    HWND hwnd() const { return hwnd_; }

    // Waits up to about ten seconds for a message of that number.
    std::optional<MSG> wait_for(UINT message) {
        for (int i = 0; i < 1000; ++i) {
            MSG msg;
            if (::PeekMessageW(&msg, hwnd_, message, message, PM_REMOVE))
                return msg;
            std::this_thread::sleep_for(10ms);
        }
        return std::nullopt;
    }

private:
    HWND hwnd_ = nullptr;
};

TEST(BackendWorkers, SourceStartAndWarmUpPostToTheWindow) {
    MessageSink sink;
    ASSERT_NE(sink.hwnd(), nullptr);

    launch_device_warm_up(sink.hwnd());
    const auto refresh = sink.wait_for(WM_APP_REFRESH_DEVICES);
    ASSERT_TRUE(refresh);
    EXPECT_EQ(refresh->wParam, 0u);
    EXPECT_EQ(default_render_id(), default_render_endpoint_id());

    auto buffer = std::make_shared<SampleBuffer>();
    launch_source_start(sink.hwnd(), SourceSpec::input_device("Monitor of Speakers"), 3, buffer);
    const auto msg = sink.wait_for(WM_APP_SOURCE_RESULT);
    ASSERT_TRUE(msg);
    EXPECT_EQ(msg->lParam, 0);
    std::unique_ptr<SourceStartReport> report = take_source_start_report(msg->wParam);
    EXPECT_EQ(report->index, 3u);
    EXPECT_EQ(report->spec, SourceSpec::input_device("Monitor of Speakers"));
    ASSERT_TRUE(report->result) << report->result.error();
    std::vector<SampleChunk> chunks;
    EXPECT_TRUE(samples_arrive(*buffer, chunks));
    report.reset();  // stops the capture

    launch_source_start(sink.hwnd(), SourceSpec::loopback_device("[Loopback] Nowhere"), 4, buffer);
    const auto missing = sink.wait_for(WM_APP_SOURCE_RESULT);
    ASSERT_TRUE(missing);
    report = take_source_start_report(missing->wParam);
    ASSERT_FALSE(report->result);
    EXPECT_EQ(report->result.error(), "[Loopback] Nowhere: device not found");
}

}  // namespace
}  // namespace kestrune::win
