// Cost of turning capture packets into chunks on a capture thread: 10 ms
// packets of 48 kHz stereo in each encoding, gathered (input devices) and one
// chunk per packet (loopback). Prints microseconds per packet and how many
// times faster than real time that is.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "capture/packet_chunker.hpp"

namespace {

using kestrune::ChunkRule;
using kestrune::SampleEncoding;

void run(const char* name, SampleEncoding encoding, std::size_t bytes, ChunkRule rule) {
    constexpr std::size_t frames = 480;  // 10 ms at 48 kHz
    constexpr int packets = 20000;       // 200 s of audio
    std::vector<std::uint8_t> data(frames * 2 * bytes);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 37);
    auto buffer = std::make_shared<kestrune::SampleBuffer>();
    kestrune::PacketChunker chunker(rule, encoding, 2, 48000, buffer);
    std::size_t samples = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int p = 0; p < packets; ++p) {
        chunker.on_packet(data.data(), frames, false);
        // The processor drains every 5 ms; keep the buffer below its limit likewise.
        if (p % 64 == 0)
            for (const auto& c : buffer->take_all())
                samples += c.size();
    }
    chunker.finish();
    for (const auto& c : buffer->take_all())
        samples += c.size();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%-4s %-9s %8.2f us/packet  %9.0fx real time  (%zu samples)\n", name,
                rule == ChunkRule::Gather ? "gather" : "per-packet", seconds * 1e6 / packets,
                packets * 0.010 / seconds, samples);
}

}  // namespace

int main() {
    for (ChunkRule rule : {ChunkRule::PerPacket, ChunkRule::Gather}) {
        run("F32", SampleEncoding::F32, 4, rule);
        run("I16", SampleEncoding::I16, 2, rule);
        run("I24", SampleEncoding::I24, 3, rule);
        run("I32", SampleEncoding::I32, 4, rule);
        run("U8", SampleEncoding::U8, 1, rule);
    }
}
