#pragma once
// libsndfile's virtual I/O over one of our Files, so that the library sees the
// same paths (UTF-16 on Windows) and sharing rules as the rest of the program.
// Buffered both ways: the library reads and writes its converted samples in
// small pieces; large transfers go straight to the file.

#include <sndfile.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "error.hpp"
#include "io/file.hpp"

namespace kestrune {

class SndfileStream {
public:
    inline static constexpr std::size_t BUFFER_BYTES = std::size_t{1} << 18;

    explicit SndfileStream(File& file);  // file outlives the stream
    SndfileStream(const SndfileStream&) = delete;
    SndfileStream& operator=(const SndfileStream&) = delete;

    // The callbacks that take this stream as their user data.
    [[nodiscard]] static SF_VIRTUAL_IO* callbacks();

    // The first I/O error met; once set, every later transfer fails at once.
    [[nodiscard]] const std::optional<Error>& error() const { return error_; }

    // Hands buffered writes to the file.
    [[nodiscard]] Result<void> flush();

private:
    static sf_count_t get_filelen_cb(void* self);
    static sf_count_t seek_cb(sf_count_t offset, int whence, void* self);
    static sf_count_t read_cb(void* ptr, sf_count_t count, void* self);
    static sf_count_t write_cb(const void* ptr, sf_count_t count, void* self);
    static sf_count_t tell_cb(void* self);

    std::optional<std::uint64_t> length();
    std::size_t read(std::byte* out, std::size_t count);
    std::size_t write(const std::byte* data, std::size_t count);
    std::size_t read_at(std::uint64_t offset, std::byte* out, std::size_t count);
    bool write_at(std::uint64_t offset, const std::byte* data, std::size_t count);
    bool position_file(std::uint64_t offset);
    void record(Error e);

    File& file_;
    std::vector<std::byte> buffer_;
    std::uint64_t pos_ = 0;  // the library's position
    // Read mode: the buffer caches the file's bytes at buffer_pos_. Write mode:
    // it holds bytes not yet written that belong at buffer_pos_.
    std::uint64_t buffer_pos_ = 0;
    std::size_t buffer_len_ = 0;
    bool writing_ = false;
    std::optional<std::uint64_t> file_pos_;  // unknown until the first seek
    std::optional<Error> error_;
};

}  // namespace kestrune
