#pragma once
// The running captures of a recording, shared by the Recorder, the processor
// and the window's source switching. Removing an entry stops its capture.

#include <mutex>
#include <vector>

#include "capture/capture_backend.hpp"

namespace kestrune {

struct CaptureList {
    std::mutex mutex;
    std::vector<CaptureSource> entries;
};

}  // namespace kestrune
