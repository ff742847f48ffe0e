#include "sample_queue.hpp"

namespace kestrune {

void SampleQueue::append(std::span<const float> samples) {
    // Reclaim the consumed front before growing, so a steady stream reuses the
    // same storage instead of growing without bound. A queue that always holds
    // a stretch of audio (the write delay's) moves it only once it has been
    // consumed three times over, not for every sample consumed.
    if (head_ > 0 && (head_ >= 3 * size() || data_.size() + samples.size() > data_.capacity())) {
        data_.erase(data_.begin(), data_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
    // Room for four times what is held, so the next move is that far off.
    const std::size_t wanted = 4 * (data_.size() + samples.size());
    if (data_.capacity() < wanted)
        data_.reserve(wanted);
    data_.insert(data_.end(), samples.begin(), samples.end());
}

void SampleQueue::drop(std::size_t n) {
    head_ += n;
    if (head_ >= data_.size())
        clear();
}

void SampleQueue::clear() {
    data_.clear();
    head_ = 0;
}

}  // namespace kestrune
