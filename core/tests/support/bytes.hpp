#pragma once
// Reading files back as bytes and little-endian fields.

#include <cstdint>
#include <filesystem>
#include <vector>

namespace kestrune::test {

[[nodiscard]] std::vector<std::uint8_t> read_bytes(const std::filesystem::path& path);
void write_bytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);

[[nodiscard]] std::uint16_t le16(const std::vector<std::uint8_t>& b, std::size_t at);
[[nodiscard]] std::uint32_t le32(const std::vector<std::uint8_t>& b, std::size_t at);

}  // namespace kestrune::test
