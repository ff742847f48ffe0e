#include "support/wav_fixture.hpp"

#include <cstring>
#include <string_view>

#include "support/bytes.hpp"

namespace kestrune::test {
namespace {

void put16(std::vector<std::uint8_t>& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}

void put32(std::vector<std::uint8_t>& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void put_tag(std::vector<std::uint8_t>& b, std::string_view tag) {
    b.insert(b.end(), tag.begin(), tag.end());
}

std::uint16_t container_bytes(const WavSpec& spec) {
    return static_cast<std::uint16_t>((spec.bits_per_sample + 7) / 8);
}

std::vector<std::uint8_t> wrap(const WavSpec& spec, std::vector<std::uint8_t> data,
                               const WavDamage& damage) {
    const std::uint16_t tag = spec.format_tag != 0 ? spec.format_tag
                              : spec.is_float      ? WAVE_TAG_FLOAT
                                                   : WAVE_TAG_PCM;
    const std::uint16_t block = static_cast<std::uint16_t>(spec.channels * container_bytes(spec));
    std::vector<std::uint8_t> fmt;
    put16(fmt, spec.extensible ? WAVE_TAG_EXTENSIBLE : tag);
    put16(fmt, spec.channels);
    put32(fmt, spec.sample_rate);
    put32(fmt, spec.sample_rate * block);
    put16(fmt, block);
    put16(fmt, spec.bits_per_sample);
    if (spec.extensible) {
        put16(fmt, 22);
        put16(fmt, spec.valid_bits != 0 ? spec.valid_bits : spec.bits_per_sample);
        put32(fmt, 0);  // no speaker positions
        put16(fmt, tag);
        static constexpr std::uint8_t GUID_TAIL[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                                       0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
        fmt.insert(fmt.end(), std::begin(GUID_TAIL), std::end(GUID_TAIL));
    }

    const std::uint32_t real_size = static_cast<std::uint32_t>(data.size());
    const std::uint32_t announced = damage.data_size.value_or(real_size);
    if (data.size() % 2 != 0)
        data.push_back(0);  // chunks are word-aligned

    std::vector<std::uint8_t> b;
    put_tag(b, "RIFF");
    put32(b, static_cast<std::uint32_t>(4 + 8 + fmt.size() + 8 + announced + announced % 2));
    put_tag(b, "WAVE");
    put_tag(b, "fmt ");
    put32(b, static_cast<std::uint32_t>(fmt.size()));
    b.insert(b.end(), fmt.begin(), fmt.end());
    put_tag(b, "data");
    put32(b, announced);
    b.insert(b.end(), data.begin(), data.end());
    b.resize(b.size() - std::min(damage.cut_bytes, b.size()));
    return b;
}

std::int64_t sign_extend(std::uint64_t raw, int bits) {
    const std::uint64_t sign = std::uint64_t{1} << (bits - 1);
    return static_cast<std::int64_t>((raw ^ sign) - sign);
}

}  // namespace

std::vector<std::uint8_t> int_wav_bytes(const WavSpec& spec,
                                        const std::vector<std::int32_t>& samples,
                                        const WavDamage& damage) {
    const int bytes = container_bytes(spec);
    const int valid =
        spec.extensible && spec.valid_bits != 0 ? spec.valid_bits : spec.bits_per_sample;
    const int shift = bytes * 8 - valid;
    std::vector<std::uint8_t> data;
    for (const std::int32_t s : samples) {
        std::uint64_t raw = static_cast<std::uint64_t>(static_cast<std::int64_t>(s)) << shift;
        if (bytes == 1)
            raw = static_cast<std::uint8_t>(raw + 128);
        for (int i = 0; i < bytes; ++i)
            data.push_back(static_cast<std::uint8_t>(raw >> (8 * i)));
    }
    return wrap(spec, std::move(data), damage);
}

std::vector<std::uint8_t> float_wav_bytes(const WavSpec& spec, const std::vector<double>& samples,
                                          const WavDamage& damage) {
    std::vector<std::uint8_t> data;
    for (const double s : samples) {
        std::uint8_t raw[8];
        if (spec.bits_per_sample == 64) {
            std::memcpy(raw, &s, 8);
            data.insert(data.end(), raw, raw + 8);
        } else {
            const float f = static_cast<float>(s);
            std::memcpy(raw, &f, 4);
            data.insert(data.end(), raw, raw + 4);
        }
    }
    return wrap(spec, std::move(data), damage);
}

std::filesystem::path write_int_wav(const std::filesystem::path& path, const WavSpec& spec,
                                    const std::vector<std::int32_t>& samples,
                                    const WavDamage& damage) {
    write_bytes(path, int_wav_bytes(spec, samples, damage));
    return path;
}

std::filesystem::path write_float_wav(const std::filesystem::path& path, const WavSpec& spec,
                                      const std::vector<double>& samples, const WavDamage& damage) {
    write_bytes(path, float_wav_bytes(spec, samples, damage));
    return path;
}

std::optional<WavContents> read_wav(const std::filesystem::path& path) {
    std::vector<std::uint8_t> b;
    if (!std::filesystem::exists(path))
        return std::nullopt;
    b = read_bytes(path);
    const auto tag_at = [&](std::size_t at, std::string_view tag) {
        return at + 4 <= b.size() && std::memcmp(&b[at], tag.data(), 4) == 0;
    };
    if (b.size() < 12 || !tag_at(0, "RIFF") || !tag_at(8, "WAVE"))
        return std::nullopt;

    WavContents w;
    bool have_fmt = false;
    std::size_t at = 12;
    while (at + 8 <= b.size()) {
        const std::uint32_t size = le32(b, at + 4);
        const std::size_t body = at + 8;
        if (tag_at(at, "fmt ") && size >= 16 && body + size <= b.size()) {
            w.format_tag = le16(b, body);
            w.channels = le16(b, body + 2);
            w.sample_rate = le32(b, body + 4);
            w.bits_per_sample = le16(b, body + 14);
            w.valid_bits = w.bits_per_sample;
            w.sub_format_tag = w.format_tag;
            if (w.format_tag == WAVE_TAG_EXTENSIBLE && size >= 40) {
                w.valid_bits = le16(b, body + 18);
                w.sub_format_tag = le16(b, body + 24);
            }
            have_fmt = true;
        } else if (tag_at(at, "data") && have_fmt) {
            const std::size_t end = std::min<std::size_t>(body + size, b.size());
            const int bytes = (w.bits_per_sample + 7) / 8;
            if (bytes == 0)
                return std::nullopt;
            for (std::size_t p = body; p + bytes <= end; p += bytes) {
                std::uint64_t raw = 0;
                for (int i = 0; i < bytes; ++i)
                    raw |= std::uint64_t{b[p + i]} << (8 * i);
                if (w.sub_format_tag == WAVE_TAG_FLOAT) {
                    if (bytes == 4) {
                        float f;
                        const auto r32 = static_cast<std::uint32_t>(raw);
                        std::memcpy(&f, &r32, 4);
                        w.floats.push_back(f);
                    } else {
                        double d;
                        std::memcpy(&d, &raw, 8);
                        w.floats.push_back(static_cast<float>(d));
                    }
                } else if (bytes == 1) {
                    w.ints.push_back(static_cast<std::int32_t>(raw) - 128);
                } else {
                    const std::int64_t v = sign_extend(raw, bytes * 8);
                    w.ints.push_back(static_cast<std::int32_t>(v >> (bytes * 8 - w.valid_bits)));
                }
            }
            return w;
        }
        at = body + size + size % 2;
    }
    return std::nullopt;
}

}  // namespace kestrune::test
