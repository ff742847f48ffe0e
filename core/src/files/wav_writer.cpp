#include "files/wav_writer.hpp"

#include <sndfile.h>

#include <algorithm>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "files/sndfile_stream.hpp"
#include "files/wav_reader.hpp"

namespace kestrune {
namespace {

struct SndfileCloser {
    void operator()(SNDFILE* sf) const { sf_close(sf); }
};
using SndfilePtr = std::unique_ptr<SNDFILE, SndfileCloser>;

constexpr std::size_t SCRATCH_SAMPLES = std::size_t{1} << 16;

int subformat_for(const OutputFormat& f) {
    if (f.is_float)
        return SF_FORMAT_FLOAT;
    switch (f.bits_per_sample) {
        case 8:
            return SF_FORMAT_PCM_U8;
        case 16:
            return SF_FORMAT_PCM_16;
        case 24:
            return SF_FORMAT_PCM_24;
        default:
            return SF_FORMAT_PCM_32;
    }
}

}  // namespace

struct WavWriter::Impl {
    FilePtr file;
    std::unique_ptr<SndfileStream> stream;
    SndfilePtr sf;
    OutputFormat format;
    std::vector<std::int16_t> scratch16;
    std::vector<std::int32_t> scratch32;

    Error failure() const {
        if (stream->error())
            return *stream->error();
        if (sf && sf_error(sf.get()) != SF_ERR_NO_ERROR)
            return make_error(ErrorKind::Other, sf_strerror(sf.get()));
        return make_error(ErrorKind::Other, "failed to write whole buffer");
    }

    Result<void> check_frames(std::size_t samples, bool fits) const {
        if (!sf)
            return fail(ErrorKind::Other, "the WAV file is closed");
        if (!fits)
            return fail(ErrorKind::InvalidInput, "sample type does not fit the WAV format");
        if (samples % format.channels != 0)
            return fail(ErrorKind::InvalidInput, "samples do not fill whole frames");
        return {};
    }

    template <class T, class WriteFn>
    Result<void> put(const T* data, std::size_t samples, WriteFn write_samples) {
        const sf_count_t n = static_cast<sf_count_t>(samples);
        if (write_samples(sf.get(), data, n) != n)
            return std::unexpected(failure());
        return {};
    }

    // The library takes integers left-justified in the type's width.
    template <class T, class WriteFn>
    Result<void> put_shifted(std::span<const T> samples, int shift, std::vector<T>& scratch,
                             WriteFn write_samples) {
        if (shift == 0)
            return put(samples.data(), samples.size(), write_samples);
        scratch.resize(std::min(samples.size(), SCRATCH_SAMPLES));
        using U = std::make_unsigned_t<T>;
        while (!samples.empty()) {
            const std::size_t n = std::min(samples.size(), scratch.size());
            for (std::size_t i = 0; i < n; ++i)
                scratch[i] = static_cast<T>(static_cast<U>(static_cast<U>(samples[i]) << shift));
            if (auto r = put(scratch.data(), n, write_samples); !r)
                return r;
            samples = samples.subspan(n);
        }
        return {};
    }
};

WavWriter::WavWriter(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
WavWriter::WavWriter(WavWriter&&) noexcept = default;
WavWriter& WavWriter::operator=(WavWriter&&) noexcept = default;
WavWriter::~WavWriter() = default;

Result<WavWriter> WavWriter::create(const std::filesystem::path& path, const OutputFormat& format,
                                    const FileOps& ops) {
    if (format.channels == 0 || format.sample_rate == 0 ||
        format.sample_rate > static_cast<std::uint32_t>(std::numeric_limits<int>::max()))
        return fail(ErrorKind::InvalidInput, "Unsupported sample format");
    if (format.is_float ? format.bits_per_sample != 32
                        : !is_supported_integer_depth(format.bits_per_sample)) {
        return fail(ErrorKind::InvalidInput,
                    format.is_float
                        ? std::string("Unsupported sample format")
                        : "Unsupported bit depth: " + std::to_string(format.bits_per_sample));
    }

    auto impl = std::make_unique<Impl>();
    impl->format = format;
    Result<FilePtr> file = ops.open(path, OpenMode::CreateTruncate);
    if (!file)
        return std::unexpected(std::move(file.error()));
    impl->file = std::move(*file);
    impl->stream = std::make_unique<SndfileStream>(*impl->file);

    const bool extensible = format.is_float || format.bits_per_sample > 16 || format.channels > 2;
    SF_INFO info{};
    info.samplerate = static_cast<int>(format.sample_rate);
    info.channels = format.channels;
    info.format = (extensible ? SF_FORMAT_WAVEX : SF_FORMAT_WAV) | subformat_for(format);
    impl->sf.reset(
        sf_open_virtual(SndfileStream::callbacks(), SFM_WRITE, &info, impl->stream.get()));
    if (!impl->sf) {
        if (impl->stream->error())
            return std::unexpected(*impl->stream->error());
        return fail(ErrorKind::Other, sf_strerror(nullptr));
    }
    // The PEAK chunk costs a pass over every float written and says nothing
    // the samples do not.
    if (format.is_float)
        sf_command(impl->sf.get(), SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
    if (impl->stream->error())
        return std::unexpected(*impl->stream->error());
    return WavWriter(std::move(impl));
}

Result<void> WavWriter::write(std::span<const std::int16_t> samples) {
    const OutputFormat& f = impl_->format;
    if (auto r = impl_->check_frames(samples.size(), !f.is_float && f.bits_per_sample <= 16); !r)
        return r;
    return impl_->put_shifted(samples, 16 - f.bits_per_sample, impl_->scratch16, &sf_write_short);
}

Result<void> WavWriter::write(std::span<const std::int32_t> samples) {
    const OutputFormat& f = impl_->format;
    if (auto r = impl_->check_frames(samples.size(), !f.is_float && f.bits_per_sample > 16); !r)
        return r;
    return impl_->put_shifted(samples, 32 - f.bits_per_sample, impl_->scratch32, &sf_write_int);
}

Result<void> WavWriter::write(std::span<const float> samples) {
    if (auto r = impl_->check_frames(samples.size(), impl_->format.is_float); !r)
        return r;
    return impl_->put(samples.data(), samples.size(), &sf_write_float);
}

Result<void> WavWriter::finish() {
    if (!impl_ || !impl_->sf)
        return fail(ErrorKind::Other, "the WAV file is closed");
    const int rc = sf_close(impl_->sf.release());
    Result<void> result = impl_->stream->flush();
    if (result && rc != 0)
        result = fail(ErrorKind::Other, sf_error_number(rc));
    if (result)
        result = impl_->file->sync();
    if (auto r = impl_->file->close(); !r && result)
        result = std::unexpected(r.error());
    return result;
}

}  // namespace kestrune
