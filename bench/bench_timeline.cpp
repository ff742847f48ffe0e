// The processor on a simulated clock over many hours, fed by simulated
// devices whose clocks run off the recording's: +1000, -500 and +50 ppm, with
// timestamps up to 3 ms after the capture, delivery 5 to 15 ms after capture, starts at 0,
// 150 and 400 ms, a 2 s dropout and a source switched off and on. Each device
// sends a 2 ms pulse every second of its own time; the stems are read as they
// are written and every pulse's edge is compared with when it was really
// captured. Prints the worst offset, the largest backlog and the processor's
// real-time factor in every mode.
//
//   cmake --build build/native --target benchmarks && build/native/bin/bench_timeline
//
// Optional argument: simulated hours (default 10).

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "processor/processor.hpp"
#include "session/session.hpp"

#include "bench_support.hpp"

namespace {

using namespace kestrune;
using namespace kestrune::bench;
using namespace std::chrono_literals;


constexpr std::uint32_t OUT_RATE = 48000;
constexpr double PULSE_LEVEL = 0.5;
constexpr float HALF_LEVEL = PULSE_LEVEL / 2;

// What a stem's pulses looked like, across all its part files.
struct Edges {
    std::vector<double> at;  // in output frames
    std::uint64_t frame = 0;
    float previous = 0;
};

// Reads one part of a float stereo stem as it is written and finds every
// rising pulse edge (half level, interpolated between frames).
class EdgeProbe final : public File {
public:
    explicit EdgeProbe(std::shared_ptr<Edges> edges) : edges_(std::move(edges)) {}

    Result<std::size_t> write_some(std::span<const std::byte> data) override {
        if (rewriting_)
            return data.size();
        if (offset_ == 0 && !data_start_) {
            // The data chunk's tag and size end the header.
            for (std::size_t i = 0; i + 8 <= data.size(); ++i) {
                if (std::memcmp(data.data() + i, "data", 4) == 0) {
                    data_start_ = i + 8;
                    break;
                }
            }
        }
        if (data_start_ && offset_ + data.size() > *data_start_) {
            // Byte by byte only up to a whole frame; the rest frame by frame,
            // so that probing costs little beside the processor it times.
            std::size_t i = offset_ >= *data_start_ ? 0 : *data_start_ - offset_;
            for (; i < data.size() && partial_len_ != 0; ++i)
                take_byte(static_cast<unsigned char>(data[i]));
            Edges& e = *edges_;
            float previous = e.previous;
            std::uint64_t frame = e.frame;
            for (; i + 8 <= data.size(); i += 8, ++frame) {
                float v = 0;
                std::memcpy(&v, data.data() + i, 4);
                if (previous < HALF_LEVEL && v >= HALF_LEVEL) [[unlikely]]
                    e.at.push_back(static_cast<double>(frame - 1) +
                                   (HALF_LEVEL - previous) / (v - previous));
                previous = v;
            }
            e.previous = previous;
            e.frame = frame;
            for (; i < data.size(); ++i)
                take_byte(static_cast<unsigned char>(data[i]));
        }
        offset_ += data.size();
        return data.size();
    }
    Result<std::size_t> read_some(std::span<std::byte>) override { return 0; }
    Result<void> seek(std::uint64_t offset) override {
        // Only the header is rewritten; the audio was seen as it went by.
        rewriting_ = true;
        offset_ = offset;
        return {};
    }
    Result<std::uint64_t> length() override { return 0; }
    Result<void> sync() override { return {}; }
    Result<void> close() override { return {}; }

private:
    void take_byte(unsigned char b) {
        partial_[partial_len_++] = b;
        if (partial_len_ == 8) {  // one stereo float frame
            float left = 0;
            std::memcpy(&left, partial_, 4);
            sample(left);
            partial_len_ = 0;
        }
    }

    void sample(float v) {
        Edges& e = *edges_;
        if (e.previous < HALF_LEVEL && v >= HALF_LEVEL)
            e.at.push_back(static_cast<double>(e.frame - 1) +
                           (HALF_LEVEL - e.previous) / (v - e.previous));
        e.previous = v;
        ++e.frame;
    }

    std::shared_ptr<Edges> edges_;
    std::uint64_t offset_ = 0;
    bool rewriting_ = false;
    std::optional<std::uint64_t> data_start_;
    unsigned char partial_[8] = {};
    std::size_t partial_len_ = 0;
};

struct Device {
    const char* name;
    std::uint32_t rate;
    std::uint16_t channels;
    double ppm;
    std::chrono::milliseconds start;
    // A dropout: from this device time on nothing is captured for 2 s.
    std::optional<std::chrono::seconds> dropout_at;
    // Switched off at this recording time for 5 s.
    std::optional<std::chrono::seconds> off_at;
};

// One simulated device: which frames it has captured when, and its pulses.
struct Simulated {
    Device d;
    std::uint64_t frame = 0;  // next frame to deliver
    std::uint32_t seed;
    std::int64_t pending_delay_ns = 0;

