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
      sample_rate_(sample_rate),
      chunk_size_(input_chunk_size(channels, sample_rate)),
      buffer_(std::move(buffer)),
      running_(running) {
    if (rule_ == ChunkRule::Gather)
        gathered_.reserve(2 * chunk_size_);
}

void PacketChunker::on_packet(const std::uint8_t* data, std::size_t frames, bool silent,
                              PacketStamp stamp) {
    if (running_ != nullptr && !running_->load())
        return;
    const std::size_t n = frames * channels_;
    if (rule_ == ChunkRule::PerPacket) {
        std::vector<float> samples;
        if (silent || data == nullptr) {
            samples.assign(n, 0.0f);
        } else {
            append_converted(encoding_, data, n, samples);
        }
        push(std::move(samples), stamp);
        return;
    }
    if (stamp.discontinuity && !gathered_.empty())
        finish();
    if (gathered_.empty())
        gathered_stamp_ = stamp;
    if (silent || data == nullptr) {
        gathered_.insert(gathered_.end(), n, 0.0f);
    } else {
        append_converted(encoding_, data, n, gathered_);
    }
    if (gathered_.size() >= chunk_size_) {
        std::vector<float> full = std::exchange(gathered_, {});
        gathered_.reserve(2 * chunk_size_);
        push(std::move(full), gathered_stamp_);
    }
}

void PacketChunker::finish() {
    if (gathered_.empty())
        return;
    push(std::exchange(gathered_, {}), gathered_stamp_);
    gathered_.reserve(2 * chunk_size_);
}

void PacketChunker::push(std::vector<float> samples, const PacketStamp& stamp) {
    if (buffer_) {
        buffer_->push(SampleChunk{std::move(samples), stamp.time, sample_rate_, channels_,
                                  channel_mask_,
                                  stamp.discontinuity || std::exchange(after_gap_, false)});
    }
}

}  // namespace kestrune
