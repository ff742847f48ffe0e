#include "file.hpp"

namespace kestrune {

Result<void> write_all(File& file, std::span<const std::byte> data) {
    while (!data.empty()) {
        Result<std::size_t> n = file.write_some(data);
        if (!n) return std::unexpected(std::move(n.error()));
        if (*n == 0) return fail(ErrorKind::Other, "failed to write whole buffer");
        data = data.subspan(*n);
    }
    return {};
}

Result<void> sync_file(const std::filesystem::path& path) {
    Result<FilePtr> file = open_file(path, OpenMode::ExistingReadWrite);
    if (!file)
        return std::unexpected(std::move(file.error()));
    if (Result<void> r = (*file)->sync(); !r)
        return r;
    return (*file)->close();
}

Result<void> read_exact(File& file, std::span<std::byte> out) {
    while (!out.empty()) {
        Result<std::size_t> n = file.read_some(out);
        if (!n) return std::unexpected(std::move(n.error()));
        if (*n == 0) return fail(ErrorKind::Other, "failed to fill whole buffer");
        out = out.subspan(*n);
    }
    return {};
}

}  // namespace kestrune
