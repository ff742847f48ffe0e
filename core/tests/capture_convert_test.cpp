#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "capture/packet_chunker.hpp"
#include "capture/sample_convert.hpp"
#include "capture/wave_format.hpp"

namespace kestrune {
namespace {

// A WAVEFORMATEX (18 bytes) or, with a sub-format tag, a WAVEFORMATEXTENSIBLE (40).
std::vector<std::uint8_t> wave_format(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate,
                                      std::uint16_t bits, std::uint16_t valid_bits = 0,
                                      std::uint32_t sub_tag = 0) {
    std::vector<std::uint8_t> b;
    auto u16 = [&](std::uint32_t v) {
        b.push_back(v & 0xFF);
        b.push_back((v >> 8) & 0xFF);
    };
    auto u32 = [&](std::uint32_t v) {
        u16(v & 0xFFFF);
        u16(v >> 16);
    };
    const std::uint16_t align = static_cast<std::uint16_t>(channels * bits / 8);
    u16(tag);
    u16(channels);
    u32(rate);
    u32(rate * align);
    u16(align);
    u16(bits);
    if (tag != WAVE_TAG_EXTENSIBLE) {
        u16(0);
        return b;
    }
    u16(22);
    u16(valid_bits);
    u32(3);  // channel mask
    u32(sub_tag);
    for (std::uint8_t v : {0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71})
        b.push_back(v);
    return b;
}

TEST(WaveFormat, DeviceFormatFromBlob) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> blob;
        std::optional<OutputFormat> expected;
    };
    auto ext_pcm_short = wave_format(WAVE_TAG_EXTENSIBLE, 2, 48000, 32, 24, WAVE_TAG_PCM);
    ext_pcm_short.resize(39);
    const std::vector<Case> cases = {
        {"extensible float",
         wave_format(WAVE_TAG_EXTENSIBLE, 2, 48000, 32, 32, WAVE_TAG_IEEE_FLOAT),
         OutputFormat{48000, 2, 32, true}},
        {"extensible 24 in 32 takes the valid bits",
         wave_format(WAVE_TAG_EXTENSIBLE, 2, 96000, 32, 24, WAVE_TAG_PCM),
         OutputFormat{96000, 2, 24, false}},
        {"plain float", wave_format(WAVE_TAG_IEEE_FLOAT, 1, 44100, 32),
         OutputFormat{44100, 1, 32, true}},
        {"plain pcm", wave_format(WAVE_TAG_PCM, 2, 44100, 16), OutputFormat{44100, 2, 16, false}},
        // Too short for the extensible header: its container bits, not float.
        {"truncated extensible", ext_pcm_short, OutputFormat{48000, 2, 32, false}},
        {"shorter than WAVEFORMATEX", std::vector<std::uint8_t>(17, 0), std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(device_format_from_blob(c.blob), c.expected);
    }
}

TEST(WaveFormat, StreamEncodingOfEveryMixFormat) {
    struct Case {
        std::vector<std::uint8_t> format;
        std::expected<SampleEncoding, std::string> expected;
    };
    const std::vector<Case> cases = {
        {wave_format(WAVE_TAG_EXTENSIBLE, 2, 48000, 32, 32, WAVE_TAG_IEEE_FLOAT),
         SampleEncoding::F32},
        {wave_format(WAVE_TAG_IEEE_FLOAT, 2, 48000, 32), SampleEncoding::F32},
        {wave_format(WAVE_TAG_PCM, 2, 44100, 16), SampleEncoding::I16},
        {wave_format(WAVE_TAG_EXTENSIBLE, 2, 44100, 16, 16, WAVE_TAG_PCM), SampleEncoding::I16},
        {wave_format(WAVE_TAG_EXTENSIBLE, 2, 96000, 32, 24, WAVE_TAG_PCM), SampleEncoding::I32},
        {wave_format(WAVE_TAG_EXTENSIBLE, 2, 96000, 24, 24, WAVE_TAG_PCM), SampleEncoding::I24},
        {wave_format(WAVE_TAG_PCM, 1, 8000, 32), SampleEncoding::I32},
        {wave_format(WAVE_TAG_PCM, 1, 8000, 8), SampleEncoding::U8},
        {wave_format(WAVE_TAG_IEEE_FLOAT, 2, 48000, 64), std::unexpected(std::string("F64"))},
        {wave_format(WAVE_TAG_EXTENSIBLE, 2, 48000, 64, 64, WAVE_TAG_IEEE_FLOAT),
         std::unexpected(std::string("F64"))},
        {wave_format(WAVE_TAG_PCM, 2, 48000, 64), std::unexpected(std::string("I64"))},
        {wave_format(0x0002, 2, 48000, 4), std::unexpected(std::string("format tag 2"))},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        const auto info = parse_wave_format(cases[i].format);
        ASSERT_TRUE(info);
        EXPECT_EQ(stream_encoding(*info), cases[i].expected);
    }
    // A block alignment that is not one container per channel cannot be read.
    auto odd = wave_format(WAVE_TAG_PCM, 2, 44100, 16);
    odd[12] = 6;
    EXPECT_FALSE(stream_encoding(*parse_wave_format(odd)));

    // The speaker positions come from a full extensible header only.
    EXPECT_EQ(
        parse_wave_format(wave_format(WAVE_TAG_EXTENSIBLE, 2, 48000, 32, 32, WAVE_TAG_IEEE_FLOAT))
            ->channel_mask,
        3u);
    EXPECT_EQ(parse_wave_format(wave_format(WAVE_TAG_IEEE_FLOAT, 2, 48000, 32))->channel_mask, 0u);
}

template <class T>
std::vector<std::uint8_t> bytes_of(const std::vector<T>& values) {
    std::vector<std::uint8_t> b(values.size() * sizeof(T));
    std::memcpy(b.data(), values.data(), b.size());
    return b;
}

TEST(SampleConvert, EveryEncodingWithItsLimits) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        const char* what;
        SampleEncoding encoding;
        std::vector<std::uint8_t> data;
        std::vector<float> expected;
    };
    const std::vector<Case> cases = {
        {"F32 clamps, keeps NaN",
         SampleEncoding::F32,
         bytes_of<float>({0.25f, 1.25f, -3.0f, inf, -inf, 1.0f, -1.0f}),
         {0.25f, 1.0f, -1.0f, 1.0f, -1.0f, 1.0f, -1.0f}},
        {"I16",
         SampleEncoding::I16,
         bytes_of<std::int16_t>({-32768, 32767, 0, 16384}),
         {-32768.0f / 32767.0f, 1.0f, 0.0f, 16384.0f / 32767.0f}},
        {"I32 and 24 in 32",
         SampleEncoding::I32,
         bytes_of<std::int32_t>({INT32_MIN, INT32_MAX, 0x40000000, 0x7FFFFF00, -256}),
         {-1.0f, 1.0f, 0.5f, 8388607.0f / 8388608.0f, -256.0f / 2147483648.0f}},
        {"I24 packed",
         SampleEncoding::I24,
         {0x00, 0x00, 0x80, 0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x40, 0xFF, 0xFF, 0xFF},
         {-1.0f, 8388607.0f / 8388608.0f, 0.5f, -1.0f / 8388608.0f}},
        {"U8", SampleEncoding::U8, {0, 128, 255}, {-128.0f / 127.5f, 0.0f, 127.0f / 127.5f}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<float> out = {7.0f};  // appended after what is there
        append_converted(c.encoding, c.data.data(), c.expected.size(), out);
        ASSERT_EQ(out.size(), c.expected.size() + 1);
        EXPECT_EQ(out[0], 7.0f);
        for (std::size_t i = 0; i < c.expected.size(); ++i)
            EXPECT_FLOAT_EQ(out[i + 1], c.expected[i]) << i;
    }
    std::vector<float> out;
    const auto data = bytes_of<float>({nan});
    append_converted(SampleEncoding::F32, data.data(), 1, out);
    EXPECT_TRUE(std::isnan(out.at(0)));
}

