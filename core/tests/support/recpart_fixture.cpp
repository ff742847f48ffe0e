#include "support/recpart_fixture.hpp"

#include <string_view>

#include "support/bytes.hpp"

namespace kestrune::test {
namespace {

void tag(std::vector<std::uint8_t>& b, std::string_view t) {
    b.insert(b.end(), t.begin(), t.end());
}

void u16(std::vector<std::uint8_t>& b, unsigned v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}

void u32(std::vector<std::uint8_t>& b, std::uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8)
        b.push_back(static_cast<std::uint8_t>(v >> shift));
}

}  // namespace

std::vector<std::uint8_t> zero_size_header(const OutputFormat& f) {
    const unsigned bytes = f.bits_per_sample / 8u;
    std::vector<std::uint8_t> b;
    tag(b, "RIFF");
    u32(b, f.is_float ? 50 : 36);
    tag(b, "WAVE");
    tag(b, "fmt ");
    u32(b, f.is_float ? 18 : 16);
    u16(b, f.is_float ? 3 : 1);
    u16(b, f.channels);
    u32(b, f.sample_rate);
    u32(b, f.sample_rate * bytes * f.channels);
    u16(b, bytes * f.channels);
    u16(b, f.bits_per_sample);
    if (f.is_float) {
        u16(b, 0);
        tag(b, "fact");
        u32(b, 4);
        u32(b, 0);
    }
    tag(b, "data");
    u32(b, 0);
    return b;
}

std::vector<std::uint8_t> sample_bytes(std::size_t count) {
    std::vector<std::uint8_t> b(count);
    for (std::size_t i = 0; i < count; ++i)
        b[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return b;
}

std::vector<std::uint8_t> crashed_recpart(const OutputFormat& format, std::size_t data_bytes) {
    std::vector<std::uint8_t> b = zero_size_header(format);
    const std::vector<std::uint8_t> samples = sample_bytes(data_bytes);
    b.insert(b.end(), samples.begin(), samples.end());
    return b;
}

void write_crashed_recpart(const std::filesystem::path& path, const OutputFormat& format,
                           std::size_t data_bytes) {
    write_bytes(path, crashed_recpart(format, data_bytes));
}

}  // namespace kestrune::test
