#include "files/normalize.hpp"

#include <cmath>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "files/gain.hpp"
#include "files/normalize_ops.hpp"
#include "files/peak_scan.hpp"
#include "files/read_peak.hpp"
#include "files/wav_reader.hpp"
#include "files/wav_writer.hpp"

namespace kestrune {
namespace {

constexpr float SILENT_BELOW = 0.000001f;
constexpr float AT_PEAK_WITHIN = 0.001f;

template <class T>
Result<void> rewrite(WavReader& reader, WavWriter& writer, float g) {
    const OutputFormat& f = reader.format();
    const float fs = f.is_float ? 1.0f : full_scale(f.bits_per_sample);
    std::vector<T> block(block_samples(f.channels));
    std::optional<GainTable> table;
    if constexpr (std::is_same_v<T, std::int16_t>)
        table.emplace(fs, g);
    for (;;) {
        Result<std::size_t> n = reader.read(std::span<T>(block));
        if (!n)
            return std::unexpected(std::move(n.error()));
        if (*n == 0)
            return {};
        const std::span<T> samples(block.data(), *n);
        if constexpr (std::is_same_v<T, float>) {
            apply_gain(samples, samples, g);
        } else if constexpr (std::is_same_v<T, std::int16_t>) {
            table->apply(samples, samples);
        } else {
            apply_gain(samples, samples, fs, g);
        }
        if (auto r = writer.write(std::span<const T>(samples)); !r)
            return r;
    }
}

// Windows refuses to replace a read-only file, but only at the final move,
// after the whole copy was written; elsewhere the move would quietly replace
// it. Refusing first treats such a file alike everywhere.
bool is_read_only(const std::filesystem::path& path) {
    using std::filesystem::perms;
    std::error_code ec;
    const std::filesystem::file_status st = std::filesystem::status(path, ec);
    if (ec)
        return false;
    return (st.permissions() & (perms::owner_write | perms::group_write | perms::others_write)) ==
           perms::none;
}

// Our temporary file, never whatever else stands under its name.
void remove_quietly(const std::filesystem::path& path) {
    std::error_code ec;
    if (std::filesystem::symlink_status(path, ec).type() == std::filesystem::file_type::regular)
        std::filesystem::remove(path, ec);
}

}  // namespace

Result<NormalizeOutcome> normalize_file(const std::filesystem::path& path, const FileOps& ops) {
    Result<WavReader> reader = WavReader::open(path, ops);
    if (!reader)
        return std::unexpected(std::move(reader.error()));
    // Reading stops at the first sample missing from a file that announces
    // more than it holds; the library itself would quietly read less.
    if (reader->data_truncated())
        return fail(ErrorKind::InvalidData, "failed to fill whole buffer");
    // The rewrite would hold only what the data size covers and replace the
    // whole file: audio past it (a size capped at 4 GiB, or one written before
    // a crash) would be gone.
    if (reader->unaccounted_bytes() > 0)
        return fail(ErrorKind::InvalidData,
                    "the WAV header does not describe all of the file's audio (" +
                        std::to_string(reader->unaccounted_bytes()) +
                        " bytes past the data chunk); normalizing would drop them");

    Result<float> peak = read_peak(*reader, OnReadError::Fail);
    if (!peak)
        return std::unexpected(std::move(peak.error()));
    // A non-finite peak (an infinite float sample) would give a gain of 0 and
    // rewrite the file as silence.
    if (!(*peak >= SILENT_BELOW) || std::fabs(1.0f - *peak) < AT_PEAK_WITHIN ||
        !std::isfinite(*peak))
        return NormalizeOutcome::Unchanged;
    const float g = 1.0f / *peak;

    if (auto r = reader->rewind(); !r)
        return std::unexpected(std::move(r.error()));
    if (is_read_only(path))
        return std::unexpected(error_from_code(std::make_error_code(std::errc::permission_denied)));

    std::filesystem::path temp = path;
    temp.replace_extension("wav.tmp");
    Result<WavWriter> writer = WavWriter::create(temp, reader->format(), ops);
    if (!writer) {
        remove_quietly(temp);
        return std::unexpected(std::move(writer.error()));
    }
    // A temporary file the size of the recording must not outlive a failure.
    const auto discard = [&](Error e) -> Result<NormalizeOutcome> {
        (void)writer->finish();
        (void)reader->close();
        remove_quietly(temp);
        return std::unexpected(std::move(e));
    };
    const OutputFormat& f = reader->format();
    Result<void> written = f.is_float                ? rewrite<float>(*reader, *writer, g)
                           : f.bits_per_sample <= 16 ? rewrite<std::int16_t>(*reader, *writer, g)
                                                     : rewrite<std::int32_t>(*reader, *writer, g);
    if (!written)
        return discard(std::move(written.error()));
    // finish brings the new file to the disk: only then may it replace the
    // original, or a power cut could leave a file of zeros in its place.
    if (auto r = writer->finish(); !r)
        return discard(std::move(r.error()));
    // The input must be closed before it can be replaced on Windows.
    if (auto r = reader->close(); !r)
        return discard(std::move(r.error()));
    if (auto r = ops.replace(temp, path); !r)
        return discard(std::move(r.error()));
    return NormalizeOutcome::Normalized;
}

Result<NormalizeOutcome> normalize_file(const std::filesystem::path& path) {
    return normalize_file(path, FileOps{});
}

}  // namespace kestrune
