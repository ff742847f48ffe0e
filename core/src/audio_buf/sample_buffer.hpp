#pragma once
// The hand-off between one capture thread and the processor. Chunks move by
// ownership; the lock covers one append or one swap, never a sample copy.

#include <cstddef>
#include <mutex>
#include <vector>

namespace kestrune {

// Interleaved 32-bit float samples in the source's native rate and channels.
using SampleChunk = std::vector<float>;

inline constexpr std::size_t MAX_QUEUED_CHUNKS = 4000;

class SampleBuffer {
public:
    // Appends the chunk, or drops it when MAX_QUEUED_CHUNKS are already queued
    // (the oldest audio survives).
    void push(SampleChunk chunk);

    // Everything queued, oldest first; the buffer is left empty.
    [[nodiscard]] std::vector<SampleChunk> take_all();

private:
    std::mutex mutex_;
    std::vector<SampleChunk> chunks_;
};

}  // namespace kestrune
