#include "files/finalize.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <system_error>

#include "io/file.hpp"
#include "files/recpart_writer.hpp"

namespace kestrune {
namespace {

// Only the fields up to the bits per sample are trusted; everything else in
// the header is recomputed.
constexpr std::size_t READ_HEADER_BYTES = 36;
constexpr std::uint16_t FORMAT_TAG_IEEE_FLOAT = 3;

std::uint16_t get_u16(const std::byte* p) {
    return static_cast<std::uint16_t>(std::to_integer<unsigned>(p[0]) |
                                      (std::to_integer<unsigned>(p[1]) << 8));
}

std::uint32_t get_u32(const std::byte* p) {
    return std::to_integer<std::uint32_t>(p[0]) | (std::to_integer<std::uint32_t>(p[1]) << 8) |
           (std::to_integer<std::uint32_t>(p[2]) << 16) |
           (std::to_integer<std::uint32_t>(p[3]) << 24);
}

bool has_tag(const std::byte* p, const char (&tag)[5]) {
    return std::memcmp(p, tag, 4) == 0;
}

// The extension after the last '.', where a leading dot does not count and
// ".." has none; case matters.
bool has_recpart_extension(const std::filesystem::path& name) {
    static const std::filesystem::path::string_type wanted =
        std::filesystem::path(".recpart").native();
    return name.extension().native() == wanted;
}

Result<OutputFormat> recognise_header(File& file) {
    std::array<std::byte, READ_HEADER_BYTES> h{};
    if (Result<void> r = file.seek(0); !r)
        return std::unexpected(std::move(r.error()));
    if (Result<void> r = read_exact(file, h); !r)
        return std::unexpected(std::move(r.error()));
    if (!has_tag(&h[0], "RIFF") || !has_tag(&h[8], "WAVE") || !has_tag(&h[12], "fmt "))
        return fail(ErrorKind::InvalidData, "not a recognised .recpart/.wav header");
    OutputFormat format;
    format.is_float = get_u16(&h[20]) == FORMAT_TAG_IEEE_FLOAT;
    format.channels = get_u16(&h[22]);
    format.sample_rate = get_u32(&h[24]);
    format.bits_per_sample = get_u16(&h[34]);
    return format;
}

}  // namespace

Result<std::filesystem::path> finalize_recpart(const std::filesystem::path& path) {
    {
        Result<FilePtr> file = open_file(path, OpenMode::ExistingReadWrite);
        if (!file)
            return std::unexpected(std::move(file.error()));
        Result<OutputFormat> format = recognise_header(**file);
        if (!format)
            return std::unexpected(std::move(format.error()));
        if (Result<void> r = rewrite_header(**file, *format); !r)
            return std::unexpected(std::move(r.error()));
        // A header that may not have reached the file must not be renamed as
        // if it had: the file stays a .recpart and can be repaired again.
        if (Result<void> r = (*file)->close(); !r)
            return std::unexpected(std::move(r.error()));
    }
    std::filesystem::path target = path;
    target.replace_extension("wav");
    target = unique_path(target);
    if (Result<void> r = replace_file(path, target); !r)
        return std::unexpected(std::move(r.error()));
    return target;
}

std::vector<RepairResult> repair_directory(const std::filesystem::path& dir) {
    std::vector<RepairResult> results;
    std::error_code ec;
    std::filesystem::directory_iterator it(dir, ec);
    // A directory that cannot be listed holds no incomplete recordings.
    for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        const std::filesystem::path name = it->path().filename();
        if (!has_recpart_extension(name))
            continue;
        std::filesystem::path found = dir / name;
        Result<std::filesystem::path> outcome = finalize_recpart(found);
        results.push_back(RepairResult{std::move(found), std::move(outcome)});
    }
    return results;
}

}  // namespace kestrune
