#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <utility>

#include "capture/capture_texts.hpp"
#include "capture/device_follow.hpp"
#include "capture/device_names.hpp"
#include "capture/set_once_text.hpp"
#include "capture/source_start.hpp"
#include "capture/start_channel.hpp"

namespace kestrune {
namespace {

class NoCapture : public CaptureHandle {};

// Records what the worker asked for; starts succeed unless a failure text is set.
class ScriptedBackend : public CaptureBackend {
public:
    std::optional<std::string> failure;
    std::vector<RenderEndpointEntry> endpoints;
    std::vector<std::string> calls;

    std::optional<std::string> default_input_name() override { return "Mic"; }
    std::optional<OutputFormat> probe_input_format(const std::string&) override {
        return std::nullopt;
    }
    std::expected<OutputFormat, std::string> probe_loopback_format(
        const std::optional<std::string>&) override {
        return OutputFormat{48000, 2, 32, true};
    }
    StartResult start_default_input(std::shared_ptr<SampleBuffer>) override {
        return outcome("default input");
    }
    StartResult start_named_input(const std::string& name, std::shared_ptr<SampleBuffer>) override {
        return outcome("input " + name);
    }
    StartResult start_loopback(const std::optional<std::string>& id,
                               std::shared_ptr<SampleBuffer>) override {
        return outcome("loopback " + id.value_or("default"));
    }
    std::vector<InputDeviceEntry> list_input_devices() override { return {}; }
    std::vector<RenderEndpointEntry> list_render_endpoints() override { return endpoints; }

private:
    StartResult outcome(std::string call) {
        calls.push_back(std::move(call));
        if (failure)
            return std::unexpected(*failure);
        return StartedCapture{std::make_unique<NoCapture>(), OutputFormat{48000, 2, 32, true}, 0,
                              nullptr};
    }
};

TEST(RunSourceStart, StartsEachKindAndPrefixesItsFailures) {
    struct Case {
        SourceSpec spec;
        std::string call;  // empty: no start is attempted
        std::string error;
    };
    const std::vector<Case> cases = {
        {SourceSpec::system_audio(), "loopback default", "Failed to start loopback: boom"},
        {SourceSpec::default_microphone(), "default input", "Failed to start mic: boom"},
        {SourceSpec::input_device("USB Mic"), "input USB Mic", "Failed to start USB Mic: boom"},
        {SourceSpec::loopback_device("[Loopback] Headphones"), "loopback {hp}",
         "Failed to start loopback [Loopback] Headphones: boom"},
        {SourceSpec::loopback_device("[Loopback] Speakers"), "",
         "[Loopback] Speakers: device not found"},
        // Ten bytes are not the prefix: the whole name is looked up.
        {SourceSpec::loopback_device("[Loopback]"), "loopback {odd}",
         "Failed to start loopback [Loopback]: boom"},
    };
    for (bool fails : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.spec.name + (fails ? " failing" : " starting"));
            ScriptedBackend backend;
            backend.endpoints = {{"Headphones", "{hp}"}, {"[Loopback]", "{odd}"}};
            if (fails)
                backend.failure = "boom";
            auto buffer = std::make_shared<SampleBuffer>();
            testing::internal::CaptureStderr();
            SourceStartReport report = run_source_start(backend, c.spec, 7, buffer);
            const std::string err = testing::internal::GetCapturedStderr();

            EXPECT_EQ(report.spec, c.spec);
            EXPECT_EQ(report.spec.name, c.spec.name);
            EXPECT_EQ(report.index, 7u);
            EXPECT_EQ(backend.calls,
                      c.call.empty() ? std::vector<std::string>{} : std::vector{c.call});
            if (fails || c.call.empty()) {
                ASSERT_FALSE(report.result);
                EXPECT_EQ(report.result.error(), c.error);
                EXPECT_EQ(err, c.error + "\n");
            } else {
                ASSERT_TRUE(report.result);
                EXPECT_EQ(report.result->spec.name, c.spec.name);
                EXPECT_NE(report.result->capture, nullptr);
                EXPECT_EQ(report.result->health, nullptr);
                EXPECT_EQ(err, "");
            }
        }
    }
}

TEST(CaptureTexts, CodesStepsAndLogPlace) {
    EXPECT_EQ(step_error("Initialize", 0x88890003u), "Initialize: 0x88890003");
    EXPECT_EQ(step_error("Start", 0x5u), "Start: 0x00000005");
    EXPECT_EQ(hex_code(0xFFFFFFFFu), "0xFFFFFFFF");
    EXPECT_EQ(loopback_log_text("GetService: 0x88890003"),
              "Loopback error: GetService: 0x88890003\n");
    EXPECT_EQ(loopback_stderr_line("GetService: 0x88890003"),
              "Loopback capture error: GetService: 0x88890003");
    EXPECT_EQ(unsupported_format_line("F64"), "Mic stream: unsupported sample format F64");
    EXPECT_EQ(loopback_log_path(std::filesystem::path("/opt/k/kestrune.exe")),
              std::filesystem::path("/opt/k/kestrune_loopback_error.txt"));
    EXPECT_EQ(loopback_log_path(std::filesystem::path("kestrune.exe")),
              std::filesystem::path("kestrune_loopback_error.txt"));
    EXPECT_EQ(loopback_log_path(std::nullopt),
              std::filesystem::path("kestrune_loopback_error.txt"));
}

