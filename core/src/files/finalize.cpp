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

// Rewrites the header and brings the file to the disk; the .wav name says the
// file is complete, so a power cut must not find a .wav whose header says
// nothing.
Result<void> repair_header(File& file) {
    Result<OutputFormat> format = recognise_header(file);
    if (!format)
        return std::unexpected(std::move(format.error()));
    if (Result<void> r = rewrite_header(file, *format); !r)
        return r;
    return file.sync();
}

Result<std::filesystem::path> finalize_held(const std::filesystem::path& path, bool& in_use) {
    in_use = false;
    {
        Result<std::optional<FilePtr>> file = open_unless_in_use(path);
        if (!file)
            return std::unexpected(std::move(file.error()));
        if (!*file) {
            in_use = true;
            return fail(ErrorKind::PermissionDenied, "still being recorded");
        }
        if (Result<void> r = repair_header(***file); !r)
            return std::unexpected(std::move(r.error()));
        // A header that may not have reached the file must not be renamed as
        // if it had: the file stays a .recpart and can be repaired again.
        // Windows renames only closed files.
        if (Result<void> r = (**file)->close(); !r)
            return std::unexpected(std::move(r.error()));
    }
    std::filesystem::path wanted = path;
    wanted.replace_extension("wav");
    // unique_path cannot promise the name is still free at the rename; a file
    // that appears in between is never replaced.
    for (int attempt = 0;; ++attempt) {
        const std::filesystem::path target = unique_path(wanted);
        Result<void> r = rename_no_replace(path, target);
        if (r)
            return target;
        if (r.error().kind != ErrorKind::AlreadyExists || attempt == 16)
            return std::unexpected(std::move(r.error()));
    }
}

void repair_entries(const std::filesystem::path& dir, std::vector<RepairResult>& results,
                    std::vector<std::filesystem::path>* folders) {
    std::error_code ec;
    std::filesystem::directory_iterator it(dir, ec);
    // A directory that cannot be listed holds no incomplete recordings.
    for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        const std::filesystem::path name = it->path().filename();
        if (!has_recpart_extension(name)) {
            std::error_code type_ec;
            if (folders && it->is_directory(type_ec) && !it->is_symlink(type_ec))
                folders->push_back(dir / name);
            continue;
        }
        std::filesystem::path found = dir / name;
        bool in_use = false;
        Result<std::filesystem::path> outcome = finalize_held(found, in_use);
        results.push_back(RepairResult{std::move(found), std::move(outcome), in_use});
    }
}

}  // namespace

Result<std::filesystem::path> finalize_recpart(const std::filesystem::path& path) {
    bool in_use = false;
    return finalize_held(path, in_use);
}

std::vector<RepairResult> repair_directory(const std::filesystem::path& dir) {
    std::vector<RepairResult> results;
    std::vector<std::filesystem::path> folders;
    repair_entries(dir, results, &folders);
    // Stem recordings keep their files in a session folder of their own.
    for (const std::filesystem::path& folder : folders)
        repair_entries(folder, results, nullptr);
    return results;
}

}  // namespace kestrune
