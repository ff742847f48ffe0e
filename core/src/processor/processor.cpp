#include "processor.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <string>
#include <system_error>
#include <thread>

#include "io/console.hpp"

namespace kestrune {
namespace {

constexpr std::int64_t NS_PER_SECOND = 1'000'000'000;

// The clock-following loop: a second-order loop on the position error (as
// the delay-locked loops of audio bridges), wide while it learns a device's
// rate and narrowing to LOOP_HZ_SETTLED, which averages several milliseconds
// of timestamp jitter down to a small fraction of one.
constexpr double LOOP_HZ_START = 0.3;
constexpr double LOOP_HZ_SETTLED = 0.02;
constexpr double LOOP_NARROWING_SECONDS = 5.0;
constexpr double LOOP_DAMPING = 0.707;
// Errors beyond this (seconds) are caught up at CATCH_UP_PACE instead of in
// proportion, and are not learnt as rate: late audio, not a faster clock. The
// pace does not narrow with the loop, so that audio placed 100 ms late by a
// long stall is back in about 25 s however long the recording has run.
constexpr double LOOP_ERROR_LIMIT = 0.005;
constexpr double CATCH_UP_PACE = 0.004;
// A timestamp is taken once audio has been captured, never before, and may
// come late by milliseconds (a busy system, a driver that stamps packets as
// they are read, a stream that hands over at once what it had queued). So a
// stream is placed by the lower envelope of its timestamps: a new stretch by
// a low percentile of where its first chunks put it (about 150 ms of them,
// all in hand before writing reaches it), and the loop by a low percentile
// of its errors over the last ENVELOPE_SECONDS. Not the least: a stamp now
// and then comes early too, and one must not move the stream.
constexpr int SETTLE_CHUNKS = 16;
constexpr double SETTLE_SPAN_SECONDS = 0.1;
constexpr double ENVELOPE_SECONDS = 0.5;
constexpr std::size_t ENVELOPE_PERCENTILE_DIVISOR = 10;  // the 10th percentile

// That percentile of `values`, which it reorders.
double low_percentile(std::vector<double>& values) {
    const auto k =
        values.begin() + static_cast<std::ptrdiff_t>(values.size() / ENVELOPE_PERCENTILE_DIVISOR);
    std::nth_element(values.begin(), k, values.end());
    return *k;
}

std::size_t block_len_of(const OutputFormat& f) {
    return static_cast<std::size_t>(f.channels) * std::max<std::uint32_t>(f.sample_rate / 200, 1);
}

// Whole frames at `rate` in `ns`, rounded towards minus infinity.
std::int64_t frames_in(std::int64_t ns, std::uint32_t rate) {
    std::int64_t whole = ns / NS_PER_SECOND;
    std::int64_t rest = ns % NS_PER_SECOND;
    if (rest < 0) {
        rest += NS_PER_SECOND;
        --whole;
    }
    return whole * rate + rest * static_cast<std::int64_t>(rate) / NS_PER_SECOND;
}

double exact_frames(std::int64_t ns, std::uint32_t rate) {
    return static_cast<double>(ns / NS_PER_SECOND) * rate +
           static_cast<double>(ns % NS_PER_SECOND) * rate / 1e9;
}

std::int64_t run_frames(const SampleQueue& q, std::uint16_t channels) {
    return channels ? static_cast<std::int64_t>(q.size() / channels) : 0;
}

}  // namespace

Processor::Source Processor::make_source(const SourceInput& in, const OutputFormat& target) const {
    Source s;
    s.probed_rate = in.native_rate;
    s.probed_channels = in.native_channels;
    s.probed_mask = in.channel_mask;
    s.previous_enabled = in.enabled->load();
    s.block_len = block_len_of(target);
    s.target_rate = target.sample_rate;
    s.target_channels = target.channels;
    return s;
}

Processor::Processor(ProcessorSetup setup, CycleClock& clock)
    : setup_(std::move(setup)), clock_(clock) {
    start_ = clock_.now();
    sources_.reserve(setup_.inputs.size());
    for (std::size_t i = 0; i < setup_.inputs.size(); ++i) {
        const OutputFormat target = i < setup_.targets.size() ? setup_.targets[i] : OutputFormat{};
        sources_.push_back(make_source(setup_.inputs[i], target));
    }
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

std::int64_t Processor::end_ns() const {
    std::int64_t end = stop_ns_.value_or(NO_END);
    if (setup_.end_at)
        end = std::min(end, setup_.end_at->load());
    return end;
}

bool Processor::cycle() {
    if (finished_)
        return false;
    const std::chrono::nanoseconds now = clock_.now();
    if (!adopt_late_sources()) {
        finish();
        return false;
    }
    for (std::size_t i = 0; i < sources_.size(); ++i)
        sources_[i].taken = setup_.inputs[i].buffer->take_all();
    const bool stopping = setup_.stop->load();
    if (stopping && !stop_ns_)
        stop_ns_ = (now - start_).count();
    for (std::size_t i = 0; i < sources_.size(); ++i)
        sources_[i].enabled = setup_.inputs[i].enabled->load();

    // Writing runs WRITE_DELAY behind the clock and never past the end.
    const std::int64_t end = end_ns();
    const std::int64_t behind = (now - start_ - WRITE_DELAY).count();
    const std::int64_t limit = std::min(behind, end);
    const bool final = stop_ns_.has_value() && behind >= end;

    if (setup_.mode == RecordingMode::StemsInstructed && !handle_enabled_changes(limit)) {
        finish();
        return false;
    }
    if (!place_taken(now)) {
        finish();
        return false;
    }
    for (Source& s : sources_) {
        if (!s.anchored)
            continue;
        // At the stop, or when writing is about to reach the end of what a
        // source delivered (it has stalled, or stopped), nothing more can
        // continue its stretch in time: what its filters hold comes out now.
        if (final || held_end(s) <= frames_in(limit, s.target_rate)) {
            if (Result<void> r = close_stretch(s); !r) {
                record(std::move(r.error()));
                finish();
                return false;
            }
        }
    }
    if (setup_.mode == RecordingMode::SingleFile) {
        write_mix(limit);
    } else {
        write_stems(limit, final);
    }
    for (const Source& s : sources_) {
        std::int64_t held = 0;
        for (const Run& r : s.runs)
            held += run_frames(r.samples, s.target_channels);
        largest_backlog_ = std::max(largest_backlog_, static_cast<std::uint64_t>(held));
    }
    if (error_ || final) {
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
            // A silence-padded stem exists from the moment its slot does, and
            // is padded from the start of the recording like the others; an
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
        Source s = make_source(setup_.inputs.back(), target);
        // Off until now, whatever its flag says already: switching on is
        // what opens an instructed segment.
        s.previous_enabled = false;
        sources_.push_back(std::move(s));
    }
    // The mix keeps 1/N over every slot there is.
    setup_.mix_divisor = std::max<std::uint64_t>(setup_.mix_divisor, sources_.size());
    return true;
}

void Processor::reset_source(Source& s) {
    s.runs.clear();
    if (s.converter)
        s.converter->drop_pending();
    s.anchored = false;
}

bool Processor::handle_enabled_changes(std::int64_t limit_ns) {
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
            reset_source(s);
            s.segment_start.reset();
            // The segment begins with its first audio, which cannot land
            // where writing has already passed.
            s.consumed = std::max(s.consumed, frames_in(limit_ns, s.target_rate));
        } else {
            // What was captured up to the switch still belongs to the segment.
            for (const SampleChunk& chunk : s.taken) {
                if (Result<void> r = place(s, chunk, clock_.now()); !r) {
                    record(std::move(r.error()));
                    return false;
                }
            }
            s.taken.clear();
            if (!close_segment(i))
                return false;
        }
        s.previous_enabled = s.enabled;
    }
    return true;
}

