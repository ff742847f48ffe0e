#pragma once
// Turns a stream's packets into SampleBuffer chunks. Input devices gather
// packets until a chunk holds at least channels x (rate / 200) samples (about
// 5 ms); loopback pushes one chunk per packet, so an empty packet gives an
// empty chunk. Used by one capture thread only.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "audio_buf/sample_buffer.hpp"
#include "capture/wave_format.hpp"

namespace kestrune {

// channels x (rate / 200), the division first.
[[nodiscard]] std::size_t input_chunk_size(std::uint16_t channels, std::uint32_t sample_rate);

enum class ChunkRule { Gather, PerPacket };

// What the stream said about one packet.
struct PacketStamp {
    // Capture time of the packet's first frame on the recording clock.
    std::optional<std::chrono::nanoseconds> time;
    // Audio was lost just before this packet.
    bool discontinuity = false;
};

class PacketChunker {
public:
    // running, when given, is read for every packet: packets that arrive while
    // it is false are discarded. It belongs to the capture and outlives this.
    PacketChunker(ChunkRule rule, SampleEncoding encoding, std::uint16_t channels,
                  std::uint32_t sample_rate, std::shared_ptr<SampleBuffer> buffer,
                  const std::atomic<bool>* running = nullptr);

    // One packet of `frames` frames; silent packets become zeros whatever data
    // holds. A gathered chunk takes the stamp of its first packet, and a
    // discontinuity sends what was gathered before it on its own.
    void on_packet(const std::uint8_t* data, std::size_t frames, bool silent,
                   PacketStamp stamp = {});

    // The stream's speaker positions, carried by every chunk (0: the usual
    // layout of its channel count).
    void set_channel_mask(std::uint32_t mask) { channel_mask_ = mask; }
    // The stream follows an earlier one of the same source: its first chunk
    // says that audio was lost before it.
    void follow_gap() { after_gap_ = true; }

    // Pushes what is still gathered as one final chunk, if anything is.
    void finish();

    [[nodiscard]] std::size_t chunk_size() const { return chunk_size_; }

private:
    void push(std::vector<float> samples, const PacketStamp& stamp);

    ChunkRule rule_;
    SampleEncoding encoding_;
    std::uint16_t channels_;
    std::uint32_t channel_mask_ = 0;
    bool after_gap_ = false;
    std::uint32_t sample_rate_;
    std::size_t chunk_size_;
    std::shared_ptr<SampleBuffer> buffer_;
    const std::atomic<bool>* running_;
    std::vector<float> gathered_;
    PacketStamp gathered_stamp_;
};

}  // namespace kestrune
