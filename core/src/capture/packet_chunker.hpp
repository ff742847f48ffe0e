#pragma once
// Turns a stream's packets into SampleBuffer chunks. Input devices gather
// packets until a chunk holds at least channels x (rate / 200) samples (about
// 5 ms); loopback pushes one chunk per packet, so an empty packet gives an
// empty chunk. Used by one capture thread only.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "audio_buf/sample_buffer.hpp"
#include "capture/wave_format.hpp"

namespace kestrune {

// channels x (rate / 200), the division first.
[[nodiscard]] std::size_t input_chunk_size(std::uint16_t channels, std::uint32_t sample_rate);

enum class ChunkRule { Gather, PerPacket };

class PacketChunker {
public:
    // running, when given, is read for every packet: packets that arrive while
    // it is false are discarded. It belongs to the capture and outlives this.
    PacketChunker(ChunkRule rule, SampleEncoding encoding, std::uint16_t channels,
                  std::uint32_t sample_rate, std::shared_ptr<SampleBuffer> buffer,
                  const std::atomic<bool>* running = nullptr);

    // One packet of `frames` frames; silent packets become zeros whatever data holds.
    void on_packet(const std::uint8_t* data, std::size_t frames, bool silent);

    // Pushes what is still gathered as one final chunk, if anything is.
    void finish();

    [[nodiscard]] std::size_t chunk_size() const { return chunk_size_; }

private:
    void push(SampleChunk chunk);

    ChunkRule rule_;
    SampleEncoding encoding_;
    std::uint16_t channels_;
    std::size_t chunk_size_;
    std::shared_ptr<SampleBuffer> buffer_;
    const std::atomic<bool>* running_;
    SampleChunk gathered_;
};

}  // namespace kestrune