bool Processor::close_segment(std::size_t i) {
    Source& s = sources_[i];
    OutputSlot& slot = setup_.outputs[i];
    if (s.anchored) {
        if (Result<void> r = close_stretch(s); !r) {
            record(std::move(r.error()));
            return false;
        }
    }
    const std::int64_t end = held_end(s);
    if (slot.writer) {
        if (!s.segment_start) {
            std::int64_t first = end;
            for (const Run& r : s.runs)
                if (!r.samples.empty())
                    first = std::min(first, r.start);
            s.segment_start = first;
            s.segment_written = first;
            if (setup_.instructions) {
                (void)setup_.instructions->write(std::to_string(first) + " " +
                                                 instruction_name(slot) + "\n");
            }
        }
        if (!write_stem_range(i, s.segment_written, end))
            return false;
        end_segment(slot);
    }
    reset_source(s);
    s.segment_start.reset();
    return true;
}

bool Processor::place_taken(std::chrono::nanoseconds now) {
    for (std::size_t i = 0; i < sources_.size(); ++i) {
        Source& s = sources_[i];
        const bool instructed = setup_.mode == RecordingMode::StemsInstructed;
        if (!s.enabled && (instructed || !s.previous_enabled)) {
            // Switched off: what still comes in is not recorded.
            s.taken.clear();
            continue;
        }
        for (const SampleChunk& chunk : s.taken) {
            if (Result<void> r = place(s, chunk, now); !r) {
                write_stderr_line("Failed to create resampler for source " + std::to_string(i) +
                                  ": " + r.error().text);
                record(std::move(r.error()));
                for (Source& t : sources_)
                    t.taken.clear();
                return false;
            }
        }
        s.taken.clear();
        if (!instructed && !s.enabled) {
            // Switched off this cycle: what it captured while on is still
            // written at its time, and its next start is placed afresh.
            if (Result<void> r = close_stretch(s); !r) {
                record(std::move(r.error()));
                return false;
            }
        }
        if (!instructed)
            s.previous_enabled = s.enabled;
    }
    return true;
}

