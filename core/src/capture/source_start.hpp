#pragma once
// Starting one source while a recording runs: the work of a source-start
// worker, minus the thread and the window message that carry it.

#include <cstdint>
#include <expected>
#include <memory>
#include <string>

#include "capture/capture_backend.hpp"

namespace kestrune {

struct SourceStartReport {
    SourceSpec spec;
    std::uint64_t index = 0;
    std::expected<CaptureSource, std::string> result;
};

// Starts the source by its kind and builds the report; a failure's text is
// also written to standard error.
[[nodiscard]] SourceStartReport run_source_start(CaptureBackend& backend, const SourceSpec& spec,
                                                 std::uint64_t index,
                                                 std::shared_ptr<SampleBuffer> buffer);

}  // namespace kestrune
