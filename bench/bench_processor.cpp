// The processor's work without its 5 ms sleeps, over ten minutes of audio per
// scenario, timed by the CPU time of the calling thread; then the processor's
// CPU cost while it idles in real time with two quiet sources, which includes
// what the platform charges for waking a thread 200 times a second.
//
//   cmake --build build/native --target benchmarks && build/native/bin/bench_processor
//
// Optional arguments: minutes of audio per scenario (default 10), and a text
// that picks only the scenarios whose names contain it (for profiling one).

#include <sys/resource.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <numbers>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "processor/processor.hpp"
#include "session/session.hpp"

#include "bench_support.hpp"

namespace {

using namespace kestrune;
using namespace kestrune::bench;
using namespace std::chrono_literals;

// The calling thread's user and system CPU seconds so far.
std::pair<double, double> thread_user_system() {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    const auto s = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
    };
    return {s(u.ru_utime), s(u.ru_stime)};
}

struct Source {
    std::string label;
    std::uint32_t rate;
    std::uint16_t channels;
    bool enabled;
    bool delivers = true;  // false: enabled but quiet (system audio while nothing plays)
};

struct Scenario {
    const char* name;
    RecordingMode mode;
    OutputFormat output;
    std::vector<Source> sources;
};

// One second of a 440 Hz tone in 5 ms chunks (the rate's frames split evenly).
std::vector<SampleChunk> one_second(const Source& s) {
    std::vector<SampleChunk> chunks;
    std::uint64_t frame = 0;
    for (int c = 0; c < 200; ++c) {
        const std::uint64_t end = static_cast<std::uint64_t>(s.rate) * (c + 1) / 200;
        SampleChunk chunk;
        for (; frame < end; ++frame) {
            const float v =
                0.5f * static_cast<float>(std::sin(2.0 * std::numbers::pi * 440.0 *
                                                   static_cast<double>(frame) / s.rate));
            for (std::uint16_t ch = 0; ch < s.channels; ++ch)
                chunk.samples.push_back(v);
        }
        chunks.push_back(std::move(chunk));
    }
    return chunks;
}

std::uint64_t folder_bytes(const std::filesystem::path& dir) {
    std::uint64_t total = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
        if (e.is_regular_file())
            total += e.file_size();
    return total;
}

struct Rig {
    std::vector<std::shared_ptr<SampleBuffer>> buffers;
    std::shared_ptr<std::atomic<bool>> stop = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<ErrorSlot> error = std::make_shared<ErrorSlot>();
    std::optional<StatusReceiver> receiver;
    std::optional<ProcessorSetup> setup;

    Rig(const Scenario& sc, const std::filesystem::path& dir) {
        SessionRequest request;
        request.requested_dir = dir;
        request.mode = sc.mode;
        request.timestamp = "bench";
        for (const Source& s : sc.sources) {
            request.labels.push_back(s.label);
            request.formats.push_back(sc.output);
            request.enabled.push_back(s.enabled);
        }
        NoLocations none;
        Result<Session> session = setup_session(request, none);
        if (!session) {
            std::fprintf(stderr, "set-up failed: %s\n", session.error().text.c_str());
            std::exit(1);
        }
        auto [sender, rx] = make_status_channel();
        receiver.emplace(std::move(rx));
        setup.emplace();
        setup->status = std::move(sender);
        for (const Source& s : sc.sources) {
            buffers.push_back(std::make_shared<SampleBuffer>());
            setup->inputs.push_back({buffers.back(), std::make_shared<std::atomic<bool>>(s.enabled),
                                     s.rate, s.channels});
            setup->targets.push_back(sc.output);
        }
        setup->outputs = std::move(session->outputs);
        setup->files = std::move(session->files);
        setup->session_dir = session->output_dir;
        setup->instructions = std::move(session->instructions);
        setup->stop = stop;
        setup->captures = std::make_shared<CaptureList>();
        setup->error_slot = error;
        setup->mix_divisor = sc.sources.size();
        setup->mode = sc.mode;
    }
};