Result<void> Processor::place(Source& s, const SampleChunk& chunk, std::chrono::nanoseconds now) {
    const std::uint32_t rate = chunk.rate ? chunk.rate : s.probed_rate;
    const std::uint16_t channels = chunk.channels ? chunk.channels : s.probed_channels;
    const std::uint32_t mask = chunk.channels ? chunk.channel_mask : s.probed_mask;
    if (!s.converter || s.converter->native_rate() != rate ||
        s.converter->native_channels() != channels || s.converter->channel_mask() != mask) {
        // A stream reopened in another format (a new default device) is a
        // new device: its clock is learnt afresh.
        if (s.anchored) {
            if (Result<void> r = close_stretch(s); !r)
                return r;
        }
        s.converter.emplace(rate, channels, s.target_rate, s.target_channels, mask);
        s.anchored = false;
        s.rate_error = 0;
        s.learnt_seconds = 0;
        s.drift = 1;
    }
    if (rate == 0 || channels == 0 || s.target_rate == 0) {
        scratch_.clear();
        if (auto r = s.converter->convert(chunk.samples, 1.0, scratch_); !r)
            return fail(ErrorKind::Other, r.error());
        return {};
    }
    const std::size_t frames = chunk.samples.size() / channels;
    if (frames == 0)
        return {};
    const double per_frame = static_cast<double>(s.target_rate) / rate;
    const double predicted =
        s.anchored ? static_cast<double>(s.anchor) + s.converter->next_output_position() : 0;
    double target = 0;
    if (chunk.time) {
        target = exact_frames((*chunk.time - start_).count(), s.target_rate);
    } else if (s.anchored) {
        target = predicted;
    } else {
        // No time given: it was captured just before it was taken.
        target = exact_frames((now - start_).count(), s.target_rate) -
                 static_cast<double>(frames) * per_frame;
    }
    const double resync =
        static_cast<double>(s.target_rate) * std::chrono::duration<double>(RESYNC_GAP).count();
    // Late stamps are a gap once they have stopped falling for RESYNC_CONFIRM
    // of audio: after a stall, chunks handed over together carry about one
    // stamp, so theirs fall back by a chunk's length each, while after lost
    // audio they stay where they are.
    bool gap = false;
    if (s.anchored && chunk.time && target - predicted > resync) {
        const double error = target - predicted;
        const double fall = std::max(static_cast<double>(frames) * per_frame / 2,
                                     static_cast<double>(s.target_rate) *
                                         std::chrono::duration<double>(RESYNC_BAND).count());
        if (s.late_stamp_frames == 0 || error < s.late_stamp_min - fall)
            s.late_stamp_flat = 0;
        s.late_stamp_min = s.late_stamp_frames == 0 ? error : std::min(s.late_stamp_min, error);
        s.late_stamp_frames += frames;
        s.late_stamp_flat += frames;
        gap = static_cast<double>(s.late_stamp_flat) >=
              static_cast<double>(rate) * std::chrono::duration<double>(RESYNC_CONFIRM).count();
    } else {
        s.late_stamp_frames = 0;
    }
    if (s.anchored && !chunk.discontinuity && !gap) {
        // A late stamp not yet confirmed as a gap neither places nor steers.
        if (chunk.time && s.late_stamp_frames == 0) {
            if (s.settling)
                settle_anchor(s, target - predicted, target - s.settle_first,
                              static_cast<double>(frames) * per_frame);
            else
                follow_clock(s, lower_envelope(s, target - predicted),
                             static_cast<double>(frames) / rate);
        }
        return append_converted(s, chunk.samples);
    }
    if (s.anchored) {
        if (Result<void> r = close_stretch(s); !r)
            return r;
    }
    std::span<const float> samples = chunk.samples;
    if (target < 0) {
        // Captured before the recording began.
        const auto skip = static_cast<std::size_t>(std::ceil(-target / per_frame));
        if (skip >= frames)
            return {};
        samples = samples.subspan(skip * channels);
        target = std::floor(target + static_cast<double>(skip) * per_frame);
    }
    std::int64_t at = std::llround(target);
    std::int64_t earliest = s.consumed;
    if (!s.runs.empty()) {
        const Run& last = s.runs.back();
        earliest = std::max(earliest, last.start + run_frames(last.samples, s.target_channels));
    }
    if (at < earliest) {
        s.late_frames += static_cast<std::uint64_t>(earliest - at);
        at = earliest;
    }
    s.anchor = at;
    s.anchored = true;
    s.late_stamp_frames = 0;
    s.settling = chunk.time.has_value();
    s.settle_chunks = 1;
    s.settle_first = target;
    s.settle_says.assign(1, 0.0);
    s.settle_last_span = 0;
    s.settle_last_length = static_cast<double>(samples.size() / channels) * per_frame;
    s.envelope.clear();
    s.settle_applied = 0;
    s.settle_start = at;
    s.runs.push_back(Run{at, {}});
    return append_converted(s, samples);
}