TEST(StartChannel, StartedErrorOrThreadGone) {
    {
        auto channel = std::make_shared<StartChannel>();
        std::thread t([sender = StartSender(channel)]() mutable { sender.started(); });
        EXPECT_TRUE(channel->wait());
        t.join();
    }
    {
        auto channel = std::make_shared<StartChannel>();
        std::thread t([sender = StartSender(channel)]() mutable {
            sender.failed("Initialize: 0x88890008");
            sender.started();  // too late: the first report stands
        });
        t.join();
        EXPECT_EQ(channel->wait(), std::unexpected(std::string("Initialize: 0x88890008")));
    }
    {
        auto channel = std::make_shared<StartChannel>();
        std::thread t([sender = StartSender(channel)] {});
        EXPECT_EQ(channel->wait(), std::unexpected(std::string(MIC_THREAD_EXITED)));
        t.join();
    }
}

TEST(SetOnceText, FirstWriterWinsAcrossThreads) {
    SetOnceText cell;
    EXPECT_EQ(cell.get(), std::nullopt);
    std::vector<std::thread> writers;
    std::atomic<int> winners{0};
    for (int i = 0; i < 8; ++i)
        writers.emplace_back([&, i] { winners += cell.set("id" + std::to_string(i)) ? 1 : 0; });
    for (auto& w : writers)
        w.join();
    EXPECT_EQ(winners.load(), 1);
    const auto first = cell.get();
    ASSERT_TRUE(first);
    EXPECT_FALSE(cell.set("later"));
    EXPECT_EQ(cell.get(), first);
}

TEST(DeviceNames, NamesakesAreToldApartInTheirOrder) {
    struct Case {
        const char* what;
        std::vector<std::string> in, out;
    };
    const Case cases[] = {
        {"all different", {"A", "B"}, {"A", "B"}},
        {"two headsets",
         {"Headset", "Speakers", "Headset"},
         {"Headset", "Speakers", "Headset (2)"}},
        {"three", {"A", "A", "A"}, {"A", "A (2)", "A (3)"}},
        // A device really called "A (2)" keeps its name; the namesake moves on.
        {"a name already taken", {"A", "A", "A (2)"}, {"A", "A (3)", "A (2)"}},
        {"empty names too", {"", ""}, {"", " (2)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(distinct_device_names(c.in), c.out);
    }
}

// A device that comes and goes on a hand-moved clock: each poll is 1 ms.
struct ScriptedDevice : DeviceOpener {
    struct Stream : DeviceStream {
        ScriptedDevice& d;
        explicit Stream(ScriptedDevice& device) : d(device) {}
        bool pump() override { return d.present; }
    };
    struct Clock : CycleClock {
        ScriptedDevice& d;
        std::chrono::nanoseconds t{0};
        explicit Clock(ScriptedDevice& device) : d(device) {}
        std::chrono::nanoseconds now() override { return t; }
        void sleep_for(std::chrono::nanoseconds step) override {
            t += step;
            d.at(std::chrono::duration_cast<std::chrono::milliseconds>(t).count());
        }
    };

    bool present = true;
    bool default_moved = false;
    std::vector<long long> opened;  // when open found the device
    std::vector<long long> tried;   // every attempt
    std::function<void(long long)> script;
    std::atomic<bool> stop{false};
    long long now_ms = 0;

    void at(long long ms) {
        now_ms = ms;
        script(ms);
    }
    std::unique_ptr<DeviceStream> open() override {
        tried.push_back(now_ms);
        if (!present)
            return nullptr;
        opened.push_back(now_ms);
        return std::make_unique<Stream>(*this);
    }
    bool default_changed() override { return std::exchange(default_moved, false); }
};

TEST(FollowDevice, RetriesALostDeviceEveryTwoSecondsAndMovesWithTheDefault) {
    ScriptedDevice device;
    ScriptedDevice::Clock clock(device);
    CaptureHealth health;
    std::vector<std::pair<long long, bool>> lost_seen;
    device.script = [&](long long ms) {
        lost_seen.emplace_back(ms, health.lost.load());
        if (ms == 100)
            device.present = false;  // unplugged
        if (ms == 5000)
            device.present = true;  // plugged in again
        if (ms == 6500)
            device.default_moved = true;
        if (ms == 7000)
            device.stop.store(true);
    };
    follow_device(device, std::make_unique<ScriptedDevice::Stream>(device), device.stop, health,
                  clock, std::chrono::milliseconds(1));

    // Lost at 100 and tried at once, then every 2 s until it is back; the
    // default's move reopens at once.
    EXPECT_EQ(device.tried, (std::vector<long long>{100, 2100, 4100, 6100, 6500}));
    EXPECT_EQ(device.opened, (std::vector<long long>{6100, 6500}));
    EXPECT_EQ(health.gaps.load(), 2u);
    EXPECT_FALSE(health.lost.load());
    const auto lost_at = [&](long long ms) {
        for (const auto& [t, lost] : lost_seen)
            if (t == ms)
                return lost;
        return false;
    };
    EXPECT_FALSE(lost_at(100));
    EXPECT_TRUE(lost_at(101));
    EXPECT_TRUE(lost_at(6100));
    EXPECT_FALSE(lost_at(6101));
}

}  // namespace
}  // namespace kestrune
