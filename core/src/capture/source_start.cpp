#include "capture/source_start.hpp"

#include <utility>

#include "io/console.hpp"

namespace kestrune {
namespace {

std::expected<CaptureSource, std::string> start_by_kind(CaptureBackend& backend,
                                                        const SourceSpec& spec,
                                                        std::shared_ptr<SampleBuffer> buffer) {
    auto started = [&](StartResult r,
                       std::string prefix) -> std::expected<CaptureSource, std::string> {
        if (!r)
            return std::unexpected(std::move(prefix) + r.error());
        return CaptureSource{spec, std::move(r->capture), std::move(r->health)};
    };
    switch (spec.kind) {
        case SourceKind::SystemAudio:
            return started(backend.start_loopback(std::nullopt, std::move(buffer)),
                           "Failed to start loopback: ");
        case SourceKind::DefaultMicrophone:
            return started(backend.start_default_input(std::move(buffer)), "Failed to start mic: ");
        case SourceKind::InputDevice:
            return started(backend.start_named_input(spec.name, std::move(buffer)),
                           "Failed to start " + spec.name + ": ");
        case SourceKind::LoopbackDevice: {
            std::string_view friendly = spec.name;
            if (is_loopback_entry(friendly))
                friendly.remove_prefix(LOOPBACK_PREFIX.size());
            for (const RenderEndpointEntry& e : backend.list_render_endpoints()) {
                if (e.friendly_name == friendly) {
                    return started(backend.start_loopback(e.id, std::move(buffer)),
                                   "Failed to start loopback " + spec.name + ": ");
                }
            }
            return std::unexpected(spec.name + ": device not found");
        }
    }
    return std::unexpected(spec.name + ": device not found");
}

}  // namespace

SourceStartReport run_source_start(CaptureBackend& backend, const SourceSpec& spec,
                                   std::uint64_t index, std::shared_ptr<SampleBuffer> buffer) {
    SourceStartReport report{spec, index, start_by_kind(backend, spec, std::move(buffer))};
    if (!report.result)
        write_stderr_line(report.result.error());
    return report;
}

}  // namespace kestrune
