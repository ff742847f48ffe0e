#pragma once
// Sources added to a running recording: a device switched on that had no
// slot at the start (it was plugged in later, or no device of its kind was
// on). The Recorder hands them over; the processor adopts them at its next
// cycle, with a stem of their own in the stem modes, and mixes them at 1/N
// over every slot there is then.

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "audio_buf/sample_buffer.hpp"
#include "processor/output_slot.hpp"

namespace kestrune {

struct LateSource {
    std::shared_ptr<SampleBuffer> buffer;        // shared with the capture
    std::shared_ptr<std::atomic<bool>> enabled;  // shared with the Recorder
    // Its stem's base path in the stem modes; the processor creates the file.
    OutputSlot output;
};

// Shared by the Recorder (adds) and the processor (takes).
struct LateSources {
    std::mutex mutex;
    std::vector<LateSource> added;
};

}  // namespace kestrune
