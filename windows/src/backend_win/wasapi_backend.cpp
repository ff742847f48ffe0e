#include "backend_win/wasapi_backend.hpp"

#include <utility>

#include "backend_win/capture_threads.hpp"
#include "backend_win/default_render_id.hpp"
#include "backend_win/endpoints.hpp"
#include "capture/capture_texts.hpp"
#include "common/com.hpp"

namespace kestrune::win {
namespace {

// The stream's own rate and channels, so that the engine resamples from what
// the samples are in; bits and float from the device format.
OutputFormat native_format(const WaveFormatInfo& mix, IMMDevice* device) {
    OutputFormat f{mix.sample_rate, mix.channels, 16, false};
    if (device != nullptr) {
        if (auto d = read_device_format(device)) {
            f.bits_per_sample = d->bits_per_sample;
            f.is_float = d->is_float;
        }
    }
    return f;
}

ComPtr<IMMDevice> endpoint_by_id(EDataFlow flow, const std::optional<std::string>& id) {
    auto enumerator = create_enumerator();
    if (!enumerator)
        return nullptr;
    auto device = open_endpoint(enumerator->Get(), flow, id);
    return device ? *device : nullptr;
}

// id and name: the named device; none: the default, followed as it moves.
StartResult start_input(const std::optional<std::string>& id, std::string name,
                        const WaveFormatInfo& mix, std::shared_ptr<SampleBuffer> buffer) {
    auto health = std::make_shared<CaptureHealth>();
    auto capture = start_input_capture(id, std::move(name), std::move(buffer), health);
    if (!capture)
        return std::unexpected(capture.error());
    const ComPtr<IMMDevice> device = endpoint_by_id(eCapture, id);
    return StartedCapture{std::move(*capture), native_format(mix, device.Get()), mix.channel_mask,
                          std::move(health)};
}

// The native format of an output endpoint and its mix format's channel mask.
std::expected<std::pair<OutputFormat, std::uint32_t>, std::string> probe_loopback(
    const std::optional<std::string>& endpoint_id) {
    ComInit com;
    auto enumerator = create_enumerator();
    if (!enumerator)
        return std::unexpected(enumerator.error());
    auto device = open_endpoint(enumerator->Get(), eRender, endpoint_id);
    if (!device)
        return std::unexpected(device.error());
    if (!endpoint_id && !default_render_id()) {
        if (auto id = win::endpoint_id(device->Get()))
            store_default_render_id(std::move(*id));
    }
    auto client = activate_audio_client(device->Get());
    if (!client)
        return std::unexpected(client.error());
    auto mix = read_mix_format(client->Get());
    if (!mix)
        return std::unexpected(mix.error());
    return std::pair(native_format(mix->info, device->Get()), mix->info.channel_mask);
}

class WasapiBackend final : public CaptureBackend {
public:
    std::optional<std::string> default_input_name() override {
        ComInit com;
        return default_capture_name();
    }

    std::optional<OutputFormat> probe_input_format(const std::string& name) override {
        ComInit com;
        for (const EndpointInfo& e : list_endpoints(eCapture, false)) {
            if (e.name != name)
                continue;
            const ComPtr<IMMDevice> device = endpoint_by_id(eCapture, e.id);
            if (!device)
                return std::nullopt;
            if (auto client = activate_audio_client(device.Get())) {
                if (auto mix = read_mix_format(client->Get()))
                    return native_format(mix->info, device.Get());
            }
            return read_device_format(device.Get());
        }
        return std::nullopt;
    }

    std::expected<OutputFormat, std::string> probe_loopback_format(
        const std::optional<std::string>& endpoint_id) override {
        auto probed = probe_loopback(endpoint_id);
        if (!probed)
            return std::unexpected(probed.error());
        return probed->first;
    }

    StartResult start_default_input(std::shared_ptr<SampleBuffer> buffer) override {
        ComInit com;
        WaveFormatInfo mix;
        {
            auto enumerator = create_enumerator();
            if (!enumerator)
                return std::unexpected(std::string("No default input device"));
            auto device = open_endpoint(enumerator->Get(), eCapture, std::nullopt);
            if (!device)
                return std::unexpected(std::string("No default input device"));
            auto client = activate_audio_client(device->Get());
            if (!client)
                return std::unexpected("default_input_config: " + client.error());
            auto format = read_mix_format(client->Get());
            if (!format)
                return std::unexpected("default_input_config: " + format.error());
            mix = format->info;
        }
        return start_input(std::nullopt, {}, mix, std::move(buffer));
    }

    StartResult start_named_input(const std::string& name,
                                  std::shared_ptr<SampleBuffer> buffer) override {
        ComInit com;
        for (const EndpointInfo& e : input_endpoints()) {
            if (e.name == name)
                return start_input(e.id, e.name, e.mix->info, std::move(buffer));
        }
        return std::unexpected(name + ": input device not found");
    }

    StartResult start_loopback(const std::optional<std::string>& endpoint_id,
                               std::shared_ptr<SampleBuffer> buffer) override {
        auto probed = probe_loopback(endpoint_id);
        if (!probed)
            return std::unexpected(probed.error());
        std::string name;
        if (endpoint_id) {
            ComInit com;
            for (EndpointInfo& e : list_endpoints(eRender, false))
                if (e.id == *endpoint_id)
                    name = std::move(e.name);
        }
        auto health = std::make_shared<CaptureHealth>();
        return StartedCapture{
            start_loopback_capture(endpoint_id, std::move(name), std::move(buffer), health),
            probed->first, probed->second, health};
    }

    std::vector<InputDeviceEntry> list_input_devices() override {
        ComInit com;
        std::vector<InputDeviceEntry> list;
        for (EndpointInfo& e : input_endpoints())
            list.push_back({std::move(e.name)});
        return list;
    }

    std::vector<RenderEndpointEntry> list_render_endpoints() override {
        ComInit com;
        std::vector<RenderEndpointEntry> list;
        for (EndpointInfo& e : render_endpoints_except(default_render_id()))
            list.push_back({std::move(e.name), std::move(e.id)});
        return list;
    }
};

}  // namespace

std::unique_ptr<CaptureBackend> make_wasapi_backend() {
    return std::make_unique<WasapiBackend>();
}

}  // namespace kestrune::win
