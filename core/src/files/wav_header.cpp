#include "files/wav_header.hpp"

#include <algorithm>
#include <array>
#include <cstring>

namespace kestrune {
namespace {

constexpr std::uint16_t WAVE_FORMAT_PCM = 0x0001;
constexpr std::uint16_t WAVE_FORMAT_IEEE_FLOAT = 0x0003;
constexpr std::uint16_t WAVE_FORMAT_EXTENSIBLE = 0xFFFE;
// Garbage that parses as a long run of empty chunks must not keep us busy.
constexpr int MAX_CHUNKS = 4096;

std::uint16_t le16(const std::byte* p) {
    return static_cast<std::uint16_t>(std::to_integer<unsigned>(p[0]) |
                                      (std::to_integer<unsigned>(p[1]) << 8));
}

std::uint32_t le32(const std::byte* p) {
    return static_cast<std::uint32_t>(le16(p)) | (static_cast<std::uint32_t>(le16(p + 2)) << 16);
}

bool has_id(const std::byte* p, const char (&id)[5]) {
    return std::memcmp(p, id, 4) == 0;
}

// Reads up to out.size() bytes at offset; fewer only at the end of the file.
Result<std::size_t> read_at(File& file, std::uint64_t offset, std::span<std::byte> out) {
    if (auto r = file.seek(offset); !r)
        return std::unexpected(std::move(r.error()));
    std::size_t got = 0;
    while (got < out.size()) {
        Result<std::size_t> n = file.read_some(out.subspan(got));
        if (!n)
            return std::unexpected(std::move(n.error()));
        if (*n == 0)
            break;
        got += *n;
    }
    return got;
}

// The body of a "fmt " chunk: WAVEFORMATEX, and the extensible part when the
// tag asks for it and the chunk is long enough to hold it.
bool parse_fmt(std::span<const std::byte> body, WavHeader& h) {
    if (body.size() < 16)
        return false;
    const std::uint16_t tag = le16(&body[0]);
    h.channels = le16(&body[2]);
    h.sample_rate = le32(&body[4]);
    h.container_bits = le16(&body[14]);
    h.bits_per_sample = h.container_bits;
    std::uint16_t format = tag;
    if (tag == WAVE_FORMAT_EXTENSIBLE) {
        if (body.size() < 40 || le16(&body[16]) < 22)
            return false;
        const std::uint16_t valid = le16(&body[18]);
        if (valid != 0)
            h.bits_per_sample = valid;
        // The sub-format GUID is the format tag it stands for followed by the
        // fixed KSDATAFORMAT_SUBTYPE suffix.
        static constexpr std::array<unsigned char, 14> suffix = {
            0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
        const bool known_suffix = std::memcmp(&body[26], suffix.data(), suffix.size()) == 0;
        format = known_suffix ? le16(&body[24]) : 0;
    }
    if (format == WAVE_FORMAT_PCM) {
        h.encoding = WavEncoding::Integer;
    } else if (format == WAVE_FORMAT_IEEE_FLOAT) {
        h.encoding = WavEncoding::Float;
    } else {
        h.encoding = WavEncoding::Other;
    }
    return h.channels != 0;
}

bool is_chunk_id(const std::byte* p) {
    for (int i = 0; i < 4; ++i) {
        const auto c = std::to_integer<unsigned>(p[i]);
        if (c < 0x20 || c > 0x7E)
            return false;
    }
    return true;
}

// What follows the data chunk: well-formed chunks up to the end of the file
// (LIST, id3, ...) account for every byte; otherwise the rest is unaccounted.
Result<std::uint64_t> bytes_after_data(File& file, const WavHeader& h) {
    const std::uint64_t end = h.data_offset + h.data_size;
    if (end >= h.file_length)
        return 0;
    std::uint64_t offset = end + (h.data_size & 1u);
    for (int i = 0; i < MAX_CHUNKS && offset + 8 <= h.file_length; ++i) {
        std::array<std::byte, 8> chunk{};
        Result<std::size_t> got = read_at(file, offset, chunk);
        if (!got)
            return std::unexpected(std::move(got.error()));
        const std::uint32_t size = le32(&chunk[4]);
        if (*got < chunk.size() || !is_chunk_id(&chunk[0]) || offset + 8 + size > h.file_length)
            break;
        offset += 8 + size + (size & 1u);
    }
    if (offset >= h.file_length)
        return 0;
    const std::uint64_t rest = h.file_length - end;
    // Less than a frame is a cut last frame, not audio.
    const std::uint64_t frame = static_cast<std::uint64_t>(h.container_bits / 8u) * h.channels;
    return rest < std::max<std::uint64_t>(frame, 2) ? 0 : rest;
}

}  // namespace

Result<std::optional<WavHeader>> read_wav_header(File& file) {
    Result<std::uint64_t> length = file.length();
    if (!length)
        return std::unexpected(std::move(length.error()));
    WavHeader h;
    h.file_length = *length;

    std::array<std::byte, 12> riff{};
    Result<std::size_t> got = read_at(file, 0, riff);
    if (!got)
        return std::unexpected(std::move(got.error()));
    if (*got < riff.size() || !has_id(&riff[0], "RIFF") || !has_id(&riff[8], "WAVE"))
        return std::nullopt;

    bool have_fmt = false;
    std::uint64_t offset = 12;
    for (int i = 0; i < MAX_CHUNKS && offset + 8 <= h.file_length; ++i) {
        std::array<std::byte, 8> chunk{};
        got = read_at(file, offset, chunk);
        if (!got)
            return std::unexpected(std::move(got.error()));
        if (*got < chunk.size())
            break;
        const std::uint32_t size = le32(&chunk[4]);
        const std::uint64_t body = offset + 8;
        if (has_id(&chunk[0], "fmt ")) {
            std::array<std::byte, 40> fmt{};
            const std::size_t want = size < fmt.size() ? size : fmt.size();
            got = read_at(file, body, std::span(fmt).first(want));
            if (!got)
                return std::unexpected(std::move(got.error()));
            if (*got < want || !parse_fmt(std::span(fmt).first(want), h))
                return std::nullopt;
            have_fmt = true;
        } else if (has_id(&chunk[0], "data")) {
            // Like the sample library, only a data chunk after the format counts.
            if (!have_fmt)
                return std::nullopt;
            h.data_offset = body;
            h.data_size = size;
            Result<std::uint64_t> rest = bytes_after_data(file, h);
            if (!rest)
                return std::unexpected(std::move(rest.error()));
            h.unaccounted_bytes = *rest;
            return h;
        }
        offset = body + size + (size & 1u);
    }
    return std::nullopt;
}

}  // namespace kestrune
