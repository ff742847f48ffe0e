#include "capture/wave_format.hpp"

#include <array>
#include <cstring>

namespace kestrune {
namespace {

std::uint16_t read_u16(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

std::uint32_t read_u32(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
           (static_cast<std::uint32_t>(b[at + 2]) << 16) |
           (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

// The KSDATAFORMAT_SUBTYPE_* GUIDs share all bytes after their first four,
// which hold the format tag.
constexpr std::array<std::uint8_t, 12> SUBTYPE_TAIL = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                                       0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
constexpr std::size_t SUBFORMAT_OFFSET = 24;

SampleKind kind_of_tag(std::uint32_t tag) {
    if (tag == WAVE_TAG_PCM)
        return SampleKind::Integer;
    if (tag == WAVE_TAG_IEEE_FLOAT)
        return SampleKind::Float;
    return SampleKind::Other;
}

}  // namespace

std::optional<WaveFormatInfo> parse_wave_format(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < WAVE_FORMAT_EX_SIZE)
        return std::nullopt;
    WaveFormatInfo f;
    f.tag = read_u16(bytes, 0);
    f.channels = read_u16(bytes, 2);
    f.sample_rate = read_u32(bytes, 4);
    f.block_align = read_u16(bytes, 12);
    f.container_bits = read_u16(bytes, 14);
    f.valid_bits = f.container_bits;
    if (f.tag == WAVE_TAG_EXTENSIBLE && bytes.size() >= WAVE_FORMAT_EXTENSIBLE_SIZE) {
        f.extensible = true;
        f.valid_bits = read_u16(bytes, 18);
        f.channel_mask = read_u32(bytes, 20);
        const bool known_family = std::memcmp(bytes.data() + SUBFORMAT_OFFSET + 4,
                                              SUBTYPE_TAIL.data(), SUBTYPE_TAIL.size()) == 0;
        f.kind = known_family ? kind_of_tag(read_u32(bytes, SUBFORMAT_OFFSET)) : SampleKind::Other;
    } else {
        f.kind = kind_of_tag(f.tag);
    }
    return f;
}

std::optional<OutputFormat> device_format_from_blob(std::span<const std::uint8_t> bytes) {
    const std::optional<WaveFormatInfo> f = parse_wave_format(bytes);
    if (!f)
        return std::nullopt;
    OutputFormat out;
    out.sample_rate = f->sample_rate;
    out.channels = f->channels;
    if (f->extensible) {
        out.bits_per_sample = f->valid_bits;
        out.is_float = f->kind == SampleKind::Float;
    } else {
        out.bits_per_sample = f->container_bits;
        out.is_float = f->tag == WAVE_TAG_IEEE_FLOAT;
    }
    return out;
}

std::expected<SampleEncoding, std::string> stream_encoding(const WaveFormatInfo& format) {
    const std::string bits = std::to_string(format.container_bits);
    std::optional<SampleEncoding> enc;
    std::string name;
    switch (format.kind) {
        case SampleKind::Float:
            name = "F" + bits;
            if (format.container_bits == 32)
                enc = SampleEncoding::F32;
            break;
        case SampleKind::Integer:
            // Valid bits sit at the top of the container, so the container alone
            // decides how to read a sample (24 valid bits in 32 read as I32).
            name = format.container_bits == 8 ? "U8" : "I" + bits;
            switch (format.container_bits) {
                case 8:
                    enc = SampleEncoding::U8;
                    break;
                case 16:
                    enc = SampleEncoding::I16;
                    break;
                case 24:
                    enc = SampleEncoding::I24;
                    break;
                case 32:
                    enc = SampleEncoding::I32;
                    break;
                default:
                    break;
            }
            break;
        case SampleKind::Other:
            name = "format tag " + std::to_string(format.tag);
            break;
    }
    // A frame must be exactly one container per channel, or packets cannot be read.
    if (enc &&
        (format.channels == 0 || format.block_align != static_cast<std::uint32_t>(format.channels) *
                                                           (format.container_bits / 8))) {
        enc.reset();
    }
    if (!enc)
        return std::unexpected(name);
    return *enc;
}

}  // namespace kestrune
