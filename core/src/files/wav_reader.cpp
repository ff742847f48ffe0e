#include "files/wav_reader.hpp"

#include <sndfile.h>

#include <algorithm>
#include <string>
#include <type_traits>

#include "files/sndfile_stream.hpp"
#include "files/wav_header.hpp"

namespace kestrune {

static_assert(std::is_same_v<std::int16_t, short> && std::is_same_v<std::int32_t, int>,
              "libsndfile's sample types");

namespace {

struct SndfileCloser {
    void operator()(SNDFILE* sf) const { sf_close(sf); }
};
using SndfilePtr = std::unique_ptr<SNDFILE, SndfileCloser>;

// The container bits of the library's integer encodings; 0 for the others.
int integer_container_bits(int subformat) {
    switch (subformat) {
        case SF_FORMAT_PCM_U8:
            return 8;
        case SF_FORMAT_PCM_16:
            return 16;
        case SF_FORMAT_PCM_24:
            return 24;
        case SF_FORMAT_PCM_32:
            return 32;
        default:
            return 0;
    }
}

std::unexpected<Error> not_a_wav() {
    return fail(ErrorKind::InvalidData, "Not a WAV file");
}

std::unexpected<Error> unsupported_format() {
    return fail(ErrorKind::InvalidData, "Unsupported sample format");
}

}  // namespace

bool is_supported_integer_depth(std::uint16_t bits) {
    return bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

struct WavReader::Impl {
    FilePtr file;
    std::unique_ptr<SndfileStream> stream;
    SndfilePtr sf;
    OutputFormat format;
    std::uint64_t frames = 0;
    std::uint64_t frames_read = 0;
    bool truncated = false;
    std::uint64_t unaccounted = 0;

    // The error behind a short read or a failed call: ours if the file failed,
    // else the library's.
    Error failure(const char* fallback) const {
        if (stream->error())
            return *stream->error();
        if (sf && sf_error(sf.get()) != SF_ERR_NO_ERROR)
            return make_error(ErrorKind::InvalidData, sf_strerror(sf.get()));
        return make_error(ErrorKind::InvalidData, fallback);
    }

    template <class T, class ReadFn>
    Result<std::size_t> read(std::span<T> out, bool fits, int width, ReadFn read_frames) {
        if (!fits)
            return fail(ErrorKind::InvalidInput, "sample type does not fit the WAV format");
        const std::uint64_t channels = format.channels;
        const std::uint64_t want =
            std::min<std::uint64_t>(out.size() / channels, frames - frames_read);
        if (want == 0)
            return 0;
        const sf_count_t got = read_frames(sf.get(), out.data(), static_cast<sf_count_t>(want));
        if (got > 0)
            frames_read += static_cast<std::uint64_t>(got);
        if (got < 0 || static_cast<std::uint64_t>(got) < want)
            return std::unexpected(failure("failed to fill whole buffer"));
        const std::size_t samples =
            static_cast<std::size_t>(static_cast<std::uint64_t>(got) * channels);
        // The library left-justifies every sample in the type's width.
        if constexpr (std::is_integral_v<T>) {
            if (const int shift = width - format.bits_per_sample; shift > 0) {
                for (std::size_t i = 0; i < samples; ++i)
                    out[i] = static_cast<T>(out[i] >> shift);
            }
        }
        return samples;
    }
};

WavReader::WavReader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
WavReader::WavReader(WavReader&&) noexcept = default;
WavReader& WavReader::operator=(WavReader&&) noexcept = default;
WavReader::~WavReader() = default;

Result<WavReader> WavReader::open(const std::filesystem::path& path, const FileOps& ops) {
    auto impl = std::make_unique<Impl>();
    Result<FilePtr> file = ops.open(path, OpenMode::ExistingRead);
    if (!file)
        return std::unexpected(std::move(file.error()));
    impl->file = std::move(*file);

    Result<std::optional<WavHeader>> header = read_wav_header(*impl->file);
    if (!header)
        return std::unexpected(std::move(header.error()));
    if (*header && (*header)->encoding == WavEncoding::Integer &&
        !is_supported_integer_depth((*header)->bits_per_sample)) {
        return fail(ErrorKind::InvalidData,
                    "Unsupported bit depth: " + std::to_string((*header)->bits_per_sample));
    }

    impl->stream = std::make_unique<SndfileStream>(*impl->file);
    SF_INFO info{};
    impl->sf.reset(
        sf_open_virtual(SndfileStream::callbacks(), SFM_READ, &info, impl->stream.get()));
    if (!impl->sf) {
        if (impl->stream->error())
            return std::unexpected(*impl->stream->error());
        return fail(ErrorKind::InvalidData, sf_strerror(nullptr));
    }
    const int container = info.format & SF_FORMAT_TYPEMASK;
    if (!*header || (container != SF_FORMAT_WAV && container != SF_FORMAT_WAVEX))
        return not_a_wav();

    const WavHeader& h = **header;
    const int subformat = info.format & SF_FORMAT_SUBMASK;
    switch (h.encoding) {
        case WavEncoding::Integer: {
            const int lib_bits = integer_container_bits(subformat);
            if (lib_bits == 0 || h.bits_per_sample > lib_bits)
                return unsupported_format();
            break;
        }
        case WavEncoding::Float:
            if (subformat != SF_FORMAT_FLOAT || h.bits_per_sample != 32)
                return unsupported_format();
            break;
        case WavEncoding::Other:
            return unsupported_format();
    }
    if (info.channels <= 0 || info.channels != h.channels || info.frames < 0)
        return not_a_wav();

    impl->format = OutputFormat{static_cast<std::uint32_t>(info.samplerate), h.channels,
                                h.bits_per_sample, h.encoding == WavEncoding::Float};
    impl->frames = static_cast<std::uint64_t>(info.frames);
    impl->truncated = h.data_truncated();
    impl->unaccounted = h.unaccounted_bytes;
    return WavReader(std::move(impl));
}

const OutputFormat& WavReader::format() const {
    return impl_->format;
}
std::uint64_t WavReader::frames() const {
    return impl_->frames;
}
bool WavReader::data_truncated() const {
    return impl_->truncated;
}
std::uint64_t WavReader::unaccounted_bytes() const {
    return impl_->unaccounted;
}

Result<std::size_t> WavReader::read(std::span<std::int16_t> out) {
    const OutputFormat& f = impl_->format;
    return impl_->read(out, !f.is_float && f.bits_per_sample <= 16, 16, &sf_readf_short);
}

Result<std::size_t> WavReader::read(std::span<std::int32_t> out) {
    const OutputFormat& f = impl_->format;
    return impl_->read(out, !f.is_float && f.bits_per_sample > 16, 32, &sf_readf_int);
}

Result<std::size_t> WavReader::read(std::span<float> out) {
    return impl_->read(out, impl_->format.is_float, 0, &sf_readf_float);
}

Result<void> WavReader::rewind() {
    if (!impl_->sf)
        return fail(ErrorKind::Other, "the WAV file is closed");
    if (sf_seek(impl_->sf.get(), 0, SEEK_SET) != 0)
        return std::unexpected(impl_->failure("cannot seek to the first sample"));
    impl_->frames_read = 0;
    return {};
}

Result<void> WavReader::close() {
    if (!impl_)
        return {};
    Result<void> result;
    if (impl_->sf) {
        if (const int rc = sf_close(impl_->sf.release()); rc != 0)
            result = fail(ErrorKind::Other, sf_error_number(rc));
    }
    if (impl_->file) {
        if (auto r = impl_->file->close(); !r && result)
            result = std::unexpected(r.error());
    }
    return result;
}

}  // namespace kestrune
