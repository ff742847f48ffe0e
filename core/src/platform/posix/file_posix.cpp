// POSIX files for the native build. The Windows build uses its Win32
// counterpart, which also sets the sharing rules.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "io/file.hpp"

namespace kestrune {
namespace {

Error errno_error(int err) { return error_from_code(std::error_code(err, std::generic_category())); }

class PosixFile final : public File {
public:
    explicit PosixFile(int fd) : fd_(fd) {}
    PosixFile(const PosixFile&) = delete;
    PosixFile& operator=(const PosixFile&) = delete;
    ~PosixFile() override { (void)close(); }

    Result<std::size_t> write_some(std::span<const std::byte> data) override {
        for (;;) {
            const ssize_t n = ::write(fd_, data.data(), data.size());
            if (n >= 0) return static_cast<std::size_t>(n);
            if (errno != EINTR) return std::unexpected(errno_error(errno));
        }
    }

    Result<std::size_t> read_some(std::span<std::byte> out) override {
        for (;;) {
            const ssize_t n = ::read(fd_, out.data(), out.size());
            if (n >= 0) return static_cast<std::size_t>(n);
            if (errno != EINTR) return std::unexpected(errno_error(errno));
        }
    }

    Result<void> seek(std::uint64_t offset) override {
        if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0)
            return std::unexpected(errno_error(errno));
        return {};
    }

    Result<std::uint64_t> length() override {
        struct stat st {};
        if (::fstat(fd_, &st) != 0) return std::unexpected(errno_error(errno));
        return static_cast<std::uint64_t>(st.st_size);
    }

    Result<void> close() override {
        if (fd_ < 0) return {};
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0 && errno != EINTR) return std::unexpected(errno_error(errno));
        return {};
    }

private:
    int fd_;
};

}  // namespace

Result<FilePtr> open_file(const std::filesystem::path& path, OpenMode mode) {
    int flags = O_CLOEXEC;
    switch (mode) {
        case OpenMode::CreateTruncate:
            flags |= O_RDWR | O_CREAT | O_TRUNC;
            break;
        case OpenMode::ExistingReadWrite:
            flags |= O_RDWR;
            break;
        case OpenMode::ExistingRead:
            flags |= O_RDONLY;
            break;
    }
    int fd;
    do {
        fd = ::open(path.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::unexpected(errno_error(errno));
    return std::make_unique<PosixFile>(fd);
}

Result<void> replace_file(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (std::rename(from.c_str(), to.c_str()) != 0) return std::unexpected(errno_error(errno));
    return {};
}

}  // namespace kestrune
