#pragma once
// The peak of a WAV file's samples, read block by block.

#include "error.hpp"
#include "files/wav_reader.hpp"

namespace kestrune {

// Samples per block of a file with this many channels: whole frames, about
// 64 Ki stereo frames, at least one frame.
[[nodiscard]] std::size_t block_samples(std::uint16_t channels);

enum class OnReadError {
    Fail,      // the error ends the scan with that error
    Truncate,  // the peak of what was read
};

// Largest sample magnitude relative to full scale over the samples still to be
// read; 0 when there are none.
[[nodiscard]] Result<float> read_peak(WavReader& reader, OnReadError on_error);

}  // namespace kestrune
