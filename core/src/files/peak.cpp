#include "files/peak.hpp"

#include "files/read_peak.hpp"
#include "files/wav_reader.hpp"

namespace kestrune {

std::optional<float> measure_peak(const std::filesystem::path& path) {
    Result<WavReader> reader = WavReader::open(path);
    if (!reader)
        return std::nullopt;
    // Samples that cannot be read do not count: a file cut short still has the
    // peak of what it holds (the library reads no further than the file).
    Result<float> peak = read_peak(*reader, OnReadError::Truncate);
    (void)reader->close();
    if (!peak)
        return std::nullopt;
    return *peak;
}

}  // namespace kestrune
