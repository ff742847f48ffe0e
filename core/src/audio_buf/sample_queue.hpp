#pragma once
// A first-in first-out run of samples without a size limit: a source's
// converted audio waiting to be written.

#include <cstddef>
#include <span>
#include <vector>

namespace kestrune {

class SampleQueue {
public:
    [[nodiscard]] std::size_t size() const { return data_.size() - head_; }
    [[nodiscard]] bool empty() const { return size() == 0; }

    void append(std::span<const float> samples);
    // The oldest n samples (n <= size()), valid until the next change.
    [[nodiscard]] std::span<const float> front(std::size_t n) const {
        return std::span<const float>(data_).subspan(head_, n);
    }
    // Removes the oldest n samples (n <= size()).
    void drop(std::size_t n);
    void clear();

private:
    std::vector<float> data_;
    std::size_t head_ = 0;  // samples before head_ are consumed
};

}  // namespace kestrune
