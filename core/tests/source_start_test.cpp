#include <gtest/gtest.h>

#include <thread>

#include "capture/capture_texts.hpp"
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
        return StartedCapture{std::make_unique<NoCapture>(), OutputFormat{48000, 2, 32, true}};
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
                EXPECT_EQ(report.result->lost, nullptr);
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

}  // namespace
}  // namespace kestrune
