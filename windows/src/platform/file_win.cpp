// Win32 files. A file being recorded may be read by other programs while it
// grows, but not written, renamed or deleted: a repair started during a
// recording then fails on that recording's files instead of moving them away
// from under their writer.

#include <windows.h>

#include <limits>

#include "common/unique_handle.hpp"
#include "common/win_error.hpp"
#include "io/file.hpp"

namespace kestrune {
namespace {

class WinFile final : public File {
public:
    explicit WinFile(win::UniqueFileHandle h) : h_(std::move(h)) {}

    Result<std::size_t> write_some(std::span<const std::byte> data) override {
        const DWORD want = static_cast<DWORD>(
            std::min<std::size_t>(data.size(), std::numeric_limits<DWORD>::max()));
        DWORD written = 0;
        if (!::WriteFile(h_.get(), data.data(), want, &written, nullptr))
            return std::unexpected(win::last_error());
        return written;
    }

    Result<std::size_t> read_some(std::span<std::byte> out) override {
        const DWORD want = static_cast<DWORD>(
            std::min<std::size_t>(out.size(), std::numeric_limits<DWORD>::max()));
        DWORD got = 0;
        if (!::ReadFile(h_.get(), out.data(), want, &got, nullptr)) {
            const DWORD code = ::GetLastError();
            if (code == ERROR_HANDLE_EOF) return 0;
            return std::unexpected(win::last_error(code));
        }
        return got;
    }

    Result<void> seek(std::uint64_t offset) override {
        LARGE_INTEGER pos;
        pos.QuadPart = static_cast<LONGLONG>(offset);
        if (!::SetFilePointerEx(h_.get(), pos, nullptr, FILE_BEGIN))
            return std::unexpected(win::last_error());
        return {};
    }

    Result<std::uint64_t> length() override {
        LARGE_INTEGER size;
        if (!::GetFileSizeEx(h_.get(), &size)) return std::unexpected(win::last_error());
        return static_cast<std::uint64_t>(size.QuadPart);
    }

    Result<void> sync() override {
        if (!::FlushFileBuffers(h_.get()))
            return std::unexpected(win::last_error());
        return {};
    }

    Result<void> close() override {
        if (!h_) return {};
        const HANDLE h = h_.release();
        if (!::CloseHandle(h)) return std::unexpected(win::last_error());
        return {};
    }

private:
    win::UniqueFileHandle h_;
};

}  // namespace

Result<FilePtr> open_file(const std::filesystem::path& path, OpenMode mode) {
    DWORD access = GENERIC_READ | GENERIC_WRITE;
    DWORD share = FILE_SHARE_READ;
    DWORD disposition = CREATE_ALWAYS;
    switch (mode) {
        case OpenMode::CreateTruncate:
            break;
        case OpenMode::CreateNew:
            disposition = CREATE_NEW;
            break;
        case OpenMode::ExistingReadWrite:
            disposition = OPEN_EXISTING;
            break;
        case OpenMode::ExistingRead:
            access = GENERIC_READ;
            share = FILE_SHARE_READ | FILE_SHARE_WRITE;
            disposition = OPEN_EXISTING;
            break;
    }
    win::UniqueFileHandle h(::CreateFileW(path.c_str(), access, share, nullptr, disposition,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h) return std::unexpected(win::last_error());
    return std::make_unique<WinFile>(std::move(h));
}

Result<std::optional<FilePtr>> open_unless_in_use(const std::filesystem::path& path) {
    // The writer's share mode allows readers only, so asking to write as well
    // fails with a sharing violation exactly while a writer has the file.
    win::UniqueFileHandle h(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                          FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h) {
        const DWORD code = ::GetLastError();
        if (code == ERROR_SHARING_VIOLATION)
            return std::optional<FilePtr>();
        return std::unexpected(win::last_error(code));
    }
    return std::optional<FilePtr>(std::make_unique<WinFile>(std::move(h)));
}

Result<void> replace_file(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (!::MoveFileExW(from.c_str(), to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return std::unexpected(win::last_error());
    return {};
}

Result<void> rename_no_replace(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (!::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH))
        return std::unexpected(win::last_error());
    return {};
}

}  // namespace kestrune
