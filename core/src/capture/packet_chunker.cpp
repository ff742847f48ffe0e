#include "capture/packet_chunker.hpp"

#include <utility>

#include "capture/sample_convert.hpp"

namespace kestrune {

std::size_t input_chunk_size(std::uint16_t channels, std::uint32_t sample_rate) {
    return static_cast<std::size_t>(channels) * (sample_rate / 200);
}

PacketChunker::PacketChunker(ChunkRule rule, SampleEncoding encoding, std::uint16_t channels,
                             std::uint32_t sample_rate, std::shared_ptr<SampleBuffer> buffer,
                             const std::atomic<bool>* running)
    : rule_(rule),
      encoding_(encoding),
      channels_(channels),
      chunk_size_(input_chunk_size(channels, sample_rate)),
      buffer_(std::move(buffer)),
      running_(running) {
    if (rule_ == ChunkRule::Gather)
        gathered_.reserve(2 * chunk_size_);
}

void PacketChunker::on_packet(const std::uint8_t* data, std::size_t frames, bool silent) {
    if (running_ != nullptr && !running_->load())
        return;
    const std::size_t n = frames * channels_;
    if (rule_ == ChunkRule::PerPacket) {
        SampleChunk chunk;
        if (silent || data == nullptr) {
            chunk.assign(n, 0.0f);
        } else {
            append_converted(encoding_, data, n, chunk);
        }
        push(std::move(chunk));
        return;
    }
    if (silent || data == nullptr) {
        gathered_.insert(gathered_.end(), n, 0.0f);
    } else {
        append_converted(encoding_, data, n, gathered_);
    }
    if (gathered_.size() >= chunk_size_) {
        SampleChunk full = std::exchange(gathered_, SampleChunk{});
        gathered_.reserve(2 * chunk_size_);
        push(std::move(full));
    }
}

void PacketChunker::finish() {
    if (gathered_.empty())
        return;
    push(std::exchange(gathered_, SampleChunk{}));
}

void PacketChunker::push(SampleChunk chunk) {
    if (buffer_)
        buffer_->push(std::move(chunk));
}

}  // namespace kestrune