void Processor::settle_anchor(Source& s, double error_frames, double span_frames,
                              double length_frames) {
    // The stretch's start follows where its first timestamps put it, for as
    // long as none of it has been written.
    Run& run = s.runs.back();
    if (run.start != s.settle_start) {
        s.settling = false;
        return;
    }
    // Where this chunk says the stretch begins, against where it was put first.
    const double says = error_frames + static_cast<double>(s.settle_applied);
    ++s.settle_chunks;
    // A chunk stamped before the one before it could have ended came in the
    // same hand-over: that one's stamp only says it was late, and it does not
    // count towards the percentile below.
    if (span_frames < s.settle_last_span + s.settle_last_length / 2)
        s.settle_says.pop_back();
    s.settle_says.push_back(says);
    s.settle_last_span = span_frames;
    s.settle_last_length = length_frames;
    // Chunks handed over together carry nearly one stamp: the settling lasts
    // until the stamps have moved on as well.
    if (s.settle_chunks >= SETTLE_CHUNKS &&
        span_frames >= SETTLE_SPAN_SECONDS * static_cast<double>(s.target_rate))
        s.settling = false;
    envelope_scratch_.assign(s.settle_says.begin(), s.settle_says.end());
    const auto shift = static_cast<std::int64_t>(std::llround(low_percentile(envelope_scratch_)));
    const std::int64_t delta = shift - s.settle_applied;
    if (delta == 0)
        return;
    s.anchor += delta;
    s.settle_applied += delta;
    std::int64_t start = run.start + delta;
    const std::int64_t ch = s.target_channels;
    if (start < 0 && ch != 0) {
        // Captured before the recording began.
        const std::int64_t drop = std::min(-start, run_frames(run.samples, s.target_channels));
        run.samples.drop(static_cast<std::size_t>(drop * ch));
        s.stale_frames += static_cast<std::uint64_t>(drop);
        start += drop;
    }
    std::int64_t earliest = s.consumed;
    if (s.runs.size() > 1) {
        const Run& before = s.runs[s.runs.size() - 2];
        earliest = std::max(earliest, before.start + run_frames(before.samples, s.target_channels));
    }
    // A start still before the recording's (nothing is held then) stays: what
    // comes next may be before it too, and is dropped as the writing passes.
    const bool before_recording = start < 0 && earliest <= 0;
    if (start < earliest && !before_recording) {
        // It cannot go where writing or its own earlier audio has been: the
        // whole stretch goes later.
        s.anchor += earliest - start;
        s.settle_applied += earliest - start;
        start = earliest;
    }
    run.start = start;
    s.settle_start = start;
}

double Processor::lower_envelope(Source& s, double error_frames) {
    const double now = s.learnt_seconds;
    s.envelope.emplace_back(now, error_frames);
    while (s.envelope.front().first < now - ENVELOPE_SECONDS)
        s.envelope.pop_front();
    // Once the loop has narrowed, refreshed a few times per window, which is
    // plenty for a loop that slow; while it learns, every chunk counts.
    const bool narrowed = now > LOOP_HZ_START / LOOP_HZ_SETTLED * LOOP_NARROWING_SECONDS;
    if (narrowed && s.envelope.size() > 1 && now < s.envelope_at + ENVELOPE_SECONDS / 8)
        return s.envelope_value;
    envelope_scratch_.clear();
    for (const auto& [at, error] : s.envelope)
        envelope_scratch_.push_back(error);
    s.envelope_at = now;
    s.envelope_value = low_percentile(envelope_scratch_);
    return s.envelope_value;
}

