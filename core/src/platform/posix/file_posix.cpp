// POSIX files for the native build. The Windows build uses its Win32
// counterpart, which also sets the sharing rules.

#include <fcntl.h>
#include <sys/file.h>
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

    Result<void> sync() override {
        if (::fsync(fd_) != 0)
            return std::unexpected(errno_error(errno));
        return {};
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

int open_retrying(const std::filesystem::path& path, int flags) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// An advisory lock stands in for the Windows sharing rules: writers hold it,
// repair asks for it and passes a file by when it is taken. File systems
// without locks lock nothing.
enum class Lock { Taken, Busy };

Lock try_lock(int fd) {
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    return rc != 0 && errno == EWOULDBLOCK ? Lock::Busy : Lock::Taken;
}

// Every rename that makes a file final is followed by one for its directory,
// so the new name survives a power cut too. Best-effort: not every file system
// can sync a directory.
void sync_parent(const std::filesystem::path& path) {
    std::filesystem::path dir = path.parent_path();
    if (dir.empty())
        dir = ".";
    const int fd = open_retrying(dir, O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return;
    (void)::fsync(fd);
    ::close(fd);
}

}  // namespace

Result<FilePtr> open_file(const std::filesystem::path& path, OpenMode mode) {
    int flags = 0;
    switch (mode) {
        case OpenMode::CreateTruncate:
            flags = O_RDWR | O_CREAT;  // truncated once the lock is ours
            break;
        case OpenMode::CreateNew:
            flags = O_RDWR | O_CREAT | O_EXCL;
            break;
        case OpenMode::ExistingReadWrite:
            flags = O_RDWR;
            break;
        case OpenMode::ExistingRead:
            flags = O_RDONLY;
            break;
    }
    const int fd = open_retrying(path, flags);
    if (fd < 0) return std::unexpected(errno_error(errno));
    auto file = std::make_unique<PosixFile>(fd);
    if (mode == OpenMode::CreateTruncate || mode == OpenMode::CreateNew) {
        if (try_lock(fd) == Lock::Busy)
            return std::unexpected(errno_error(EBUSY));
        if (mode == OpenMode::CreateTruncate && ::ftruncate(fd, 0) != 0)
            return std::unexpected(errno_error(errno));
    }
    return file;
}

Result<std::optional<FilePtr>> open_unless_in_use(const std::filesystem::path& path) {
    const int fd = open_retrying(path, O_RDWR);
    if (fd < 0)
        return std::unexpected(errno_error(errno));
    auto file = std::make_unique<PosixFile>(fd);
    if (try_lock(fd) == Lock::Busy)
        return std::optional<FilePtr>();
    return std::optional<FilePtr>(std::move(file));
}

Result<void> replace_file(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (std::rename(from.c_str(), to.c_str()) != 0) return std::unexpected(errno_error(errno));
    sync_parent(to);
    return {};
}

Result<void> rename_no_replace(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0)
        return std::unexpected(errno_error(errno));
    sync_parent(to);
    return {};
}

}  // namespace kestrune
