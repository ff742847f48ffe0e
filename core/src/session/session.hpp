#pragma once
// Finding a directory that can really be written and creating a recording's
// first files there.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "error.hpp"
#include "output_format.hpp"
#include "processor/output_slot.hpp"
#include "files/recpart_writer.hpp"
#include "session/session_locations.hpp"
#include "recording_mode.hpp"
#include "session/instructions_writer.hpp"

namespace kestrune {

struct SessionRequest {
    std::filesystem::path requested_dir;  // empty: default_output_dir
    RecordingMode mode = RecordingMode::SingleFile;
    std::string timestamp;
    // One entry per source, in source order; never empty, all the same length.
    std::vector<std::string> labels;
    std::vector<OutputFormat> formats;
    std::vector<bool> enabled;
};

struct Session {
    std::filesystem::path output_dir;
    std::filesystem::path main_file;  // exists only for a single mixed file
    std::vector<OutputSlot> outputs;
    FileList files;  // every .recpart created here, in creation order
    std::optional<InstructionsWriter> instructions;
    std::optional<std::string> warning;
    bool created = false;  // the used directory did not exist before
};

// The error is the NoWritableDir of every candidate tried.
[[nodiscard]] Result<Session> setup_session(const SessionRequest& request,
                                            const SessionLocations& locations,
                                            const WriterConfig& writer = {});

}  // namespace kestrune
