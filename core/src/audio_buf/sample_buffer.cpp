#include "sample_buffer.hpp"

#include <utility>

namespace kestrune {

void SampleBuffer::push(SampleChunk chunk) {
    std::unique_lock lock(mutex_);
    if (chunks_.size() < MAX_QUEUED_CHUNKS) {
        chunks_.push_back(std::move(chunk));
        return;
    }
    lock.unlock();
    // The dropped chunk's storage is freed here, outside the lock.
}

std::vector<SampleChunk> SampleBuffer::take_all() {
    std::vector<SampleChunk> taken;
    {
        std::lock_guard lock(mutex_);
        taken.swap(chunks_);
    }
    return taken;
}

}  // namespace kestrune
