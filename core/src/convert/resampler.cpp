#include "resampler.hpp"

#include <soxr.h>

#include <cmath>

namespace kestrune {

struct Resampler::Engine {
    soxr_t handle = nullptr;
    ~Engine() {
        if (handle)
            soxr_delete(handle);
    }
};

Resampler::Resampler(std::unique_ptr<Engine> engine, std::uint16_t channels, double ratio)
    : engine_(std::move(engine)), channels_(channels), ratio_(ratio) {}
Resampler::Resampler(Resampler&&) noexcept = default;
Resampler& Resampler::operator=(Resampler&&) noexcept = default;
Resampler::~Resampler() = default;

std::expected<Resampler, std::string> Resampler::create(std::uint32_t from_rate,
                                                        std::uint32_t to_rate,
                                                        std::uint16_t channels) {
    // High quality (20-bit precision, far below what a microphone's own noise
    // leaves), linear phase, passband to 0.95 of the lower Nyquist frequency;
    // no variable-rate flag, so the ratio cannot move.
    soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, SOXR_LINEAR_PHASE);
    quality.passband_end = 0.95;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    soxr_error_t error = nullptr;
    auto engine = std::make_unique<Engine>();
    engine->handle = soxr_create(static_cast<double>(from_rate), static_cast<double>(to_rate),
                                 channels, &error, &io, &quality, &runtime);
    if (error || !engine->handle) {
        return std::unexpected(std::string(error ? error : "resampler could not be created"));
    }
    return Resampler(std::move(engine), channels,
                     static_cast<double>(to_rate) / static_cast<double>(from_rate));
}

std::expected<void, std::string> Resampler::run(const float* in, std::size_t frames,
                                                std::vector<float>& out) {
    // Room for the ratio's output plus what the filter may release at once.
    const std::size_t room =
        static_cast<std::size_t>(std::ceil(static_cast<double>(frames) * ratio_)) +
        RESAMPLER_CHUNK_FRAMES;
    for (;;) {
        const std::size_t start = out.size();
        out.resize(start + room * channels_);
        std::size_t used = 0;
        std::size_t made = 0;
        const soxr_error_t error =
            soxr_process(engine_->handle, in, frames, &used, out.data() + start, room, &made);
        out.resize(start + made * channels_);
        if (error)
            return std::unexpected(std::string(error));
        if (in) {
            if (used == 0 && made == 0)
                return {};  // the library takes no more; never spin
            in += used * channels_;
            frames -= used;
            if (frames == 0)
                return {};
        } else if (made == 0) {
            return {};  // end of input: the tail is out
        }
    }
}

std::expected<void, std::string> Resampler::process(std::span<const float> samples,
                                                    std::vector<float>& out) {
    if (channels_ == 0)
        return {};
    pending_.insert(pending_.end(), samples.begin(), samples.end());
    if (pending_.size() < channels_) {
        pending_.clear();
        return {};
    }
    const std::size_t frames = pending_.size() / channels_;
    // Whole chunks go in with one call: the library's output does not depend
    // on how its input is split.
    const std::size_t whole = frames / RESAMPLER_CHUNK_FRAMES * RESAMPLER_CHUNK_FRAMES;
    if (whole > 0) {
        if (auto r = run(pending_.data(), whole, out); !r)
            return r;
    }
    // A partial trailing frame cannot be resampled and is dropped with the
    // consumed runs.
    const std::size_t keep_from = whole * channels_;
    const std::size_t keep_to = frames * channels_;
    pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(keep_to), pending_.end());
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(keep_from));
    return {};
}

void Resampler::restart() {
    pending_.clear();
    (void)soxr_clear(engine_->handle);
}

std::expected<void, std::string> Resampler::flush(std::vector<float>& out) {
    if (channels_ == 0)
        return {};
    const std::size_t frames = pending_.size() / channels_;
    if (frames > 0) {
        if (auto r = run(pending_.data(), frames, out); !r)
            return r;
    }
    pending_.clear();
    return run(nullptr, 0, out);
}

}  // namespace kestrune
