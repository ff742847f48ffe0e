#pragma once
// The running recording: its sources, its files and its processor thread.
// All operations run on the window's thread.

#include <chrono>
#include <cstddef>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/capture_backend.hpp"
#include "error.hpp"
#include "files/recpart_writer.hpp"
#include "processor/level_meters.hpp"
#include "record_options.hpp"
#include "session/session_locations.hpp"

namespace kestrune {

struct StopResult {
    FileList files;  // every .recpart created, in creation order
    std::optional<std::string> error;
    std::size_t used_sources = 0;
    std::size_t total_sources = 0;
    std::filesystem::path output_dir;
    bool created = false;  // set-up created the output directory
    bool stems = false;
    // Sources whose device went away or moved at least once, in slot order.
    std::vector<SourceSpec> gapped;
};

// What start needs from outside the engine. Only start uses the backend and
// the locations; they need not outlive it.
struct RecorderServices {
    CaptureBackend& backend;
    const SessionLocations& locations;
    WriterConfig writer = {};
};

class Recorder {
public:
    // The only error is the output set-up's NoWritableDir; sources that fail
    // to start become warnings.
    [[nodiscard]] static Result<Recorder> start(const RecordOptions& options,
                                                RecorderServices services);

    Recorder(Recorder&&) noexcept;
    Recorder& operator=(Recorder&&) noexcept;
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;
    // A recorder dropped without stop still stops and finishes its files.
    ~Recorder();

    [[nodiscard]] std::optional<std::string> last_error() const;
    [[nodiscard]] std::optional<std::size_t> source_index(const SourceSpec& spec) const;
    void disable_source(const SourceSpec& spec);
    [[nodiscard]] bool is_source_running(const SourceSpec& spec) const;
    // Running sources whose device is away now, in slot order.
    [[nodiscard]] std::vector<SourceSpec> lost_sources() const;
    // A slot for a source that has none (a device plugged in after the
    // start, or of a kind no slot was made for), or the one it has; its
    // index. The processor gives it a stem, or a place in the mix.
    [[nodiscard]] std::size_t add_slot(const SourceSpec& spec);
    // Takes a source started while recording; returns an error text to show.
    [[nodiscard]] std::optional<std::string> attach_source(
        std::size_t index, std::expected<CaptureSource, std::string> result);
    // Ends the files at this length from the start, however late the stop
    // comes (a timed recording).
    void end_after(std::chrono::nanoseconds length);
    // Ends the recording; blocks until the processor has finished every file.
    [[nodiscard]] StopResult stop() &&;

    [[nodiscard]] const std::vector<std::string>& warnings() const;
    [[nodiscard]] const std::filesystem::path& output_dir() const;
    // What is being written: the mixed file, or the folder of the stems.
    [[nodiscard]] const std::filesystem::path& target() const;
    [[nodiscard]] const OutputFormat& output_format() const;
    [[nodiscard]] std::size_t total_sources() const;
    [[nodiscard]] const SourceSpec& source_spec(std::size_t index) const;
    [[nodiscard]] bool is_source_enabled(std::size_t index) const;
    // The sources' live levels by source index, written by the processor.
    [[nodiscard]] LevelMeters& level_meters() const;
    // The slot's buffer, for a source started while recording.
    [[nodiscard]] std::shared_ptr<SampleBuffer> source_buffer(std::size_t index) const;

private:
    struct State;
    explicit Recorder(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace kestrune
