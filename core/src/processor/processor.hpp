#pragma once
// The recording's processor: every 5 ms it takes what each source captured,
// converts it to the source's target format and writes whole 5 ms blocks,
// mixed into one file or one file per source. It alone touches the output
// files while a recording runs.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "audio_buf/sample_buffer.hpp"
#include "audio_buf/sample_queue.hpp"
#include "capture/capture_list.hpp"
#include "convert/source_converter.hpp"
#include "error.hpp"
#include "output_format.hpp"
#include "platform/cycle_clock.hpp"
#include "processor/error_slot.hpp"
#include "processor/late_sources.hpp"
#include "processor/level_meters.hpp"
#include "processor/output_slot.hpp"
#include "processor/status_channel.hpp"
#include "recording_mode.hpp"
#include "session/instructions_writer.hpp"

namespace kestrune {

inline constexpr std::chrono::milliseconds CYCLE_INTERVAL{5};
// Files are written this far behind the recording clock, so that audio from
// the slowest device and the resampler's own delay are in place before their
// stretch of the timeline is written.
inline constexpr std::chrono::milliseconds WRITE_DELAY{200};
// Chunks this much later than where their source's audio has reached start a
// new stretch after silence, once they have held RESYNC_CONFIRM of audio
// without falling back by more than RESYNC_BAND or half a chunk (late stamps
// that fall back are reads that came late, not a gap); smaller differences
// are drift and jitter, and the rate correction absorbs them.
inline constexpr std::chrono::milliseconds RESYNC_GAP{20};
inline constexpr std::chrono::milliseconds RESYNC_CONFIRM{30};
inline constexpr std::chrono::milliseconds RESYNC_BAND{2};

struct SourceInput {
    std::shared_ptr<SampleBuffer> buffer;        // shared with the capture
    std::shared_ptr<std::atomic<bool>> enabled;  // shared with the Recorder
    // The format probed at the start, for chunks that do not name their own.
    std::uint32_t native_rate = 0;
    std::uint16_t native_channels = 0;
    std::uint32_t channel_mask = 0;  // 0: the usual layout of native_channels
};

// No end set: the recording runs until the stop flag.
inline constexpr std::int64_t NO_END = std::numeric_limits<std::int64_t>::max();

struct ProcessorSetup {
    StatusSender status;
    std::vector<SourceInput> inputs;
    std::vector<OutputSlot> outputs;
    std::vector<OutputFormat> targets;  // one per source
    FileList files;
    std::filesystem::path session_dir;  // where the mixed file's parts go
    std::optional<InstructionsWriter> instructions;
    std::shared_ptr<std::atomic<bool>> stop;
    std::shared_ptr<CaptureList> captures;
    std::shared_ptr<ErrorSlot> error_slot;
    std::shared_ptr<LevelMeters> levels;  // shared with the window; may be null
    std::uint64_t mix_divisor = 1;
    RecordingMode mode = RecordingMode::SingleFile;
    WriterConfig writer;  // for the segment files created while recording
    // Where the recording ends on its timeline, in nanoseconds from its start
    // (a timed recording), or NO_END; may be absent. Shared with the Recorder.
    std::shared_ptr<std::atomic<std::int64_t>> end_at;
    std::shared_ptr<LateSources> late;  // sources added while recording; may be absent
};

// How well the sources kept to the timeline, for tests and benchmarks.
struct TimelineStats {
    // Frames placed after their time because they came later than the writing
    // (which runs WRITE_DELAY behind the clock), per source.
    std::vector<std::uint64_t> late_frames;
    // Frames a stream handed over at its start that its timestamps put before
    // the recording began (audio it had queued), dropped, per source.
    std::vector<std::uint64_t> stale_frames;
    // The most frames any source held waiting to be written.
    std::uint64_t largest_backlog = 0;
    // Each source's clock as the processor has learnt it: output frames per
    // input frame that keep it on the timeline (1 - 100e-6 for a device
    // that runs 100 ppm fast).
    std::vector<double> drift;
};

class Processor {
public:
    Processor(ProcessorSetup setup, CycleClock& clock);
    Processor(const Processor&) = delete;
    Processor& operator=(const Processor&) = delete;
    ~Processor();

    // One cycle without its sleep. False once the processor has finished its
    // files and sent the list; it then holds no shared object any more.
    [[nodiscard]] bool cycle();
    // Cycles every CYCLE_INTERVAL until the stop flag or an error ends it.
    void run();

    [[nodiscard]] TimelineStats stats() const;

private:
    // Audio placed on the timeline and not yet written: frames from `start`
    // on, in the source's target format.
    struct Run {
        std::int64_t start = 0;
        SampleQueue samples;
    };

