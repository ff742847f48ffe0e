#pragma once
// The hand-off between one capture thread and the processor. Chunks move by
// ownership; the lock covers one append or one swap, never a sample copy.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace kestrune {

// What one capture delivered: interleaved 32-bit float samples in the format
// its stream actually opened with, and when its first frame was captured.
struct SampleChunk {
    std::vector<float> samples;
    // The capture time of the first frame on the recording clock (the
    // processor's CycleClock); absent when the capture could not tell, and
    // the chunk then continues the one before it.
    std::optional<std::chrono::nanoseconds> time;
    // The stream's rate and channel count; 0 means the source's probed format.
    std::uint32_t rate = 0;
    std::uint16_t channels = 0;
    // Its speaker positions (WAVEFORMATEXTENSIBLE.dwChannelMask) when the
    // chunk names its channel count; 0 for the usual layout of that count.
    std::uint32_t channel_mask = 0;
    // The stream lost audio before this chunk (a glitch, a stall, a device
    // that was reopened): what was before does not run on into it.
    bool discontinuity = false;

    [[nodiscard]] std::size_t size() const { return samples.size(); }
    [[nodiscard]] bool empty() const { return samples.empty(); }
    friend bool operator==(const SampleChunk&, const SampleChunk&) = default;
};

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
