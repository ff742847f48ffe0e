#pragma once
// Audio endpoints through IMMDeviceEnumerator: look-up, names, identifiers and
// formats. Every call needs COM initialised on the calling thread.

#include <audioclient.h>
#include <mmdeviceapi.h>
#include <windows.h>
#include <wrl/client.h>

#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "capture/wave_format.hpp"
#include "output_format.hpp"

namespace kestrune::win {

using Microsoft::WRL::ComPtr;

// A failed step as its text, e.g. "Activate: 0x88890004".
using StepResult = std::expected<void, std::string>;
template <class T>
using StepValue = std::expected<T, std::string>;

[[nodiscard]] StepValue<ComPtr<IMMDeviceEnumerator>> create_enumerator();

// Without an identifier the default endpoint of the flow (console role). The
// error names the step as "GetDevice/GetDefaultAudioEndpoint".
[[nodiscard]] StepValue<ComPtr<IMMDevice>> open_endpoint(IMMDeviceEnumerator* enumerator,
                                                         EDataFlow flow,
                                                         const std::optional<std::string>& id);

[[nodiscard]] std::optional<std::string> friendly_name(IMMDevice* device);
// A null identifier counts as empty.
[[nodiscard]] std::optional<std::string> endpoint_id(IMMDevice* device);

// PKEY_AudioEngine_DeviceFormat as an OutputFormat; absent when unreadable.
[[nodiscard]] std::optional<OutputFormat> read_device_format(IMMDevice* device);

[[nodiscard]] StepValue<ComPtr<IAudioClient>> activate_audio_client(IMMDevice* device);

// The shared-mode mix format: its parsed description and its bytes, for
// IAudioClient::Initialize.
struct MixFormat {
    WaveFormatInfo info;
    std::vector<std::uint8_t> bytes;

    [[nodiscard]] const WAVEFORMATEX* get() const {
        return reinterpret_cast<const WAVEFORMATEX*>(bytes.data());
    }
};
[[nodiscard]] StepValue<MixFormat> read_mix_format(IAudioClient* client);

// One active endpoint of a flow, in the system's order.
struct EndpointInfo {
    std::string name;
    std::string id;
    std::optional<MixFormat> mix;  // filled only when asked for
};

// Active endpoints with a readable friendly name and identifier; empty when
// enumeration fails. Namesakes are told apart as distinct_device_names does,
// counted over every active endpoint of the flow, so a name stays the same
// whichever list it is read from. with_mix leaves out endpoints whose mix
// format cannot be read.
[[nodiscard]] std::vector<EndpointInfo> list_endpoints(EDataFlow flow, bool with_mix);

}  // namespace kestrune::win

namespace kestrune::win {

// Output endpoints other than the one whose identifier is given.
[[nodiscard]] std::vector<EndpointInfo> render_endpoints_except(
    const std::optional<std::string>& default_id);

[[nodiscard]] std::optional<std::string> default_capture_id();
// The default capture endpoint's name as list_endpoints gives it, when there
// is one and it is readable.
[[nodiscard]] std::optional<std::string> default_capture_name();

// Capture endpoints with a readable mix format, without the default capture
// endpoint, each with its mix format.
[[nodiscard]] std::vector<EndpointInfo> input_endpoints();

}  // namespace kestrune::win