std::vector<std::size_t> chunk_sizes(SampleBuffer& buffer) {
    std::vector<std::size_t> sizes;
    for (const SampleChunk& c : buffer.take_all())
        sizes.push_back(c.size());
    return sizes;
}

TEST(PacketChunker, InputDevicesGatherAboutFiveMilliseconds) {
    EXPECT_EQ(input_chunk_size(2, 44100), 440u);
    EXPECT_EQ(input_chunk_size(1, 48000), 240u);
    EXPECT_EQ(input_chunk_size(2, 199), 0u);

    const std::vector<std::uint8_t> silence(4000, 0);
    auto buffer = std::make_shared<SampleBuffer>();
    {
        // 44.1 kHz stereo blocks of 100 samples: the fifth completes a chunk of 500.
        PacketChunker chunker(ChunkRule::Gather, SampleEncoding::I16, 2, 44100, buffer);
        for (int i = 0; i < 4; ++i)
            chunker.on_packet(silence.data(), 50, false);
        EXPECT_TRUE(chunk_sizes(*buffer).empty());
        chunker.on_packet(silence.data(), 50, false);
        EXPECT_EQ(chunk_sizes(*buffer), std::vector<std::size_t>{500});
        // A block as large as a chunk on its own goes whole.
        chunker.on_packet(silence.data(), 500, false);
        EXPECT_EQ(chunk_sizes(*buffer), std::vector<std::size_t>{1000});
        // What is left at the end is pushed, however short.
        chunker.on_packet(silence.data(), 150, true);
        chunker.finish();
        EXPECT_EQ(chunk_sizes(*buffer), std::vector<std::size_t>{300});
        chunker.finish();
        EXPECT_TRUE(chunk_sizes(*buffer).empty());
    }
    {
        // Below 200 Hz the chunk size is 0: every block goes at once.
        PacketChunker chunker(ChunkRule::Gather, SampleEncoding::I16, 1, 100, buffer);
        chunker.on_packet(silence.data(), 3, false);
        chunker.on_packet(silence.data(), 7, false);
        EXPECT_EQ(chunk_sizes(*buffer), (std::vector<std::size_t>{3, 7}));
    }
    {
        std::atomic<bool> running{false};
        PacketChunker chunker(ChunkRule::Gather, SampleEncoding::I16, 2, 44100, buffer, &running);
        chunker.on_packet(silence.data(), 1000, false);
        chunker.finish();
        EXPECT_TRUE(chunk_sizes(*buffer).empty());
        running = true;
        chunker.on_packet(silence.data(), 100, false);
        running = false;
        chunker.on_packet(silence.data(), 1000, false);
        // Gathered before the flag fell: still delivered at the end.
        chunker.finish();
        EXPECT_EQ(chunk_sizes(*buffer), std::vector<std::size_t>{200});
    }
}

