#include "recpart_writer.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <system_error>

namespace kestrune {
namespace {

constexpr std::uint32_t MAX_DATA_SIZE = std::numeric_limits<std::uint32_t>::max();

std::uint64_t header_length(const OutputFormat& format) {
    return format.is_float ? FLOAT_HEADER_BYTES : INTEGER_HEADER_BYTES;
}

std::size_t bytes_per_sample(const OutputFormat& format) {
    return format.is_float ? 4 : (static_cast<std::size_t>(format.bits_per_sample) + 7) / 8;
}

void put_u16(std::byte* p, std::uint16_t v) {
    p[0] = std::byte(v & 0xFF);
    p[1] = std::byte(v >> 8);
}

void put_u32(std::byte* p, std::uint32_t v) {
    p[0] = std::byte(v & 0xFF);
    p[1] = std::byte((v >> 8) & 0xFF);
    p[2] = std::byte((v >> 16) & 0xFF);
    p[3] = std::byte(v >> 24);
}

void put_tag(std::byte* p, const char (&tag)[5]) { std::memcpy(p, tag, 4); }

// Scale by 2^(n-1) - 1 in single precision, clamp to the code range, round
// toward zero; NaN stores 0.
template <int Bits>
std::int32_t encode_int(float x) {
    constexpr float scale = static_cast<float>((1 << (Bits - 1)) - 1);
    constexpr float lo = -static_cast<float>(1 << (Bits - 1));
    if (std::isnan(x)) return 0;
    const float v = std::clamp(x * scale, lo, scale);
    return static_cast<std::int32_t>(v);  // conversion truncates toward zero
}

// Encodes samples into out, which has room for exactly samples.size() samples.
void encode(const OutputFormat& format, std::span<const float> samples, std::byte* out) {
    if (format.is_float) {
        for (const float x : samples) {
            put_u32(out, std::bit_cast<std::uint32_t>(x));
            out += 4;
        }
    } else if (format.bits_per_sample == 16) {
        for (const float x : samples) {
            put_u16(out, static_cast<std::uint16_t>(encode_int<16>(x)));
            out += 2;
        }
    } else {
        for (const float x : samples) {
            const auto v = static_cast<std::uint32_t>(encode_int<24>(x));
            out[0] = std::byte(v & 0xFF);
            out[1] = std::byte((v >> 8) & 0xFF);
            out[2] = std::byte((v >> 16) & 0xFF);
            out += 3;
        }
    }
}

Result<FilePtr> open_part(const WriterConfig& config, const std::filesystem::path& path) {
    if (config.open) return config.open(path);
    return open_file(path, OpenMode::CreateNew);
}

// The bytes of one frame as the header states it; 0 when it states none.
std::uint64_t frame_bytes(const OutputFormat& format) {
    return static_cast<std::uint64_t>(format.bits_per_sample / 8u) * format.channels;
}

template <class Char>
std::size_t last_dot(const std::basic_string<Char>& name) {
    return name.rfind(static_cast<Char>('.'));
}

}  // namespace

std::vector<std::byte> build_header(const OutputFormat& format, std::uint32_t data_size) {
    const std::uint32_t bytes = format.bits_per_sample / 8u;
    const auto block_align = static_cast<std::uint16_t>(bytes * format.channels);
    const std::uint32_t byte_rate = format.sample_rate * bytes * format.channels;
    const std::uint32_t extra = format.is_float ? 50 : 36;
    // A capped data size cannot also carry the rest of the RIFF chunk; saturate.
    const std::uint32_t riff_size =
        data_size > MAX_DATA_SIZE - extra ? MAX_DATA_SIZE : data_size + extra;

    std::vector<std::byte> h(static_cast<std::size_t>(header_length(format)));
    std::byte* p = h.data();
    put_tag(p + 0, "RIFF");
    put_u32(p + 4, riff_size);
    put_tag(p + 8, "WAVE");
    put_tag(p + 12, "fmt ");
    put_u32(p + 16, format.is_float ? 18 : 16);
    put_u16(p + 20, format.is_float ? 3 : 1);
    put_u16(p + 22, format.channels);
    put_u32(p + 24, format.sample_rate);
    put_u32(p + 28, byte_rate);
    put_u16(p + 32, block_align);
    put_u16(p + 34, format.is_float ? 32 : format.bits_per_sample);
    if (format.is_float) {
        put_u16(p + 36, 0);
        put_tag(p + 38, "fact");
        put_u32(p + 42, 4);
        put_u32(p + 46, block_align == 0 ? 0 : data_size / block_align);
        put_tag(p + 50, "data");
        put_u32(p + 54, data_size);
    } else {
        put_tag(p + 36, "data");
        put_u32(p + 40, data_size);
    }
    return h;
}

Result<void> rewrite_header(File& file, const OutputFormat& format) {
    Result<std::uint64_t> length = file.length();
    if (!length) return std::unexpected(std::move(length.error()));
    const std::uint64_t h = header_length(format);
    std::uint64_t data = *length >= h ? *length - h : 0;
    // A crash or a full disk can cut the last frame; it is not audio.
    if (const std::uint64_t frame = frame_bytes(format); frame > 0)
        data -= data % frame;
    const auto data_size = static_cast<std::uint32_t>(std::min<std::uint64_t>(data, MAX_DATA_SIZE));
    if (Result<void> r = file.seek(0); !r) return r;
    const std::vector<std::byte> header = build_header(format, data_size);
    if (Result<void> r = write_all(file, header); !r) return r;
    // Leave the position at the end so that later writes append.
    return file.seek(std::max(*length, h));
}

std::filesystem::path unique_path(const std::filesystem::path& path) {
    const auto is_free = [](const std::filesystem::path& p) {
        std::error_code ec;
        const std::filesystem::file_status st = std::filesystem::symlink_status(p, ec);
        return ec || st.type() == std::filesystem::file_type::not_found;
    };
    if (is_free(path)) return path;

    using String = std::filesystem::path::string_type;
    const String name = path.filename().native();
    String stem = name;
    String suffix;
    const std::size_t dot = last_dot(name);
    if (dot != String::npos && dot != 0) {
        stem = name.substr(0, dot);
        suffix = name.substr(dot);
    }
    std::filesystem::path dir = path.parent_path();
    if (dir.empty()) dir = ".";
    for (std::uint64_t n = 1;; ++n) {
        const std::string number = "_" + std::to_string(n);
        String candidate = stem;
        candidate.append(number.begin(), number.end());
        candidate += suffix;
        std::filesystem::path p = dir / candidate;
        if (is_free(p)) return p;
    }
}

RecpartWriter::RecpartWriter(FilePtr file, std::filesystem::path path, OutputFormat format,
                             WriterConfig config)
    : file_(std::move(file)),
      first_path_(std::move(path)),
      buffer_(WRITE_BUFFER_BYTES),
      format_(format),
      config_(std::move(config)) {}

RecpartWriter::RecpartWriter(RecpartWriter&&) noexcept = default;
RecpartWriter& RecpartWriter::operator=(RecpartWriter&& other) noexcept {
    if (this != &other) {
        close();
        file_ = std::move(other.file_);
        finished_parts_ = std::move(other.finished_parts_);
        first_path_ = std::move(other.first_path_);
        buffer_ = std::move(other.buffer_);
        buffered_ = std::exchange(other.buffered_, 0);
        format_ = other.format_;
        config_ = std::move(other.config_);
        data_bytes_ = other.data_bytes_;
        part_ = other.part_;
    }
    return *this;
}

RecpartWriter::~RecpartWriter() { close(); }

Result<RecpartWriter> RecpartWriter::create(const std::filesystem::path& path, OutputFormat format,
                                            WriterConfig config) {
    Result<FilePtr> file = open_part(config, path);
    if (!file) return std::unexpected(std::move(file.error()));
    if (Result<void> r = write_all(**file, build_header(format, 0)); !r) {
        (void)(*file)->close();
        return std::unexpected(std::move(r.error()));
    }
    return RecpartWriter(std::move(*file), path, format, std::move(config));
}

Result<void> RecpartWriter::flush() {
    if (!file_) return fail(ErrorKind::Other, "file is closed");
    std::size_t done = 0;
    Result<void> result;
    while (done < buffered_) {
        Result<std::size_t> n = file_->write_some(std::span(buffer_.data() + done, buffered_ - done));
        if (!n) {
            result = std::unexpected(std::move(n.error()));
            break;
        }
        if (*n == 0) {
            result = fail(ErrorKind::Other, "failed to write whole buffer");
            break;
        }
        done += *n;
    }
    // Whatever the file took is gone from the buffer, so a later flush never
    // writes those bytes twice.
    if (done > 0) {
        std::memmove(buffer_.data(), buffer_.data() + done, buffered_ - done);
        buffered_ -= done;
    }
    return result;
}

Result<void> RecpartWriter::write_block(std::span<const float> samples,
                                        const std::filesystem::path& next_part_path,
                                        FileList& file_list) {
    if (!format_.is_float && format_.bits_per_sample != 16 && format_.bits_per_sample != 24) {
        return fail(ErrorKind::InvalidInput,
                    "Unsupported integer bit depth: " + std::to_string(format_.bits_per_sample));
    }
    const std::size_t size = bytes_per_sample(format_);
    // The buffer goes out in whole frames, so a crash never ends a file inside
    // one; a frame larger than the buffer goes out sample by sample.
    const std::size_t channels = std::max<std::size_t>(format_.channels, 1);
    const std::size_t unit = size * channels <= buffer_.size() ? channels : 1;
    const auto room_left = [&] { return (buffer_.size() - buffered_) / (size * unit) * unit; };
    std::span<const float> rest = samples;
    while (!rest.empty()) {
        std::size_t room = room_left();
        if (room == 0) {
            if (Result<void> r = flush(); !r) return r;
            room = room_left();
            if (room == 0)
                return fail(ErrorKind::Other, "failed to write whole buffer");
        }
        const std::size_t n = std::min(room, rest.size());
        encode(format_, rest.first(n), buffer_.data() + buffered_);
        buffered_ += n * size;
        rest = rest.subspan(n);
    }
    data_bytes_ += static_cast<std::uint64_t>(samples.size()) * size;
    if (data_bytes_ < config_.part_limit) return {};

    if (Result<void> r = flush(); !r) return r;
    if (Result<void> r = kestrune::rewrite_header(*file_, format_); !r) return r;
    // Never onto an existing file: another slot's part may carry that name.
    const std::filesystem::path next_path = unique_path(next_part_path);
    Result<FilePtr> next = open_part(config_, next_path);
    if (!next) return std::unexpected(std::move(next.error()));
    if (Result<void> r = write_all(**next, build_header(format_, 0)); !r) {
        (void)(*next)->close();
        return r;
    }
    ++part_;
    finished_parts_.push_back(std::move(file_));
    file_ = std::move(*next);
    file_list.push_back(next_path);
    data_bytes_ = 0;
    return {};
}

Result<void> RecpartWriter::rewrite_header() {
    if (!file_) return fail(ErrorKind::Other, "file is closed");
    return kestrune::rewrite_header(*file_, format_);
}

Result<void> RecpartWriter::finish() {
    Result<void> flushed = flush();
    if (!file_)
        return flushed;
    Result<void> rewritten = rewrite_header();
    return flushed ? rewritten : flushed;
}

void RecpartWriter::close() {
    for (FilePtr& part : finished_parts_)
        (void)part->close();
    finished_parts_.clear();
    if (!file_) return;
    (void)flush();
    (void)file_->close();
    file_.reset();
}

}  // namespace kestrune
