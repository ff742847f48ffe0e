#include "recorder.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <tuple>

#include "capture/capture_list.hpp"
#include "io/console.hpp"
#include "processor/error_slot.hpp"
#include "processor/late_sources.hpp"
#include "processor/processor.hpp"
#include "processor/status_channel.hpp"
#include "session/session.hpp"
#include "session/session_names.hpp"
#include "text/path_text.hpp"

namespace kestrune {
namespace {

constexpr OutputFormat FALLBACK_NATIVE_FORMAT{44100, 2, 16, false};

struct SourceSlot {
    SourceSpec spec;
    std::shared_ptr<SampleBuffer> buffer;        // shared with the capture and the processor
    std::shared_ptr<std::atomic<bool>> enabled;  // shared with the processor
    OutputFormat native_format;
    std::uint32_t channel_mask = 0;
};

bool greater_format(const OutputFormat& a, const OutputFormat& b) {
    return std::tuple(a.sample_rate, a.channels, a.is_float, a.bits_per_sample) >
           std::tuple(b.sample_rate, b.channels, b.is_float, b.bits_per_sample);
}

std::uint64_t seconds_now() {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    const auto s = std::chrono::duration_cast<std::chrono::seconds>(since).count();
    return s > 0 ? static_cast<std::uint64_t>(s) : 0;
}

// The writer takes 16- and 24-bit integers: a device depth between them keeps
// its precision at 24, a deeper one as float, a shallower one becomes 16.
OutputFormat writable_depth(OutputFormat f) {
    if (f.bits_per_sample > 24) {
        f.is_float = true;
        f.bits_per_sample = 32;
    } else {
        f.bits_per_sample = f.bits_per_sample > 16 ? 24 : 16;
    }
    return f;
}

// What a failed start must not leave behind: files that never held audio.
void remove_session_files(const Session& session, RecordingMode mode) {
    std::error_code ec;
    if (mode == RecordingMode::SingleFile) {
        std::filesystem::remove(session.main_file, ec);
    } else if (!session.outputs.empty()) {
        std::filesystem::remove_all(session.outputs.front().base_path.parent_path(), ec);
    }
    if (session.created)
        std::filesystem::remove(session.output_dir, ec);
}

}  // namespace

struct Recorder::State {
    std::optional<StatusReceiver> status;
    std::vector<SourceSlot> slots;
    std::filesystem::path output_dir;
    std::filesystem::path target;
    std::vector<std::string> warnings;
    std::shared_ptr<CaptureList> captures;
    std::shared_ptr<std::atomic<bool>> stop;
    std::shared_ptr<ErrorSlot> error_slot;
    std::shared_ptr<LateSources> late;  // shared with the processor
    std::filesystem::path stem_dir;     // the session folder of the stem modes
    std::shared_ptr<LevelMeters> levels;
    std::shared_ptr<std::atomic<std::int64_t>> end_at;  // shared with the processor
    mutable std::mutex started_mutex;
    std::set<std::size_t> started;
    OutputFormat format;
    // Slots whose captures, now stopped, had gaps; the list forgets them.
    std::set<std::size_t> gapped;
    bool created = false;
    RecordingMode mode = RecordingMode::SingleFile;

    std::size_t add_slot(SourceSpec spec, OutputFormat native) {
        slots.push_back({std::move(spec), std::make_shared<SampleBuffer>(),
                         std::make_shared<std::atomic<bool>>(false), native, 0});
        return slots.size() - 1;
    }

    // A failure becomes a warning; success makes the slot a running source.
    void take_start(std::size_t index, StartResult result, const std::string& failure_prefix) {
        SourceSlot& slot = slots[index];
        if (!result) {
            const std::string text = failure_prefix + result.error();
            write_stderr_line(text);
            warnings.push_back(text);
            return;
        }
        slot.native_format = result->native_format;
        slot.channel_mask = result->channel_mask;
        slot.enabled->exchange(true);
        {
            std::lock_guard lock(captures->mutex);
            captures->entries.push_back(
                {slot.spec, std::move(result->capture), std::move(result->health)});
        }
        std::lock_guard lock(started_mutex);
        started.insert(index);
    }

