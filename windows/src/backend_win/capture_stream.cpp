#include "backend_win/capture_stream.hpp"

#include "common/win_error.hpp"

namespace kestrune::win {

bool is_device_lost(HRESULT hr) {
    return hr == AUDCLNT_E_DEVICE_INVALIDATED || hr == AUDCLNT_E_SERVICE_NOT_RUNNING ||
           hr == AUDCLNT_E_RESOURCES_INVALIDATED;
}

std::expected<CaptureStream, OpenError> CaptureStream::open(IMMDevice* device, bool loopback) {
    auto failed = [](std::string text) { return std::unexpected(OpenError{std::move(text), {}}); };
    CaptureStream s;
    auto client = activate_audio_client(device);
    if (!client)
        return failed(client.error());
    s.client_ = std::move(*client);
    auto mix = read_mix_format(s.client_.Get());
    if (!mix)
        return failed(mix.error());
    s.format_ = mix->info;
    auto encoding = stream_encoding(s.format_);
    if (!encoding) {
        return std::unexpected(
            OpenError{"unsupported sample format " + encoding.error(), encoding.error()});
    }
    s.encoding_ = *encoding;
    const DWORD flags = loopback ? AUDCLNT_STREAMFLAGS_LOOPBACK : 0;
    HRESULT hr = s.client_->Initialize(AUDCLNT_SHAREMODE_SHARED, flags, CAPTURE_BUFFER_DURATION, 0,
                                       mix->get(), nullptr);
    if (FAILED(hr))
        return failed(hr_text("Initialize", hr));
    hr = s.client_->GetService(IID_PPV_ARGS(&s.capture_));
    if (FAILED(hr))
        return failed(hr_text("GetService", hr));
    hr = s.client_->Start();
    if (FAILED(hr)) {
        s.capture_.Reset();
        return failed(hr_text("Start", hr));
    }
    return s;
}

CaptureStream::~CaptureStream() {
    // Only a started stream holds a capture client.
    if (capture_)
        client_->Stop();
}

PacketStamp packet_stamp(DWORD flags, UINT64 qpc_position) {
    PacketStamp stamp;
    stamp.discontinuity = (flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY) != 0;
    // The position is the performance counter in 100-ns units, the same
    // counter the processor's clock reads; 0 or a flagged error means the
    // stream could not tell, and the chunk then follows on from the last.
    if ((flags & AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR) == 0 && qpc_position != 0)
        stamp.time = std::chrono::nanoseconds(static_cast<long long>(qpc_position) * 100);
    return stamp;
}

std::optional<std::string> drain_packets(IAudioCaptureClient* capture, PacketChunker& chunker) {
    for (;;) {
        UINT32 next = 0;
        HRESULT hr = capture->GetNextPacketSize(&next);
        if (FAILED(hr)) {
            if (is_device_lost(hr))
                return hr_text("GetNextPacketSize", hr);
            return std::nullopt;
        }
        if (next == 0)
            return std::nullopt;
        BYTE* data = nullptr;
        UINT32 frames = 0;
        DWORD flags = 0;
        UINT64 device_position = 0;
        UINT64 qpc_position = 0;
        hr = capture->GetBuffer(&data, &frames, &flags, &device_position, &qpc_position);
        if (FAILED(hr)) {
            if (is_device_lost(hr))
                return hr_text("GetBuffer", hr);
            return std::nullopt;
        }
        if (hr == AUDCLNT_S_BUFFER_EMPTY)
            return std::nullopt;
        chunker.on_packet(data, frames, (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0,
                          packet_stamp(flags, qpc_position));
        capture->ReleaseBuffer(frames);
    }
}

}  // namespace kestrune::win
