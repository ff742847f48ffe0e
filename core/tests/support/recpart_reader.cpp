#include "recpart_reader.hpp"

#include <bit>
#include <cstdint>

#include "support/bytes.hpp"

namespace kestrune::test {

RecpartData read_recpart(const std::filesystem::path& path) {
    const std::vector<std::uint8_t> b = read_bytes(path);
    RecpartData d;
    if (b.size() < 44)
        return d;
    const std::uint16_t tag = le16(b, 20);
    d.format.channels = le16(b, 22);
    d.format.sample_rate = le32(b, 24);
    d.format.bits_per_sample = le16(b, 34);
    d.format.is_float = tag == 3;
    const std::size_t start = d.format.is_float ? 58 : 44;
    const std::size_t size = d.format.is_float ? 4 : d.format.bits_per_sample / 8u;
    if (size == 0)
        return d;
    for (std::size_t at = start; at + size <= b.size(); at += size) {
        if (d.format.is_float) {
            d.samples.push_back(std::bit_cast<float>(le32(b, at)));
        } else if (size == 2) {
            d.samples.push_back(static_cast<std::int16_t>(le16(b, at)) / 32767.0f);
        } else {
            std::int32_t v = b[at] | (b[at + 1] << 8) | (b[at + 2] << 16);
            if (v & 0x800000)
                v -= 0x1000000;
            d.samples.push_back(static_cast<float>(v) / 8388607.0f);
        }
    }
    return d;
}

}  // namespace kestrune::test