    double true_rate() const { return d.rate * (1 + d.ppm * 1e-6); }
    // Recording time (ns) at which device frame n was captured.
    double captured_ns(std::uint64_t n) const {
        double t = static_cast<double>(n) / true_rate() * 1e9 + 1e6 * d.start.count();
        if (d.dropout_at && n >= dropout_frame())
            t += 2e9;
        return t;
    }
    std::uint64_t dropout_frame() const {
        return static_cast<std::uint64_t>(d.dropout_at->count()) * d.rate;
    }
    double random() {  // -1 .. 1
        seed = seed * 1664525u + 1013904223u;
        return static_cast<double>(seed >> 8) / (1 << 23) - 1;
    }
    // Pulses: the first 2 ms of every second of device time.
    bool pulse(std::uint64_t n) const { return n % d.rate < d.rate / 500; }
};

struct Outcome {
    double worst_offset_ms = 0;
    std::size_t edges = 0;
    std::uint64_t largest_backlog = 0;
    std::uint64_t late = 0;
    double rtf = 0;
};

Outcome run(RecordingMode mode, const std::vector<Device>& devices, double hours,
            const std::filesystem::path& dir) {
    SessionRequest request;
    request.requested_dir = dir;
    request.mode = mode;
    request.timestamp = "timeline";
    const OutputFormat out{OUT_RATE, 2, 32, true};
    for (const Device& d : devices) {
        request.labels.push_back(d.name);
        request.formats.push_back(out);
        request.enabled.push_back(true);
    }
    // Stems are read as they are written, never stored: ten hours of three
    // stems would fill the disk.
    // One record per source, whichever part file its audio is in (a stem is
    // named after its source, and its parts after the stem).
    std::vector<std::shared_ptr<Edges>> probes;
    for (std::size_t i = 0; i < devices.size(); ++i)
        probes.push_back(std::make_shared<Edges>());
    WriterConfig writer;
    writer.open = [&probes, &devices](const std::filesystem::path& path) -> Result<FilePtr> {
        const std::string name = path.filename().string();
        std::shared_ptr<Edges> edges = std::make_shared<Edges>();
        for (std::size_t i = 0; i < devices.size(); ++i)
            if (name.rfind(devices[i].name, 0) == 0)
                edges = probes[i];
        return FilePtr(std::make_unique<EdgeProbe>(edges));
    };
    NoLocations none;
    Result<Session> session = setup_session(request, none, writer);
    if (!session) {
        std::fprintf(stderr, "set-up failed: %s\n", session.error().text.c_str());
        std::exit(1);
    }
    auto [sender, receiver] = make_status_channel();
    ProcessorSetup setup;
    setup.status = std::move(sender);
    std::vector<std::shared_ptr<SampleBuffer>> buffers;
    std::vector<std::shared_ptr<std::atomic<bool>>> enabled;
    for (const Device& d : devices) {
        buffers.push_back(std::make_shared<SampleBuffer>());
        enabled.push_back(std::make_shared<std::atomic<bool>>(true));
        setup.inputs.push_back({buffers.back(), enabled.back(), d.rate, d.channels});
        setup.targets.push_back(out);
    }
    auto stop = std::make_shared<std::atomic<bool>>(false);
    auto error = std::make_shared<ErrorSlot>();
    setup.outputs = std::move(session->outputs);
    setup.files = std::move(session->files);
    setup.session_dir = session->output_dir;
    setup.instructions = std::move(session->instructions);
    setup.stop = stop;
    setup.captures = std::make_shared<CaptureList>();
    setup.error_slot = error;
    setup.mix_divisor = devices.size();
    setup.mode = mode;
    setup.writer = writer;

    SteppedClock clock(1s);
    const auto start = clock.now();
    Processor processor(std::move(setup), clock);
    std::vector<Simulated> sims;
    for (std::size_t i = 0; i < devices.size(); ++i)
        sims.push_back({devices[i], 0, static_cast<std::uint32_t>(7 + i), 0});

    const auto total = std::chrono::nanoseconds(static_cast<std::int64_t>(hours * 3600e9));
    double cpu = 0;
    Outcome o;
    for (auto t = 0ns; t < total + 1s; t += CYCLE_INTERVAL) {
        const bool stopping = t >= total;
        if (stopping)
            stop->store(true);
        for (std::size_t i = 0; i < sims.size(); ++i) {
            Simulated& s = sims[i];
            const bool off = s.d.off_at && t >= *s.d.off_at && t < *s.d.off_at + 5s;
            enabled[i]->store(!off);
            const std::size_t chunk = s.d.rate / 100;
            for (;;) {
                std::uint64_t n = chunk;
                if (s.d.dropout_at && s.frame < s.dropout_frame())
                    n = std::min<std::uint64_t>(n, s.dropout_frame() - s.frame);
                // Delivered 5 to 15 ms after its last frame was captured.
                if (s.pending_delay_ns == 0)
                    s.pending_delay_ns = static_cast<std::int64_t>(10e6 + 5e6 * s.random());
                const double due = s.captured_ns(s.frame + n - 1) + 1e9 / s.d.rate +
                                   static_cast<double>(s.pending_delay_ns);
                if (due > static_cast<double>(t.count()))
                    break;
                s.pending_delay_ns = 0;
                SampleChunk c;
                c.samples.assign(n * s.d.channels, 0.0f);
                for (std::uint64_t f = 0; f < n; ++f)
                    if (s.pulse(s.frame + f))
                        std::fill_n(
                            c.samples.begin() + static_cast<std::ptrdiff_t>(f * s.d.channels),
                            s.d.channels, static_cast<float>(PULSE_LEVEL));
                c.rate = s.d.rate;
                c.channels = s.d.channels;
                c.time = start + std::chrono::nanoseconds(static_cast<std::int64_t>(
                                     s.captured_ns(s.frame) + 1.5e6 * (1 + s.random())));
                c.discontinuity = s.d.dropout_at && s.frame == s.dropout_frame();
                s.frame += n;
                if (!off)
                    buffers[i]->push(std::move(c));
            }
        }
        clock.sleep_for(CYCLE_INTERVAL);
        const double c0 = thread_cpu_seconds();
        const bool more = processor.cycle();
        cpu += thread_cpu_seconds() - c0;
        if (!more)
            break;
        if (t.count() % 60'000'000'000 == 0) {
            const TimelineStats st = processor.stats();
            o.largest_backlog = std::max(o.largest_backlog, st.largest_backlog);
        }
    }
    if (const auto e = error->get()) {
        std::fprintf(stderr, "recording failed: %s\n", e->c_str());
        std::exit(1);
    }
    o.rtf = hours * 3600 / cpu;
    (void)receiver.receive();
    const TimelineStats st = processor.stats();
    o.largest_backlog = std::max(o.largest_backlog, st.largest_backlog);
    for (std::uint64_t l : st.late_frames)
        o.late += l;
    if (mode == RecordingMode::StemsSilence) {
        for (std::size_t i = 0; i < sims.size() && i < probes.size(); ++i) {
            const Simulated& s = sims[i];
            for (double edge : probes[i]->at) {
                // The pulse whose capture time is nearest; its edge is half a
                // frame before its first frame.
                const double at_ns = edge / OUT_RATE * 1e9;
                double best = 1e18;
                const auto k0 = static_cast<std::int64_t>(std::max(
                    0.0, (at_ns - 1e6 * s.d.start.count()) / 1e9 * (1 + s.d.ppm * 1e-6) - 3));
                for (std::int64_t k = k0; k < k0 + 7; ++k) {
                    const double truth =
                        s.captured_ns(static_cast<std::uint64_t>(k) * s.d.rate) - 0.5e9 / OUT_RATE;
                    if (std::fabs(at_ns - truth) < std::fabs(best))
                        best = at_ns - truth;
                }
                if (std::getenv("TIMELINE_TRACE") && std::fabs(best) > 1e6)
                    std::fprintf(stderr, "source %zu at %.1f s: %.3f ms\n", i, at_ns / 1e9,
                                 best / 1e6);
                o.worst_offset_ms = std::max(o.worst_offset_ms, std::fabs(best) / 1e6);
                ++o.edges;
            }
        }
    }
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    const double hours = argc > 1 ? std::max(0.01, std::atof(argv[1])) : 10.0;
    const std::filesystem::path root = std::filesystem::temp_directory_path() /
                                       ("kestrune_timeline_" + std::to_string(::getpid()));
    std::printf("timeline benchmark, %.2f simulated hours per mode\n", hours);
    // The dropout and the switch come a third and a half of the way in.
    const auto third = std::chrono::seconds(static_cast<std::int64_t>(hours * 1200));
    const auto half = std::chrono::seconds(static_cast<std::int64_t>(hours * 1800));
    const std::vector<Device> devices = {
        {"loopback", 48000, 2, 1000.0, 0ms, std::nullopt, std::nullopt},
        {"mic", 44100, 1, -500.0, 150ms, std::nullopt, half},
        {"line", 48000, 2, 50.0, 400ms, third, std::nullopt},
    };
    const std::pair<const char*, RecordingMode> modes[] = {
        {"silence-padded stems", RecordingMode::StemsSilence},
        {"mix (resampled)", RecordingMode::SingleFile},
        {"instructed stems", RecordingMode::StemsInstructed},
    };
    for (const auto& [name, mode] : modes) {
        const Outcome o = run(mode, devices, hours, root / name);
        std::printf("%-22s", name);
        if (mode == RecordingMode::StemsSilence)
            std::printf("  worst offset %.3f ms over %zu pulses", o.worst_offset_ms, o.edges);
        std::printf("  largest backlog %.0f ms  late %.1f ms  %6.0fx real time\n",
                    static_cast<double>(o.largest_backlog) * 1000 / OUT_RATE,
                    static_cast<double>(o.late) * 1000 / OUT_RATE, o.rtf);
        std::fflush(stdout);
    }
    std::filesystem::remove_all(root);
    return 0;
}
