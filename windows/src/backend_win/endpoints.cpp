// The property keys are defined here, once for the program.
#include <initguid.h>

#include "backend_win/endpoints.hpp"

#include <functiondiscoverykeys_devpkey.h>

#include <span>

#include "capture/device_names.hpp"
#include "common/com.hpp"
#include "common/wide.hpp"
#include "common/win_error.hpp"

namespace kestrune::win {

StepValue<ComPtr<IMMDeviceEnumerator>> create_enumerator() {
    ComPtr<IMMDeviceEnumerator> enumerator;
    const HRESULT hr = ::CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                          IID_PPV_ARGS(&enumerator));
    if (FAILED(hr))
        return std::unexpected(hr_text("CoCreateInstance", hr));
    return enumerator;
}

StepValue<ComPtr<IMMDevice>> open_endpoint(IMMDeviceEnumerator* enumerator, EDataFlow flow,
                                           const std::optional<std::string>& id) {
    ComPtr<IMMDevice> device;
    const HRESULT hr = id ? enumerator->GetDevice(to_wide(*id).c_str(), &device)
                          : enumerator->GetDefaultAudioEndpoint(flow, eConsole, &device);
    if (FAILED(hr))
        return std::unexpected(hr_text("GetDevice/GetDefaultAudioEndpoint", hr));
    return device;
}

std::optional<std::string> friendly_name(IMMDevice* device) {
    ComPtr<IPropertyStore> store;
    if (FAILED(device->OpenPropertyStore(STGM_READ, &store)))
        return std::nullopt;
    PropVariant value;
    if (FAILED(store->GetValue(PKEY_Device_FriendlyName, value.put())))
        return std::nullopt;
    if (value.get().vt != VT_LPWSTR || value.get().pwszVal == nullptr)
        return std::nullopt;
    return to_utf8(value.get().pwszVal);
}

std::optional<std::string> endpoint_id(IMMDevice* device) {
    CoTaskMemPtr<wchar_t> id;
    if (FAILED(device->GetId(id.put())))
        return std::nullopt;
    if (!id)
        return std::string();
    return to_utf8(id.get());
}

std::optional<OutputFormat> read_device_format(IMMDevice* device) {
    ComPtr<IPropertyStore> store;
    if (FAILED(device->OpenPropertyStore(STGM_READ, &store)))
        return std::nullopt;
    PropVariant value;
    if (FAILED(store->GetValue(PKEY_AudioEngine_DeviceFormat, value.put())))
        return std::nullopt;
    if (value.get().vt != VT_BLOB || value.get().blob.pBlobData == nullptr)
        return std::nullopt;
    return device_format_from_blob(
        std::span<const std::uint8_t>(value.get().blob.pBlobData, value.get().blob.cbSize));
}

StepValue<ComPtr<IAudioClient>> activate_audio_client(IMMDevice* device) {
    ComPtr<IAudioClient> client;
    const HRESULT hr = device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr,
                                        reinterpret_cast<void**>(client.GetAddressOf()));
    if (FAILED(hr))
        return std::unexpected(hr_text("Activate", hr));
    return client;
}

StepValue<MixFormat> read_mix_format(IAudioClient* client) {
    CoTaskMemPtr<WAVEFORMATEX> format;
    const HRESULT hr = client->GetMixFormat(format.put());
    if (FAILED(hr))
        return std::unexpected(hr_text("GetMixFormat", hr));
    if (!format)
        return std::unexpected(hr_text("GetMixFormat", E_POINTER));
    const std::size_t size = sizeof(WAVEFORMATEX) + format->cbSize;
    const auto* first = reinterpret_cast<const std::uint8_t*>(format.get());
    MixFormat mix;
    mix.bytes.assign(first, first + size);
    mix.info = *parse_wave_format(mix.bytes);
    return mix;
}

std::vector<EndpointInfo> list_endpoints(EDataFlow flow, bool with_mix) {
    std::vector<EndpointInfo> list;
    auto enumerator = create_enumerator();
    if (!enumerator)
        return list;
    ComPtr<IMMDeviceCollection> collection;
    if (FAILED((*enumerator)->EnumAudioEndpoints(flow, DEVICE_STATE_ACTIVE, &collection)))
        return list;
    UINT count = 0;
    if (FAILED(collection->GetCount(&count)))
        return list;
    for (UINT i = 0; i < count; ++i) {
        ComPtr<IMMDevice> device;
        if (FAILED(collection->Item(i, &device)))
            continue;
        std::optional<std::string> name = friendly_name(device.Get());
        if (!name)
            continue;
        std::optional<std::string> id = endpoint_id(device.Get());
        if (!id)
            continue;
        EndpointInfo info{std::move(*name), std::move(*id), std::nullopt};
        if (with_mix) {
            if (auto client = activate_audio_client(device.Get())) {
                if (auto mix = read_mix_format(client->Get()))
                    info.mix = std::move(*mix);
            }
        }
        list.push_back(std::move(info));
    }
    // Named before any is left out, so that numbering never depends on with_mix.
    std::vector<std::string> names;
    for (const EndpointInfo& e : list)
        names.push_back(e.name);
    names = distinct_device_names(names);
    for (std::size_t i = 0; i < list.size(); ++i)
        list[i].name = std::move(names[i]);
    if (with_mix)
        std::erase_if(list, [](const EndpointInfo& e) { return !e.mix; });
    return list;
}

}  // namespace kestrune::win

namespace kestrune::win {

std::vector<EndpointInfo> render_endpoints_except(const std::optional<std::string>& default_id) {
    std::vector<EndpointInfo> list = list_endpoints(eRender, false);
    if (default_id)
        std::erase_if(list, [&](const EndpointInfo& e) { return e.id == *default_id; });
    return list;
}

std::optional<std::string> default_capture_id() {
    auto enumerator = create_enumerator();
    if (!enumerator)
        return std::nullopt;
    auto device = open_endpoint(enumerator->Get(), eCapture, std::nullopt);
    if (!device)
        return std::nullopt;
    return endpoint_id(device->Get());
}

std::optional<std::string> default_capture_name() {
    const std::optional<std::string> id = default_capture_id();
    if (!id)
        return std::nullopt;
    for (EndpointInfo& e : list_endpoints(eCapture, false))
        if (e.id == *id)
            return std::move(e.name);
    return std::nullopt;
}

std::vector<EndpointInfo> input_endpoints() {
    const std::optional<std::string> default_id = default_capture_id();
    std::vector<EndpointInfo> list = list_endpoints(eCapture, true);
    // Only the default endpoint itself: another that bears its name is a
    // device of its own, listed as "name (2)".
    if (default_id)
        std::erase_if(list, [&](const EndpointInfo& e) { return e.id == *default_id; });
    return list;
}

}  // namespace kestrune::win