void Processor::follow_clock(Source& s, double error_frames, double seconds) {
    const double error = std::clamp(error_frames / s.target_rate, -LOOP_ERROR_LIMIT,
                                    LOOP_ERROR_LIMIT);  // > 0: audio lands too early
    s.learnt_seconds += seconds;
    const double hz =
        std::max(LOOP_HZ_SETTLED, LOOP_HZ_START / (1 + s.learnt_seconds / LOOP_NARROWING_SECONDS));
    const double w = 2 * std::numbers::pi * hz;
    // Timestamps jitter by milliseconds from chunk to chunk: the error is
    // smoothed well below the loop's bandwidth before it steers the ratio,
    // which then moves slowly enough not to be heard.
    const double smoothing = std::min(1.0, seconds * 4 * w);
    s.smoothed_error += smoothing * (error - s.smoothed_error);
    // While audio placed late is caught up, the error says nothing of the
    // device's rate: learning it then would run the stream off the other way
    // once it is back.
    const bool catching_up = std::fabs(error_frames / s.target_rate) >= LOOP_ERROR_LIMIT;
    if (!catching_up && std::fabs(s.smoothed_error) < LOOP_ERROR_LIMIT) {
        s.rate_error = std::clamp(s.rate_error + w * w * s.smoothed_error * seconds,
                                  -MAX_DRIFT_CORRECTION, MAX_DRIFT_CORRECTION);
    }
    s.drift = 1 + s.rate_error +
              (catching_up ? std::copysign(CATCH_UP_PACE, error)
                           : 2 * LOOP_DAMPING * w * s.smoothed_error);
}

Result<void> Processor::append_converted(Source& s, std::span<const float> samples) {
    scratch_.clear();
    if (auto r = s.converter->convert(samples, s.drift, scratch_); !r)
        return fail(ErrorKind::Other, r.error());
    Run& run = s.runs.back();
    if (run.samples.empty() && run.start >= 0 && run.start < s.consumed) {
        // Writing has passed where this belongs: it goes as early as it can.
        // (Before the recording's start, it is dropped as the writing passes.)
        const std::int64_t late = s.consumed - run.start;
        s.late_frames += static_cast<std::uint64_t>(late);
        run.start += late;
        s.anchor += late;
    }
    run.samples.append(scratch_);
    if (setup_.levels && s.enabled)
        setup_.levels->add(static_cast<std::size_t>(&s - sources_.data()), scratch_);
    return {};
}

Result<void> Processor::close_stretch(Source& s) {
    if (s.converter && s.anchored && !s.runs.empty()) {
        scratch_.clear();
        if (auto r = s.converter->flush(scratch_); !r)
            return fail(ErrorKind::Other, r.error());
        s.runs.back().samples.append(scratch_);
    }
    if (s.converter)
        s.converter->drop_pending();
    s.anchored = false;
    return {};
}

void Processor::take(Source& s, std::int64_t from, std::size_t frames, float* out, float gain) {
    const std::uint16_t ch = s.target_channels;
    const std::int64_t to = from + static_cast<std::int64_t>(frames);
    while (!s.runs.empty() && ch != 0) {
        Run& r = s.runs.front();
        std::int64_t have = run_frames(r.samples, ch);
        if (r.start < from && have > 0) {
            // Only audio that a stream's first timestamps put before the
            // recording began.
            const std::int64_t d = std::min(from - r.start, have);
            s.stale_frames += static_cast<std::uint64_t>(d);
            r.samples.drop(static_cast<std::size_t>(d) * ch);
            r.start += d;
            have -= d;
        }
        if (have == 0) {
            if (s.runs.size() > 1) {
                s.runs.pop_front();
                continue;
            }
            break;  // the open stretch stays, empty, for what comes next
        }
        if (r.start >= to)
            break;
        const std::int64_t k = std::min(have, to - r.start);
        const std::size_t n = static_cast<std::size_t>(k) * ch;
        const std::span<const float> x = r.samples.front(n);
        float* o = out + static_cast<std::size_t>(r.start - from) * ch;
        for (std::size_t j = 0; j < n; ++j)
            o[j] += gain * x[j];
        r.samples.drop(n);
        r.start += k;
        if (r.start < to)
            continue;
        break;
    }
    s.consumed = std::max(s.consumed, to);
}

