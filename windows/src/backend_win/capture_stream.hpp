#pragma once
// The one WASAPI capture module: a shared-mode stream on a capture endpoint,
// or on a render endpoint in loopback mode, polled for packets.

#include <optional>
#include <string>

#include "backend_win/endpoints.hpp"
#include "capture/packet_chunker.hpp"

namespace kestrune::win {

// Endpoint buffer of the stream: 2 seconds in 100-ns units.
inline constexpr REFERENCE_TIME CAPTURE_BUFFER_DURATION = 20'000'000;

// Codes after which the endpoint will deliver nothing again.
[[nodiscard]] bool is_device_lost(HRESULT hr);

// Hands every ready packet of the capture client to the chunker. A failing
// packet call ends the drain; when the failure means the device is gone, the
// failed step's text is returned.
[[nodiscard]] std::optional<std::string> drain_packets(IAudioCaptureClient* capture,
                                                       PacketChunker& chunker);

// The recording-clock time and discontinuity mark of one packet, from the
// flags and performance-counter position GetBuffer gave.
[[nodiscard]] PacketStamp packet_stamp(DWORD flags, UINT64 qpc_position);

struct OpenError {
    std::string text;
    // Set when the mix format's sample type cannot be converted.
    std::optional<std::string> unsupported_type;
};

class CaptureStream {
public:
    // Activate, GetMixFormat, Initialize (shared mode, 2 s, polled; loopback
    // adds AUDCLNT_STREAMFLAGS_LOOPBACK), GetService, Start. Each failure is
    // its step's text.
    [[nodiscard]] static std::expected<CaptureStream, OpenError> open(IMMDevice* device,
                                                                      bool loopback);

    CaptureStream(CaptureStream&&) = default;
    CaptureStream& operator=(CaptureStream&&) = default;
    ~CaptureStream();

    [[nodiscard]] const WaveFormatInfo& format() const { return format_; }
    [[nodiscard]] SampleEncoding encoding() const { return encoding_; }

    [[nodiscard]] std::optional<std::string> drain(PacketChunker& chunker) {
        return drain_packets(capture_.Get(), chunker);
    }

private:
    CaptureStream() = default;

    ComPtr<IAudioClient> client_;
    ComPtr<IAudioCaptureClient> capture_;
    WaveFormatInfo format_;
    SampleEncoding encoding_ = SampleEncoding::F32;
};

}  // namespace kestrune::win
