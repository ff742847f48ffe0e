#include <gtest/gtest.h>

#include <deque>

#include "backend_win/capture_stream.hpp"

namespace kestrune::win {
namespace {

// One scripted answer to GetNextPacketSize and, if it succeeds with a size,
// to the GetBuffer that follows.
struct Step {
    HRESULT next_hr = S_OK;
    UINT32 next = 0;
    HRESULT get_hr = S_OK;
    UINT32 frames = 0;
    DWORD flags = 0;
    std::vector<float> data;
    UINT64 qpc = 0;  // 100-ns units
};

Step size_fails(HRESULT hr) {
    Step s;
    s.next_hr = hr;
    return s;
}

Step buffer_fails(HRESULT hr) {
    Step s;
    s.next = 2;
    s.get_hr = hr;
    return s;
}

class ScriptedCapture : public IAudioCaptureClient {
public:
    explicit ScriptedCapture(std::vector<Step> steps) : steps_(steps.begin(), steps.end()) {}
    std::vector<UINT32> released;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* next) override {
        if (steps_.empty()) {
            *next = 0;
            return S_OK;
        }
        *next = steps_.front().next;
        const HRESULT hr = steps_.front().next_hr;
        if (FAILED(hr) || *next == 0)
            steps_.pop_front();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64*,
                                        UINT64* qpc) override {
        current_ = steps_.front();
        steps_.pop_front();
        *data = reinterpret_cast<BYTE*>(current_.data.data());
        *frames = current_.frames;
        *flags = current_.flags;
        if (qpc != nullptr)
            *qpc = current_.qpc;
        return current_.get_hr;
    }
    HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override {
        released.push_back(frames);
        return S_OK;
    }

private:
    std::deque<Step> steps_;
    Step current_;
};

TEST(CaptureDrain, PacketsFailuresAndLostDevices) {
    const Step silent{
        S_OK,       480, S_OK, 480, AUDCLNT_BUFFERFLAGS_SILENT, std::vector<float>(960, 0.7f),
        123'456'789};
    const Step loud{
        S_OK,       2, S_OK, 2, AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY, {1.25f, -3.0f, 0.5f, -0.5f},
        123'556'789};
    struct Case {
        const char* what;
        std::vector<Step> steps;
        std::optional<std::string> lost;
        std::vector<std::size_t> chunk_sizes;
        std::vector<UINT32> released;
    };
    const std::vector<Case> cases = {
        {"every ready packet, then empty", {silent, loud, {}}, std::nullopt, {960, 4}, {480, 2}},
        {"a failing size ends the drain", {size_fails(E_FAIL), loud}, std::nullopt, {}, {}},
        {"a failing buffer ends the drain",
         {buffer_fails(AUDCLNT_E_BUFFER_ERROR), loud},
         std::nullopt,
         {},
         {}},
        {"device gone at the size",
         {loud, size_fails(AUDCLNT_E_DEVICE_INVALIDATED)},
         "GetNextPacketSize: 0x88890004",
         {4},
         {2}},
        {"service gone at the buffer",
         {buffer_fails(AUDCLNT_E_SERVICE_NOT_RUNNING)},
         "GetBuffer: 0x88890010",
         {},
         {}},
        {"resources gone",
         {size_fails(AUDCLNT_E_RESOURCES_INVALIDATED)},
         "GetNextPacketSize: 0x88890026",
         {},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedCapture capture(c.steps);
        auto buffer = std::make_shared<SampleBuffer>();
        PacketChunker chunker(ChunkRule::PerPacket, SampleEncoding::F32, 2, 48000, buffer);
        EXPECT_EQ(drain_packets(&capture, chunker), c.lost);
        const auto chunks = buffer->take_all();
        std::vector<std::size_t> sizes;
        for (const auto& chunk : chunks)
            sizes.push_back(chunk.size());
        EXPECT_EQ(sizes, c.chunk_sizes);
        EXPECT_EQ(capture.released, c.released);
        if (sizes == std::vector<std::size_t>{960, 4}) {
            EXPECT_EQ(chunks[0].samples, std::vector<float>(960, 0.0f));
            EXPECT_EQ(chunks[1].samples, (std::vector<float>{1.0f, -1.0f, 0.5f, -0.5f}));
            EXPECT_EQ(chunks[0].time, std::chrono::nanoseconds(12'345'678'900));
            EXPECT_FALSE(chunks[0].discontinuity);
            EXPECT_EQ(chunks[1].time, std::chrono::nanoseconds(12'355'678'900));
            EXPECT_TRUE(chunks[1].discontinuity);
        }
    }
}

TEST(CaptureDrain, StampsWithoutAUsableTimeFollowOn) {
    EXPECT_EQ(packet_stamp(AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR, 5000).time, std::nullopt);
    EXPECT_EQ(packet_stamp(0, 0).time, std::nullopt);
    EXPECT_EQ(packet_stamp(0, 7).time, std::chrono::nanoseconds(700));
}

}  // namespace
}  // namespace kestrune::win
