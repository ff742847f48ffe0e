#include "files/sndfile_stream.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

namespace kestrune {

SndfileStream::SndfileStream(File& file) : file_(file), buffer_(BUFFER_BYTES) {}

SF_VIRTUAL_IO* SndfileStream::callbacks() {
    static SF_VIRTUAL_IO io{&get_filelen_cb, &seek_cb, &read_cb, &write_cb, &tell_cb};
    return &io;
}

void SndfileStream::record(Error e) {
    if (!error_)
        error_ = std::move(e);
}

Result<void> SndfileStream::flush() {
    if (writing_ && buffer_len_ > 0 && !error_) {
        if (write_at(buffer_pos_, buffer_.data(), buffer_len_)) {
            buffer_pos_ += buffer_len_;
            buffer_len_ = 0;
        }
    }
    if (error_)
        return std::unexpected(*error_);
    return {};
}

std::optional<std::uint64_t> SndfileStream::length() {
    if (!flush())
        return std::nullopt;
    Result<std::uint64_t> n = file_.length();
    if (!n) {
        record(std::move(n.error()));
        return std::nullopt;
    }
    return *n;
}

bool SndfileStream::position_file(std::uint64_t offset) {
    if (file_pos_ == offset)
        return true;
    if (auto r = file_.seek(offset); !r) {
        file_pos_.reset();
        record(std::move(r.error()));
        return false;
    }
    file_pos_ = offset;
    return true;
}

std::size_t SndfileStream::read_at(std::uint64_t offset, std::byte* out, std::size_t count) {
    if (error_ || !position_file(offset))
        return 0;
    std::size_t got = 0;
    while (got < count) {
        Result<std::size_t> n = file_.read_some(std::span(out + got, count - got));
        if (!n) {
            file_pos_.reset();
            record(std::move(n.error()));
            break;
        }
        if (*n == 0)
            break;
        got += *n;
        *file_pos_ += *n;
    }
    return got;
}

bool SndfileStream::write_at(std::uint64_t offset, const std::byte* data, std::size_t count) {
    if (error_ || !position_file(offset))
        return false;
    if (auto r = write_all(file_, std::span(data, count)); !r) {
        file_pos_.reset();
        record(std::move(r.error()));
        return false;
    }
    *file_pos_ += count;
    return true;
}

std::size_t SndfileStream::read(std::byte* out, std::size_t count) {
    if (writing_) {
        if (!flush())
            return 0;
        writing_ = false;
        buffer_len_ = 0;
    }
    std::size_t done = 0;
    while (done < count) {
        if (pos_ >= buffer_pos_ && pos_ < buffer_pos_ + buffer_len_) {
            const std::size_t at = static_cast<std::size_t>(pos_ - buffer_pos_);
            const std::size_t n = std::min(count - done, buffer_len_ - at);
            std::memcpy(out + done, buffer_.data() + at, n);
            done += n;
            pos_ += n;
            continue;
        }
        if (count - done >= buffer_.size()) {
            const std::size_t n = read_at(pos_, out + done, count - done);
            done += n;
            pos_ += n;
            break;
        }
        buffer_pos_ = pos_;
        buffer_len_ = read_at(pos_, buffer_.data(), buffer_.size());
        if (buffer_len_ == 0)
            break;
    }
    return done;
}

std::size_t SndfileStream::write(const std::byte* data, std::size_t count) {
    if (error_)
        return 0;
    if (!writing_) {
        writing_ = true;
        buffer_pos_ = pos_;
        buffer_len_ = 0;
    }
    // A seek since the last write, or no room left: the pending bytes go first.
    if (pos_ != buffer_pos_ + buffer_len_ || buffer_len_ + count > buffer_.size()) {
        if (!flush())
            return 0;
        buffer_pos_ = pos_;
    }
    if (count >= buffer_.size()) {
        if (!write_at(pos_, data, count))
            return 0;
        pos_ += count;
        buffer_pos_ = pos_;
        return count;
    }
    std::memcpy(buffer_.data() + buffer_len_, data, count);
    buffer_len_ += count;
    pos_ += count;
    return count;
}

sf_count_t SndfileStream::get_filelen_cb(void* self) {
    const std::optional<std::uint64_t> n = static_cast<SndfileStream*>(self)->length();
    return n ? static_cast<sf_count_t>(*n) : -1;
}

sf_count_t SndfileStream::seek_cb(sf_count_t offset, int whence, void* self) {
    auto* s = static_cast<SndfileStream*>(self);
    sf_count_t base = 0;
    switch (whence) {
        case SEEK_SET:
            break;
        case SEEK_CUR:
            base = static_cast<sf_count_t>(s->pos_);
            break;
        case SEEK_END: {
            const std::optional<std::uint64_t> n = s->length();
            if (!n)
                return -1;
            base = static_cast<sf_count_t>(*n);
            break;
        }
        default:
            return -1;
    }
    if (offset < -base || offset > std::numeric_limits<sf_count_t>::max() - base)
        return -1;
    s->pos_ = static_cast<std::uint64_t>(base + offset);
    return static_cast<sf_count_t>(s->pos_);
}

sf_count_t SndfileStream::read_cb(void* ptr, sf_count_t count, void* self) {
    if (count <= 0)
        return 0;
    return static_cast<sf_count_t>(static_cast<SndfileStream*>(self)->read(
        static_cast<std::byte*>(ptr), static_cast<std::size_t>(count)));
}

sf_count_t SndfileStream::write_cb(const void* ptr, sf_count_t count, void* self) {
    if (count <= 0)
        return 0;
    return static_cast<sf_count_t>(static_cast<SndfileStream*>(self)->write(
        static_cast<const std::byte*>(ptr), static_cast<std::size_t>(count)));
}

sf_count_t SndfileStream::tell_cb(void* self) {
    return static_cast<sf_count_t>(static_cast<SndfileStream*>(self)->pos_);
}

}  // namespace kestrune
