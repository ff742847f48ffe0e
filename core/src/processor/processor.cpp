#include "processor.hpp"

#include <algorithm>
#include <limits>
#include <string>
#include <system_error>
#include <thread>

#include "io/console.hpp"

namespace kestrune {
namespace {

constexpr std::uint64_t NS_PER_SECOND = 1'000'000'000;
// One cycle never owes more silence than this, so a machine that slept for
// hours does not write hours of zeros in one go.
constexpr std::chrono::nanoseconds MAX_SILENCE_STEP = std::chrono::seconds(60);

std::size_t block_len_of(const OutputFormat& f) {
    return static_cast<std::size_t>(f.channels) * std::max<std::uint32_t>(f.sample_rate / 200, 1);
}

void saturating_increment(std::uint64_t& v) {
    if (v != std::numeric_limits<std::uint64_t>::max())
        ++v;
}

}  // namespace

Processor::Processor(ProcessorSetup setup, CycleClock& clock)
    : setup_(std::move(setup)), clock_(clock) {
    sources_.reserve(setup_.inputs.size());
    for (std::size_t i = 0; i < setup_.inputs.size(); ++i) {
        const SourceInput& in = setup_.inputs[i];
        const OutputFormat target = i < setup_.targets.size() ? setup_.targets[i] : OutputFormat{};
        Source s{SampleQueue{},
                 SourceConverter(in.native_rate, in.native_channels, target.sample_rate,
                                 target.channels, in.channel_mask),
                 in.enabled->load(),
                 false,
                 0,
                 block_len_of(target),
                 target.sample_rate,
                 target.channels,
                 0,
                 {},
                 0,
                 0};
        sources_.push_back(std::move(s));
    }
    if (setup_.instructions) {
        for (std::size_t i = 0; i < sources_.size() && i < setup_.outputs.size(); ++i) {
            if (sources_[i].previous_enabled)
                (void)setup_.instructions->write("0 " + instruction_name(setup_.outputs[i]) + "\n");
        }
    }
    last_cycle_ = clock_.now();
}

Processor::~Processor() {
    if (!finished_)
        finish();
}

void Processor::run() {
    std::chrono::nanoseconds next = clock_.now();
    for (;;) {
        next += CYCLE_INTERVAL;
        const std::chrono::nanoseconds now = clock_.now();
        if (next > now) {
            clock_.sleep_for(next - now);
        } else if (now - next > 20 * CYCLE_INTERVAL) {
            next = now;  // far behind (a stalled disk): resume the rhythm from here
        }
        if (!cycle())
            return;
    }
}

bool Processor::cycle() {
    if (finished_)
        return false;
    const std::chrono::nanoseconds now = clock_.now();
    const std::chrono::nanoseconds elapsed =
        std::max(now - last_cycle_, std::chrono::nanoseconds(0));
    last_cycle_ = now;

    if (!adopt_late_sources()) {
        finish();
        return false;
    }
    for (std::size_t i = 0; i < sources_.size(); ++i)
        sources_[i].taken = setup_.inputs[i].buffer->take_all();
    const bool stopping = setup_.stop->load();
    for (std::size_t i = 0; i < sources_.size(); ++i)
        sources_[i].enabled = setup_.inputs[i].enabled->load();

    if (setup_.mode == RecordingMode::StemsInstructed && !handle_enabled_changes()) {
        finish();
        return false;
    }
    if (!convert_taken()) {
        finish();
        return false;
    }
    if (stopping) {
        flush_resamplers();
        final_drain();
        finish();
        return false;
    }

    if (setup_.mode != RecordingMode::StemsInstructed) {
        for (Source& s : sources_) {
            if (s.enabled)
                continue;
            s.backlog.clear();
            s.converter.drop_pending();
            s.idle_cycles = 0;
        }
    }
    if (setup_.mode == RecordingMode::SingleFile) {
        mix_loop(elapsed);
    } else {
        stem_writing(elapsed);
    }
    if (error_) {
        finish();
        return false;
    }
    return true;
}

bool Processor::adopt_late_sources() {
    if (!setup_.late)
        return true;
    std::vector<LateSource> added;
    {
        std::lock_guard lock(setup_.late->mutex);
        added.swap(setup_.late->added);
    }
    for (LateSource& late : added) {
        const OutputFormat target = late.output.format;
        if (setup_.mode != RecordingMode::SingleFile) {
            OutputSlot slot = std::move(late.output);
            // A silence-padded stem exists from the moment its slot does; an
            // instructed one opens its first segment when its source runs.
            if (setup_.mode == RecordingMode::StemsSilence) {
                const std::filesystem::path path = unique_path(slot.base_path);
                Result<RecpartWriter> w = RecpartWriter::create(path, slot.format, setup_.writer);
                if (!w) {
                    record(std::move(w.error()));
                    return false;
                }
                setup_.files.push_back(path);
                slot.writer.emplace(std::move(*w));
                slot.has_segment = true;
            }
            setup_.outputs.push_back(std::move(slot));
        }
        // Until its stream says otherwise, the source is taken to deliver the
        // recording's own rate and channels.
        setup_.inputs.push_back(
            {late.buffer, late.enabled, target.sample_rate, target.channels, 0});
        setup_.targets.push_back(target);
        sources_.push_back(Source{SampleQueue{},
                                  SourceConverter(target.sample_rate, target.channels,
                                                  target.sample_rate, target.channels),
                                  false,
                                  false,
                                  0,
                                  block_len_of(target),
                                  target.sample_rate,
                                  target.channels,
                                  0,
                                  {},
                                  0,
                                  0});
    }
    // The mix keeps 1/N over every slot there is.
    setup_.mix_divisor = std::max<std::uint64_t>(setup_.mix_divisor, sources_.size());
    return true;
}

bool Processor::handle_enabled_changes() {
    for (std::size_t i = 0; i < sources_.size() && i < setup_.outputs.size(); ++i) {
        Source& s = sources_[i];
        if (s.enabled == s.previous_enabled)
            continue;
        OutputSlot& slot = setup_.outputs[i];
        if (s.enabled) {
            if (slot.has_segment)
                ++slot.segment;
            slot.has_segment = true;
            const std::filesystem::path path = unique_path(segment_file_path(slot, 1));
            Result<RecpartWriter> w = RecpartWriter::create(path, slot.format, setup_.writer);
            if (!w) {
                record(std::move(w.error()));
                for (Source& t : sources_)
                    t.taken.clear();
                return false;
            }
            setup_.files.push_back(path);
            if (slot.writer)
                slot.writer->close();
            slot.writer.emplace(std::move(*w));
            s.segment_start = timeline_position_;
            s.segment_frames = 0;
            if (setup_.instructions) {
                (void)setup_.instructions->write(std::to_string(timeline_position_) + " " +
                                                 instruction_name(slot) + "\n");
            }
        } else {
            end_segment(slot);
            s.backlog.clear();
            s.converter.drop_pending();
            s.idle_cycles = 0;
        }
        s.previous_enabled = s.enabled;
    }
    return true;
}

bool Processor::convert_taken() {
    for (std::size_t i = 0; i < sources_.size(); ++i) {
        Source& s = sources_[i];
        if (s.taken.empty()) {
            // Less than a block left counts as idle too: otherwise a source
            // that stops after a packet of odd length would hold the others
            // back until it delivers again.
            if (s.enabled && s.backlog.size() < s.block_len)
                saturating_increment(s.idle_cycles);
            continue;
        }
        s.idle_cycles = 0;
        for (const SampleChunk& chunk : s.taken) {
            scratch_.clear();
            if (auto r = s.converter.convert(chunk, scratch_); !r) {
                write_stderr_line("Failed to create resampler for source " + std::to_string(i) +
                                  ": " + r.error());
                record(make_error(ErrorKind::Other, r.error()));
                for (Source& t : sources_)
                    t.taken.clear();
                return false;
            }
            s.backlog.append(scratch_);
            if (setup_.levels && s.enabled)
                setup_.levels->add(i, scratch_);
        }
        s.taken.clear();
    }
    return true;
}

void Processor::flush_resamplers() {
    // Disabled sources lose their backlog at stop anyway.
    for (Source& s : sources_) {
        if (!s.enabled || !s.converter.resamples())
            continue;
        scratch_.clear();
        if (s.converter.flush(scratch_))
            s.backlog.append(scratch_);
    }
}

std::uint64_t Processor::silence_blocks(std::uint64_t& credit, std::chrono::nanoseconds elapsed,
                                        std::uint32_t rate, std::size_t block_frames) const {
    const auto step = static_cast<std::uint64_t>(std::min(elapsed, MAX_SILENCE_STEP).count());
    credit += step * rate;
    const std::uint64_t per_block = static_cast<std::uint64_t>(block_frames) * NS_PER_SECOND;
    if (per_block == 0)
        return 0;
    const std::uint64_t blocks = credit / per_block;
    credit -= blocks * per_block;
    return blocks;
}

bool Processor::mix_and_write(std::size_t n) {
    block_.assign(n, 0.0f);
    const float g = 1.0f / static_cast<float>(setup_.mix_divisor == 0 ? 1 : setup_.mix_divisor);
    for (Source& s : sources_) {
        if (!s.enabled)
            continue;
        const std::size_t k = std::min(n, s.backlog.size());
        const std::span<const float> x = s.backlog.front(k);
        for (std::size_t t = 0; t < k; ++t)
            block_[t] += g * x[t];
        s.backlog.drop(k);
    }
    for (float& v : block_)
        v = std::clamp(v, -1.0f, 1.0f);
    if (setup_.outputs.empty())
        return true;
    OutputSlot& slot = setup_.outputs.front();
    if (!slot.writer)
        return true;
    Result<void> r =
        slot.writer->write_block(block_, next_mix_part(slot, setup_.session_dir), setup_.files);
    if (!r) {
        error_ = std::move(r.error());  // in the final drain a later error replaces an earlier one
        return false;
    }
    return true;
}

void Processor::mix_loop(std::chrono::nanoseconds elapsed) {
    if (sources_.empty())
        return;
    const std::size_t b = sources_.front().block_len;
    const bool any_enabled =
        std::any_of(sources_.begin(), sources_.end(), [](const Source& s) { return s.enabled; });
    if (!any_enabled) {
        // Silence by the clock, not by the cycle: a cycle is never exactly
        // 5 ms, and the file must grow with real time.
        const Source& first = sources_.front();
        const std::size_t frames = first.target_channels ? b / first.target_channels : 0;
        const std::uint64_t blocks =
            silence_blocks(mix_silence_credit_, elapsed, first.target_rate, frames);
        for (std::uint64_t k = 0; k < blocks; ++k)
            if (!mix_and_write(b))
                return;
        return;
    }
    mix_silence_credit_ = 0;
    for (;;) {
        const bool held_back = std::any_of(sources_.begin(), sources_.end(), [b](const Source& s) {
            return s.enabled && s.backlog.size() < b && s.idle_cycles < IDLE_LIMIT;
        });
        if (held_back)
            return;
        if (!mix_and_write(b))
            return;
        bool any_left = false;
        for (Source& s : sources_) {
            if (!s.enabled)
                continue;
            if (s.backlog.empty()) {
                saturating_increment(s.idle_cycles);
            } else {
                any_left = true;
            }
        }
        if (!any_left)
            return;
    }
}

Result<void> Processor::write_to_slot(std::size_t i, std::span<const float> samples) {
    if (i >= setup_.outputs.size())
        return {};
    OutputSlot& slot = setup_.outputs[i];
    if (!slot.writer)
        return {};  // no file for this source right now: dropped
    return slot.writer->write_block(samples, next_segment_part(slot), setup_.files);
}

void Processor::stem_writing(std::chrono::nanoseconds elapsed) {
    for (std::size_t i = 0; i < sources_.size(); ++i) {
        Source& s = sources_[i];
        const std::size_t b = s.block_len;
        if (s.enabled) {
            s.silence_credit = 0;
            while (s.backlog.size() >= b || (s.idle_cycles >= IDLE_LIMIT && !s.backlog.empty())) {
                const std::size_t k = std::min(b, s.backlog.size());
                Result<void> r = write_to_slot(i, s.backlog.front(k));
                s.backlog.drop(k);
                if (!r) {
                    record(std::move(r.error()));
                    return;
                }
                if (s.target_channels)
                    s.segment_frames += k / s.target_channels;
                if (s.backlog.empty())
                    saturating_increment(s.idle_cycles);
            }
        } else if (setup_.mode == RecordingMode::StemsSilence) {
            // As many blocks as real time has passed, so a switched-off stem
            // stays aligned with the ones that record.
            const std::size_t frames = s.target_channels ? b / s.target_channels : 0;
            const std::uint64_t blocks =
                silence_blocks(s.silence_credit, elapsed, s.target_rate, frames);
            if (blocks > 0)
                block_.assign(b, 0.0f);
            for (std::uint64_t k = 0; k < blocks; ++k) {
                if (Result<void> r = write_to_slot(i, block_); !r) {
                    record(std::move(r.error()));
                    return;
                }
            }
        }
    }
    // The timeline reaches as far as the furthest segment end. Adding up the
    // busiest source's blocks per cycle instead would run ahead of real time
    // whenever sources deliver out of step (one in this cycle, the other in
    // the next), and misplace every later segment.
    if (setup_.mode == RecordingMode::StemsInstructed) {
        for (const Source& s : sources_) {
            if (s.enabled)
                timeline_position_ =
                    std::max(timeline_position_, s.segment_start + s.segment_frames);
        }
    }
}

void Processor::final_drain() {
    if (setup_.mode == RecordingMode::SingleFile) {
        if (sources_.empty())
            return;
        const std::size_t b = sources_.front().block_len;
        const std::uint16_t channels =
            setup_.outputs.empty()
                ? 1
                : std::max<std::uint16_t>(setup_.outputs.front().format.channels, 1);
        for (;;) {
            std::size_t m = 0;
            for (const Source& s : sources_)
                if (s.enabled)
                    m = std::max(m, s.backlog.size());
            const std::size_t n = std::min(m, b) / channels * channels;
            if (n == 0)
                return;
            (void)mix_and_write(n);
        }
    }
    for (std::size_t i = 0; i < sources_.size(); ++i) {
        Source& s = sources_[i];
        if (!s.enabled) {
            s.backlog.clear();
            continue;
        }
        while (!s.backlog.empty()) {
            const std::size_t k = std::min(s.block_len, s.backlog.size());
            Result<void> r = write_to_slot(i, s.backlog.front(k));
            s.backlog.drop(k);
            if (!r) {
                record(std::move(r.error()));
                return;
            }
        }
    }
}

void Processor::finish() {
    if (finished_)
        return;
    finished_ = true;
    for (OutputSlot& slot : setup_.outputs) {
        if (!slot.writer)
            continue;
        if (Result<void> r = slot.writer->finish(); !r)
            record(std::move(r.error()));
    }
    if (setup_.instructions)
        (void)setup_.instructions->flush();
    if (error_ && setup_.error_slot)
        setup_.error_slot->set(error_->text);
    // Closed before the list goes out: on Windows the receiver renames and
    // moves these files at once, which fails while a handle is still open.
    for (OutputSlot& slot : setup_.outputs)
        if (slot.writer)
            slot.writer->close();
    setup_.outputs.clear();
    if (setup_.instructions)
        setup_.instructions->close();
    setup_.instructions.reset();
    setup_.status.send(std::move(setup_.files));

    sources_.clear();
    setup_.inputs.clear();
    // The last reference to the capture list may be this one: releasing it
    // stops the captures and waits for their threads.
    setup_.captures.reset();
    setup_.stop.reset();
    setup_.error_slot.reset();
    setup_.levels.reset();
    setup_.status = StatusSender();
}

Result<void> start_processor_thread(ProcessorSetup setup) {
    try {
        std::thread([setup = std::move(setup)]() mutable {
            const std::unique_ptr<CycleClock> clock = make_system_cycle_clock();
            Processor processor(std::move(setup), *clock);
            processor.run();
        }).detach();
    } catch (const std::system_error& e) {
        return fail(ErrorKind::Other,
                    std::string("could not start the processor thread: ") + e.what());
    }
    return {};
}

}  // namespace kestrune