void Processor::write_mix(std::int64_t limit_ns) {
    if (sources_.empty() || setup_.outputs.empty())
        return;
    const Source& first = sources_.front();
    const std::uint16_t ch = first.target_channels;
    if (ch == 0)
        return;
    const std::int64_t limit = frames_in(limit_ns, first.target_rate);
    const auto block_frames = static_cast<std::int64_t>(first.block_len / ch);
    const float g = 1.0f / static_cast<float>(setup_.mix_divisor == 0 ? 1 : setup_.mix_divisor);
    OutputSlot& slot = setup_.outputs.front();
    while (mix_written_ < limit) {
        const auto n = static_cast<std::size_t>(std::min(block_frames, limit - mix_written_));
        block_.assign(n * ch, 0.0f);
        for (Source& s : sources_)
            take(s, mix_written_, n, block_.data(), g);
        for (float& v : block_)
            v = std::clamp(v, -1.0f, 1.0f);
        mix_written_ += static_cast<std::int64_t>(n);
        if (!slot.writer)
            continue;
        Result<void> r =
            slot.writer->write_block(block_, next_mix_part(slot, setup_.session_dir), setup_.files);
        if (!r) {
            error_ = std::move(r.error());
            return;
        }
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

bool Processor::write_stem_range(std::size_t i, std::int64_t& written, std::int64_t to) {
    Source& s = sources_[i];
    const std::uint16_t ch = s.target_channels;
    if (ch == 0)
        return true;
    const auto block_frames = static_cast<std::int64_t>(s.block_len / ch);
    while (written < to) {
        const auto n = static_cast<std::size_t>(std::min(block_frames, to - written));
        block_.assign(n * ch, 0.0f);
        take(s, written, n, block_.data(), 1.0f);
        written += static_cast<std::int64_t>(n);
        if (Result<void> r = write_to_slot(i, block_); !r) {
            record(std::move(r.error()));
            return false;
        }
    }
    return true;
}

void Processor::write_stems(std::int64_t limit_ns, bool final) {
    for (std::size_t i = 0; i < sources_.size(); ++i) {
        Source& s = sources_[i];
        const std::int64_t limit = frames_in(limit_ns, s.target_rate);
        if (setup_.mode == RecordingMode::StemsSilence) {
            if (!write_stem_range(i, s.stem_written, limit))
                return;
            continue;
        }
        const bool open = i < setup_.outputs.size() && setup_.outputs[i].writer;
        if (!s.enabled || !open)
            continue;
        if (!s.segment_start) {
            std::optional<std::int64_t> first;
            for (const Run& r : s.runs) {
                if (!r.samples.empty()) {
                    first = r.start;
                    break;
                }
            }
            if (!first) {
                if (!final) {
                    s.consumed = std::max(s.consumed, limit);
                    continue;
                }
                first = std::max(s.consumed, limit);
            }
            s.segment_start = *first;
            s.segment_written = *first;
            if (setup_.instructions) {
                (void)setup_.instructions->write(std::to_string(*first) + " " +
                                                 instruction_name(setup_.outputs[i]) + "\n");
            }
        }
        if (!write_stem_range(i, s.segment_written, limit))
            return;
    }
}

std::int64_t Processor::held_end(const Source& s) const {
    std::int64_t end = s.consumed;
    for (const Run& r : s.runs)
        end = std::max(end, r.start + run_frames(r.samples, s.target_channels));
    return end;
}

TimelineStats Processor::stats() const {
    TimelineStats st;
    st.largest_backlog = largest_backlog_;
    for (const Source& s : sources_) {
        st.late_frames.push_back(s.late_frames);
        st.stale_frames.push_back(s.stale_frames);
        st.drift.push_back(1 + s.rate_error);
    }
    return st;
}

void Processor::finish() {
    if (finished_)
        return;
    finished_ = true;
    for (std::size_t i = 0; i < sources_.size(); ++i) {
        const Source& s = sources_[i];
        if (s.late_frames > 0 && s.target_rate > 0) {
            write_stderr_line("Source " + std::to_string(i) + ": " +
                              std::to_string(s.late_frames * 1000 / s.target_rate) +
                              " ms of audio came too late and was placed after its time");
        }
    }
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
    setup_.end_at.reset();
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
