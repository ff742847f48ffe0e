#pragma once
// Stretches one source's audio by a ratio within a fraction of a percent of 1,
// so that a device whose clock runs fast or slow stays on the recording's
// timeline. The ratio may change between calls; the output is continuous and
// no frame is dropped or repeated. Output frame m is the input at position
// m / ratio: the filter's delay is compensated.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kestrune {

class DriftResampler {
public:
    explicit DriftResampler(std::uint16_t channels);

    // Appends every output frame whose input has arrived, at `ratio` output
    // frames per input frame (clamped to 1 +/- MAX_DRIFT_CORRECTION).
    void process(std::span<const float> samples, double ratio, std::vector<float>& out);
    // End of input: the frames still waiting for their right-hand neighbours.
    void flush(std::vector<float>& out);
    // Forgets everything, so the next input starts a new stretch at frame 0.
    void restart();

    // Where input frame `input` (counted from the start, may be fractional)
    // lands, in output frames from the start, at the present ratio.
    [[nodiscard]] double output_position(double input) const;

private:
    void run(std::vector<float>& out, double limit);

    std::uint16_t channels_;
    std::vector<float> history_;  // interleaved input, oldest first
    double position_ = 0;         // input frame of the next output, from history_'s start
    double step_ = 1;             // input frames per output frame
    double made_ = 0;             // output frames made since the start
    double dropped_ = 0;          // input frames trimmed from history_'s front
    double fed_ = 0;              // input frames given since the start
};

// How far from 1 a ratio may go: enough for clocks 0.5% apart.
inline constexpr double MAX_DRIFT_CORRECTION = 0.005;

}  // namespace kestrune