    struct Source {
        std::optional<SourceConverter> converter;  // for the format the stream delivers
        std::uint32_t probed_rate = 0;
        std::uint16_t probed_channels = 0;
        std::uint32_t probed_mask = 0;
        std::deque<Run> runs;
        // Where converter output frame 0 of the present stretch lies.
        std::int64_t anchor = 0;
        bool anchored = false;
        // The clock-following loop: the rate error it has learnt, and how
        // long it has been learning.
        double rate_error = 0;
        double smoothed_error = 0;
        // The first chunks of a stretch, a low percentile of whose timestamps
        // places it, and where that put the run (once writing moves it, the
        // loop takes over).
        bool settling = false;
        int settle_chunks = 0;
        double settle_first = 0;  // the first chunk's timestamp, in frames
        // Where each chunk so far says the stretch begins, against where it
        // was put first (frames).
        std::vector<double> settle_says;
        double settle_last_span = 0;    // the last chunk's stamp past the first one's
        double settle_last_length = 0;  // and its length, both in frames
        std::int64_t settle_applied = 0;
        std::int64_t settle_start = 0;
        // The loop's recent errors, for their lower envelope: (stream
        // seconds, error in frames).
        std::deque<std::pair<double, double>> envelope;
        double envelope_at = 0;     // when its percentile was last taken
        double envelope_value = 0;  // and what it was
        double learnt_seconds = 0;
        double drift = 1;
        // Timeline frames before this are written (or passed over).
        std::int64_t consumed = 0;
        bool previous_enabled = false;
        bool enabled = false;
        std::size_t block_len = 0;
        std::uint32_t target_rate = 0;
        std::uint16_t target_channels = 0;
        std::vector<SampleChunk> taken;
        std::uint64_t late_frames = 0;
        std::uint64_t stale_frames = 0;
        // Input frames of the chunks in a row that came RESYNC_GAP late, the
        // least of their errors, and the frames since those stopped falling.
        std::uint64_t late_stamp_frames = 0;
        double late_stamp_min = 0;
        std::uint64_t late_stamp_flat = 0;
        // Instructed stems: the open segment's first frame on the timeline,
        // once its first audio has arrived; then how far its file reaches.
        std::optional<std::int64_t> segment_start;
        std::int64_t segment_written = 0;
        // Silence-padded stems: how far the stem's file reaches.
        std::int64_t stem_written = 0;
    };

    [[nodiscard]] Source make_source(const SourceInput& in, const OutputFormat& target) const;
    [[nodiscard]] bool handle_enabled_changes(std::int64_t now_frames_hint);
    [[nodiscard]] bool adopt_late_sources();
    [[nodiscard]] bool place_taken(std::chrono::nanoseconds now);
    [[nodiscard]] Result<void> place(Source& s, const SampleChunk& chunk,
                                     std::chrono::nanoseconds now);
    [[nodiscard]] Result<void> append_converted(Source& s, std::span<const float> samples);
    [[nodiscard]] Result<void> close_stretch(Source& s);
    void follow_clock(Source& s, double error_frames, double seconds);
    // span_frames: how far this chunk's timestamp is past the stretch's first;
    // length_frames: how much of the timeline it fills.
    void settle_anchor(Source& s, double error_frames, double span_frames, double length_frames);
    // A low percentile of the source's errors over the last ENVELOPE_SECONDS,
    // this one included.
    [[nodiscard]] double lower_envelope(Source& s, double error_frames);
    void reset_source(Source& s);
    void take(Source& s, std::int64_t from, std::size_t frames, float* out, float gain);
    void write_mix(std::int64_t limit_ns);
    void write_stems(std::int64_t limit_ns, bool final);
    [[nodiscard]] bool write_stem_range(std::size_t i, std::int64_t& written, std::int64_t to);
    [[nodiscard]] bool close_segment(std::size_t i);
    [[nodiscard]] Result<void> write_to_slot(std::size_t i, std::span<const float> samples);
    [[nodiscard]] std::int64_t end_ns() const;
    // The timeline frame after the last one the source has in hand.
    [[nodiscard]] std::int64_t held_end(const Source& s) const;
    void record(Error e) {
        if (!error_)
            error_ = std::move(e);
    }
    void finish();

    ProcessorSetup setup_;
    CycleClock& clock_;
    std::chrono::nanoseconds start_{0};  // the timeline's zero on the clock
    std::vector<Source> sources_;
    std::optional<Error> error_;
    std::int64_t mix_written_ = 0;
    std::optional<std::int64_t> stop_ns_;  // when the stop flag was first seen
    std::uint64_t largest_backlog_ = 0;
    std::vector<float> scratch_;
    std::vector<double> envelope_scratch_;
    std::vector<float> block_;
    bool finished_ = false;
};

// Starts the processor on a detached thread of its own with the platform's
// precise clock; its end is known only from the status channel. An error when
// the thread cannot be created (the setup is then released).
[[nodiscard]] Result<void> start_processor_thread(ProcessorSetup setup);

}  // namespace kestrune