TEST(PacketChunker, ChunksCarryTheirFirstPacketsTimeAndBreakAtADiscontinuity) {
    using std::chrono::milliseconds;
    const std::vector<std::uint8_t> silence(4000, 0);
    auto buffer = std::make_shared<SampleBuffer>();
    PacketChunker chunker(ChunkRule::Gather, SampleEncoding::I16, 2, 44100, buffer);
    chunker.on_packet(silence.data(), 100, false, {milliseconds(10), false});
    chunker.on_packet(silence.data(), 100, false, {milliseconds(12), false});
    // Lost audio before this one: the 200 frames so far go out on their own.
    chunker.on_packet(silence.data(), 100, false, {milliseconds(40), true});
    chunker.on_packet(nullptr, 150, true, {milliseconds(42), false});
    const auto chunks = buffer->take_all();
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[0].size(), 400u);
    EXPECT_EQ(chunks[0].time, milliseconds(10));
    EXPECT_FALSE(chunks[0].discontinuity);
    EXPECT_EQ(chunks[1].size(), 500u);
    EXPECT_EQ(chunks[1].time, milliseconds(40));
    EXPECT_TRUE(chunks[1].discontinuity);
    EXPECT_EQ(chunks[1].rate, 44100u);
    EXPECT_EQ(chunks[1].channels, 2u);
}

TEST(PacketChunker, LoopbackPushesEveryPacketConverted) {
    auto buffer = std::make_shared<SampleBuffer>();
    PacketChunker chunker(ChunkRule::PerPacket, SampleEncoding::F32, 2, 48000, buffer);
    chunker.set_channel_mask(0x3);
    chunker.follow_gap();  // a stream reopened after its device was away
    const std::vector<float> noise(960, 0.75f);
    const auto data = bytes_of(noise);
    chunker.on_packet(data.data(), 480, true);
    const auto samples = bytes_of<float>({1.25f, -3.0f, 0.5f, -0.5f});
    chunker.on_packet(samples.data(), 2, false);
    chunker.on_packet(nullptr, 0, false);
    chunker.finish();
    const auto chunks = buffer->take_all();
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(chunks[0].samples, std::vector<float>(960, 0.0f));
    EXPECT_EQ(chunks[1].samples, (std::vector<float>{1.0f, -1.0f, 0.5f, -0.5f}));
    EXPECT_TRUE(chunks[2].empty());
    for (const SampleChunk& c : chunks) {
        EXPECT_EQ(c.rate, 48000u);
        EXPECT_EQ(c.channels, 2u);
        EXPECT_EQ(c.channel_mask, 0x3u);
    }
    // Only its first chunk marks the gap.
    EXPECT_TRUE(chunks[0].discontinuity);
    EXPECT_FALSE(chunks[1].discontinuity);
}

}  // namespace
}  // namespace kestrune