void run_scenario(const Scenario& sc, int minutes, const std::filesystem::path& root) {
    const std::filesystem::path dir = root / sc.name;
    Rig rig(sc, dir);
    std::vector<std::vector<SampleChunk>> audio;
    for (const Source& s : sc.sources)
        audio.push_back(one_second(s));
    SteppedClock clock;
    Processor processor(std::move(*rig.setup), clock);

    const std::uint64_t cycles = static_cast<std::uint64_t>(minutes) * 60 * 200;
    double cpu = 0;
    const auto [user0, system0] = thread_user_system();
    for (std::uint64_t c = 0; c < cycles; ++c) {
        // The capture side's pushes are not the processor's work.
        for (std::size_t i = 0; i < sc.sources.size(); ++i)
            if (sc.sources[i].enabled && sc.sources[i].delivers)
                rig.buffers[i]->push(audio[i][c % 200]);
        clock.sleep_for(CYCLE_INTERVAL);
        const double t0 = thread_cpu_seconds();
        const bool more = processor.cycle();
        cpu += thread_cpu_seconds() - t0;
        if (!more) {
            std::fprintf(stderr, "%s: ended early: %s\n", sc.name,
                         rig.error->get().value_or("?").c_str());
            std::exit(1);
        }
    }
    rig.stop->store(true);
    // The files end at the stop once the write delay has passed.
    for (bool more = true; more;) {
        clock.sleep_for(CYCLE_INTERVAL);
        const double t0 = thread_cpu_seconds();
        more = processor.cycle();
        cpu += thread_cpu_seconds() - t0;
    }
    (void)rig.receiver->receive();
    // The kernel's share is mostly copying into the page cache, which on a
    // virtual machine varies several-fold from run to run; the user share is
    // the processor's own work.
    const auto [user1, system1] = thread_user_system();
    const double user_share = (user1 - user0) / std::max(1e-9, user1 - user0 + system1 - system0);

    const double audio_seconds = minutes * 60.0;
    const double bytes = static_cast<double>(folder_bytes(dir));
    std::printf("%-44s %8.0fx real time (%5.0fx without the kernel's)  %7.1f MB/s of CPU time  "
                "%7.0f bytes per audio second\n",
                sc.name, audio_seconds / cpu, audio_seconds / (cpu * user_share),
                bytes / cpu / 1e6, bytes / audio_seconds);
    std::filesystem::remove_all(dir);
}

void idle_cost(const std::filesystem::path& root) {
    const Scenario sc{"idle",
                      RecordingMode::SingleFile,
                      {48000, 2, 24, false},
                      {{"loopback", 48000, 2, true}, {"mic", 44100, 1, true}}};
    const std::filesystem::path dir = root / "idle";
    Rig rig(sc, dir);
    std::atomic<double> cpu{0};
    const auto wall_start = std::chrono::steady_clock::now();
    std::thread worker([&] {
        const std::unique_ptr<CycleClock> clock = make_system_cycle_clock();
        Processor processor(std::move(*rig.setup), *clock);
        const double t0 = thread_cpu_seconds();
        processor.run();
        cpu = thread_cpu_seconds() - t0;
    });
    std::this_thread::sleep_for(5s);
    rig.stop->store(true);
    worker.join();
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
    std::printf("%-44s %8.3f ms of CPU per second of wall clock\n",
                "idle, two quiet sources, real time", cpu.load() * 1000 / wall);
    std::filesystem::remove_all(dir);

    // The floor under that figure: the same clock sleeping 5 ms and nothing else.
    const std::unique_ptr<CycleClock> clock = make_system_cycle_clock();
    const auto t0 = std::chrono::steady_clock::now();
    const double c0 = thread_cpu_seconds();
    for (int i = 0; i < 400; ++i)
        clock->sleep_for(CYCLE_INTERVAL);
    const double floor_cpu = thread_cpu_seconds() - c0;
    const double floor_wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("%-44s %8.3f ms of CPU per second of wall clock\n",
                "bare 5 ms sleeps, for comparison", floor_cpu * 1000 / floor_wall);
}

}  // namespace

int main(int argc, char** argv) {
    const int minutes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    const std::filesystem::path root =
        std::filesystem::temp_directory_path() / ("kestrune_bench_" + std::to_string(::getpid()));
    std::filesystem::create_directories(root);
    std::printf("processor benchmark, %d minutes of audio per scenario\n", minutes);
    const Scenario scenarios[] = {
        {"(a) 48k stereo float -> 48k stereo 24-bit",
         RecordingMode::SingleFile,
         {48000, 2, 24, false},
         {{"loopback", 48000, 2, true}}},
        {"(b) (a) + 44.1k mono resampled, mixed",
         RecordingMode::SingleFile,
         {48000, 2, 24, false},
         {{"loopback", 48000, 2, true}, {"mic", 44100, 1, true}}},
        {"(c) silence-padded stems, 3 sources, 1 off",
         RecordingMode::StemsSilence,
         {48000, 2, 24, false},
         {{"loopback", 48000, 2, true}, {"mic", 44100, 1, true}, {"line", 48000, 2, false}}},
        // The idle case below without its sleeps: the processor's own share.
        {"two quiet sources, without sleeps",
         RecordingMode::SingleFile,
         {48000, 2, 24, false},
         {{"loopback", 48000, 2, true, false}, {"mic", 44100, 1, true, false}}},
    };
    const std::string only = argc > 2 ? argv[2] : "";
    for (const Scenario& sc : scenarios)
        if (std::string(sc.name).find(only) != std::string::npos)
            run_scenario(sc, minutes, root);
    if (only.empty())
        idle_cost(root);
    std::filesystem::remove_all(root);
    return 0;
}
