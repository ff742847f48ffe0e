#pragma once
// The recording's processor: every 5 ms it takes what each source captured,
// converts it to the source's target format and writes whole 5 ms blocks,
// mixed into one file or one file per source. It alone touches the output
// files while a recording runs.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
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
inline constexpr std::uint64_t IDLE_LIMIT = 20;

struct SourceInput {
    std::shared_ptr<SampleBuffer> buffer;        // shared with the capture
    std::shared_ptr<std::atomic<bool>> enabled;  // shared with the Recorder
    std::uint32_t native_rate = 0;
    std::uint16_t native_channels = 0;
    std::uint32_t channel_mask = 0;  // 0: the usual layout of native_channels
};

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
    std::shared_ptr<LateSources> late;  // sources added while recording; may be absent
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

private:
    struct Source {
        SampleQueue backlog;
        SourceConverter converter;
        bool previous_enabled = false;
        bool enabled = false;
        std::uint64_t idle_cycles = 0;
        std::size_t block_len = 0;
        std::uint32_t target_rate = 0;
        std::uint16_t target_channels = 0;
        // Elapsed time owed as silence, in frames x 1e9 (exact integer steps).
        std::uint64_t silence_credit = 0;
        std::vector<SampleChunk> taken;
        // Instructed stems: where the current segment starts on the timeline,
        // and how many frames it holds so far.
        std::uint64_t segment_start = 0;
        std::uint64_t segment_frames = 0;
    };

    [[nodiscard]] bool adopt_late_sources();
    [[nodiscard]] bool handle_enabled_changes();
    [[nodiscard]] bool convert_taken();
    void flush_resamplers();
    void mix_loop(std::chrono::nanoseconds elapsed);
    void stem_writing(std::chrono::nanoseconds elapsed);
    void final_drain();
    [[nodiscard]] bool mix_and_write(std::size_t n);
    [[nodiscard]] Result<void> write_to_slot(std::size_t i, std::span<const float> samples);
    [[nodiscard]] std::uint64_t silence_blocks(std::uint64_t& credit,
                                               std::chrono::nanoseconds elapsed, std::uint32_t rate,
                                               std::size_t block_frames) const;
    void record(Error e) {
        if (!error_)
            error_ = std::move(e);
    }
    void finish();

    ProcessorSetup setup_;
    CycleClock& clock_;
    std::vector<Source> sources_;
    std::optional<Error> error_;
    std::uint64_t timeline_position_ = 0;
    std::uint64_t mix_silence_credit_ = 0;
    std::chrono::nanoseconds last_cycle_{0};
    std::vector<float> scratch_;
    std::vector<float> block_;
    bool finished_ = false;
};

// Starts the processor on a detached thread of its own with the platform's
// precise clock; its end is known only from the status channel. An error when
// the thread cannot be created (the setup is then released).
[[nodiscard]] Result<void> start_processor_thread(ProcessorSetup setup);

}  // namespace kestrune