    void release_captures() {
        std::vector<CaptureSource> stopping;
        {
            std::lock_guard lock(captures->mutex);
            stopping.swap(captures->entries);
        }
        stopping.clear();
    }
};

Recorder::Recorder(std::unique_ptr<State> state) : state_(std::move(state)) {}
Recorder::Recorder(Recorder&&) noexcept = default;
Recorder& Recorder::operator=(Recorder&& other) noexcept {
    if (this != &other) {
        if (state_)
            (void)std::move(*this).stop();
        state_ = std::move(other.state_);
    }
    return *this;
}
Recorder::~Recorder() {
    if (state_)
        (void)std::move(*this).stop();
}

Result<Recorder> Recorder::start(const RecordOptions& options, RecorderServices services) {
    CaptureBackend& backend = services.backend;
    auto st = std::make_unique<State>();
    st->captures = std::make_shared<CaptureList>();
    st->stop = std::make_shared<std::atomic<bool>>(false);
    st->error_slot = std::make_shared<ErrorSlot>();
    st->late = std::make_shared<LateSources>();
    st->end_at = std::make_shared<std::atomic<std::int64_t>>(NO_END);
    st->mode = options.mode;

    {
        auto probed = backend.probe_loopback_format(std::nullopt);
        const std::size_t i =
            st->add_slot(SourceSpec::system_audio(), probed ? *probed : FALLBACK_NATIVE_FORMAT);
        if (options.loopback) {
            st->take_start(i, backend.start_loopback(std::nullopt, st->slots[i].buffer),
                           "System audio (loopback) failed to start: ");
        }
    }
    if (const std::optional<std::string> mic = backend.default_input_name()) {
        const std::size_t i =
            st->add_slot(SourceSpec::default_microphone(),
                         backend.probe_input_format(*mic).value_or(FALLBACK_NATIVE_FORMAT));
        if (options.mic) {
            st->take_start(i, backend.start_default_input(st->slots[i].buffer),
                           "Microphone failed to start: ");
        }
    }
    const auto wanted = [&options](const std::string& name) {
        return std::find(options.devices.begin(), options.devices.end(), name) !=
               options.devices.end();
    };
    if (std::any_of(options.devices.begin(), options.devices.end(),
                    [](const std::string& e) { return !is_loopback_entry(e); })) {
        for (const InputDeviceEntry& device : backend.list_input_devices()) {
            const std::size_t i = st->add_slot(
                SourceSpec::input_device(device.name),
                backend.probe_input_format(device.name).value_or(FALLBACK_NATIVE_FORMAT));
            if (wanted(device.name)) {
                st->take_start(i, backend.start_named_input(device.name, st->slots[i].buffer),
                               "Input \"" + device.name + "\" failed to start: ");
            }
        }
    }
    if (std::any_of(options.devices.begin(), options.devices.end(),
                    [](const std::string& e) { return is_loopback_entry(e); })) {
        for (const RenderEndpointEntry& endpoint : backend.list_render_endpoints()) {
            const std::string name = std::string(LOOPBACK_PREFIX) + endpoint.friendly_name;
            auto probed = backend.probe_loopback_format(endpoint.id);
            const std::size_t i = st->add_slot(SourceSpec::loopback_device(name),
                                               probed ? *probed : FALLBACK_NATIVE_FORMAT);
            if (wanted(name)) {
                st->take_start(i, backend.start_loopback(endpoint.id, st->slots[i].buffer),
                               "Loopback \"" + endpoint.friendly_name + "\" failed to start: ");
            }
        }
    }

    if (options.format) {
        st->format = *options.format;
    } else {
        st->format = st->slots.front().native_format;
        for (const SourceSlot& slot : st->slots)
            if (greater_format(slot.native_format, st->format))
                st->format = slot.native_format;
    }
    if (st->format.is_float)
        st->format.bits_per_sample = 32;
    else if (!options.format)
        st->format = writable_depth(st->format);

    SessionRequest request;
    request.requested_dir = options.output_dir;
    request.mode = options.mode;
    request.timestamp = session_timestamp(seconds_now());
    for (const SourceSlot& slot : st->slots) {
        request.labels.push_back(stem_label(slot.spec));
        request.formats.push_back(st->format);
        request.enabled.push_back(slot.enabled->load());
    }
    Result<Session> session = setup_session(request, services.locations, services.writer);
    if (!session) {
        st->release_captures();
        return std::unexpected(std::move(session.error()));
    }
    if (session->warning)
        st->warnings.insert(st->warnings.begin(), *session->warning);
    st->output_dir = session->output_dir;
    st->created = session->created;
    if (is_stems(options.mode) && !session->outputs.empty())
        st->stem_dir = session->outputs.front().base_path.parent_path();
    st->target = options.mode == RecordingMode::SingleFile || session->outputs.empty()
                     ? session->main_file
                     : session->outputs.front().base_path.parent_path();

    auto [sender, receiver] = make_status_channel();
    st->status.emplace(std::move(receiver));
    ProcessorSetup setup;
    setup.status = std::move(sender);
    for (const SourceSlot& slot : st->slots) {
        setup.inputs.push_back({slot.buffer, slot.enabled, slot.native_format.sample_rate,
                                slot.native_format.channels, slot.channel_mask});
        setup.targets.push_back(st->format);
    }
    // Kept for cleaning up should the thread not start; the writers move on.
    Session leftovers;
    leftovers.main_file = session->main_file;
    leftovers.output_dir = session->output_dir;
    leftovers.created = session->created;
    for (const OutputSlot& slot : session->outputs)
        leftovers.outputs.push_back({slot.base_path, slot.format, std::nullopt, 1, false});

    setup.outputs = std::move(session->outputs);
    setup.files = std::move(session->files);
    setup.session_dir = session->output_dir;
    setup.instructions = std::move(session->instructions);
    setup.stop = st->stop;
    setup.captures = st->captures;
    setup.error_slot = st->error_slot;
    st->levels = std::make_shared<LevelMeters>(std::max(st->slots.size(), LEVEL_METER_ROOM));
    setup.levels = st->levels;
    setup.mix_divisor = std::max<std::uint64_t>(st->slots.size(), 1);
    setup.late = st->late;
    setup.mode = options.mode;
    setup.writer = services.writer;
    setup.end_at = st->end_at;
    if (Result<void> started = start_processor_thread(std::move(setup)); !started) {
        st->release_captures();
        remove_session_files(leftovers, options.mode);
        return std::unexpected(std::move(started.error()));
    }
    return Recorder(std::move(st));
}

std::optional<std::string> Recorder::last_error() const {
    return state_->error_slot->get();
}

std::optional<std::size_t> Recorder::source_index(const SourceSpec& spec) const {
    for (std::size_t i = 0; i < state_->slots.size(); ++i)
        if (state_->slots[i].spec == spec)
            return i;
    return std::nullopt;
}

void Recorder::disable_source(const SourceSpec& spec) {
    const std::optional<std::size_t> index = source_index(spec);
    if (!index)
        return;
    state_->slots[*index].enabled->exchange(false);
    // The capture is stopped while the lock is held, so nobody sees it listed
    // once it is gone.
    std::lock_guard lock(state_->captures->mutex);
    auto& entries = state_->captures->entries;
    const auto it = std::find_if(entries.begin(), entries.end(),
                                 [&spec](const CaptureSource& c) { return c.spec == spec; });
    if (it != entries.end()) {
        if (it->health && it->health->gaps.load() > 0)
            state_->gapped.insert(*index);
        entries.erase(it);
    }
}

std::vector<SourceSpec> Recorder::lost_sources() const {
    std::vector<bool> lost(state_->slots.size(), false);
    {
        std::lock_guard lock(state_->captures->mutex);
        for (const CaptureSource& c : state_->captures->entries)
            if (c.health && c.health->lost.load())
                if (const auto i = source_index(c.spec))
                    lost[*i] = true;
    }
    std::vector<SourceSpec> specs;
    for (std::size_t i = 0; i < lost.size(); ++i)
        if (lost[i])
            specs.push_back(state_->slots[i].spec);
    return specs;
}

bool Recorder::is_source_running(const SourceSpec& spec) const {
    std::lock_guard lock(state_->captures->mutex);
    const auto& entries = state_->captures->entries;
    return std::any_of(entries.begin(), entries.end(),
                       [&spec](const CaptureSource& c) { return c.spec == spec; });
}

std::size_t Recorder::add_slot(const SourceSpec& spec) {
    if (const std::optional<std::size_t> index = source_index(spec))
        return *index;
    const std::size_t index = state_->add_slot(spec, FALLBACK_NATIVE_FORMAT);
    const SourceSlot& slot = state_->slots[index];
    OutputSlot output{{}, state_->format, std::nullopt, 1, false};
    if (is_stems(state_->mode)) {
        std::filesystem::path name = path_from_utf8(stem_label(spec));
        name += ".recpart";
        output.base_path = state_->stem_dir / name;
    }
    std::lock_guard lock(state_->late->mutex);
    state_->late->added.push_back({slot.buffer, slot.enabled, std::move(output)});
    return index;
}

std::optional<std::string> Recorder::attach_source(
    std::size_t index, std::expected<CaptureSource, std::string> result) {
    if (!result) {
        if (result.error() == "already active")
            return std::nullopt;
        return result.error();
    }
    if (index < state_->slots.size())
        state_->slots[index].enabled->exchange(true);
    {
        std::lock_guard lock(state_->captures->mutex);
        state_->captures->entries.push_back(std::move(*result));
    }
    std::lock_guard lock(state_->started_mutex);
    state_->started.insert(index);
    return std::nullopt;
}

void Recorder::end_after(std::chrono::nanoseconds length) {
    state_->end_at->store(length.count());
}

StopResult Recorder::stop() && {
    std::unique_ptr<State> st = std::move(state_);
    StopResult result;
    {
        std::lock_guard lock(st->started_mutex);
        result.used_sources = st->started.size();
    }
    result.total_sources = st->slots.size();
    result.output_dir = st->output_dir;
    result.created = st->created;
    result.stems = is_stems(st->mode);
    {
        std::lock_guard lock(st->captures->mutex);
        for (const CaptureSource& c : st->captures->entries) {
            if (!c.health || c.health->gaps.load() == 0)
                continue;
            for (std::size_t i = 0; i < st->slots.size(); ++i)
                if (st->slots[i].spec == c.spec)
                    st->gapped.insert(i);
        }
    }
    for (std::size_t i : st->gapped)
        result.gapped.push_back(st->slots[i].spec);
    // The processor holds the other reference and drains what the captures
    // delivered before it lets them go.
    st->captures.reset();
    st->stop->exchange(true);
    std::optional<FileList> files = st->status->receive();
    // Read only now: the final drain and the last header rewrites can fail too.
    result.error = st->error_slot->get();
    if (files) {
        result.files = std::move(*files);
    } else if (!result.error) {
        result.error = "processor thread stopped without reporting status";
    }
    return result;
}

const std::vector<std::string>& Recorder::warnings() const {
    return state_->warnings;
}
const std::filesystem::path& Recorder::output_dir() const {
    return state_->output_dir;
}
const std::filesystem::path& Recorder::target() const {
    return state_->target;
}
const OutputFormat& Recorder::output_format() const {
    return state_->format;
}
std::size_t Recorder::total_sources() const {
    return state_->slots.size();
}

const SourceSpec& Recorder::source_spec(std::size_t index) const {
    return state_->slots.at(index).spec;
}

bool Recorder::is_source_enabled(std::size_t index) const {
    return index < state_->slots.size() && state_->slots[index].enabled->load();
}

LevelMeters& Recorder::level_meters() const {
    return *state_->levels;
}

std::shared_ptr<SampleBuffer> Recorder::source_buffer(std::size_t index) const {
    if (index >= state_->slots.size())
        return nullptr;
    return state_->slots[index].buffer;
}

}  // namespace kestrune
