#include "source_converter.hpp"

#include <algorithm>

namespace kestrune {

SourceConverter::SourceConverter(std::uint32_t native_rate, std::uint16_t native_channels,
                                 std::uint32_t target_rate, std::uint16_t target_channels,
                                 std::uint32_t channel_mask)
    : native_rate_(native_rate),
      native_channels_(native_channels),
      target_rate_(target_rate),
      target_channels_(target_channels),
      channel_mask_(channel_mask),
      channel_map_(native_channels, target_channels, channel_mask),
      drift_(std::min(native_channels == 0 ? target_channels : native_channels,
                      target_channels == 0 ? native_channels : target_channels)) {}

std::uint16_t SourceConverter::drift_channels() const {
    return std::min(native_channels_ == 0 ? target_channels_ : native_channels_,
                    target_channels_ == 0 ? native_channels_ : target_channels_);
}

std::expected<void, std::string> SourceConverter::ensure_resampler() {
    if (resampler_ || !resamples())
        return {};
    if (native_rate_ == 0)
        return std::unexpected(std::string("source sample rate is zero"));
    auto created = Resampler::create(native_rate_, target_rate_, native_channels_);
    if (!created) {
        return std::unexpected("resampler init failed (" + std::to_string(native_rate_) + "\u2192" +
                               std::to_string(target_rate_) + " Hz, " +
                               std::to_string(native_channels_) + "ch): " + created.error());
    }
    resampler_.emplace(std::move(*created));
    return {};
}

std::expected<void, std::string> SourceConverter::convert(std::span<const float> chunk,
                                                          double drift, std::vector<float>& out) {
    if (resamples() && (native_rate_ == 0 || native_channels_ != 0)) {
        if (auto r = ensure_resampler(); !r)
            return r;
    }
    if (native_channels_ == 0)
        return {};
    fed_since_restart_ = true;
    fed_frames_ += chunk.size() / native_channels_;
    std::span<const float> at_rate = chunk;
    if (resampler_) {
        scratch_.clear();
        if (auto r = resampler_->process(chunk, scratch_); !r)
            return r;
        at_rate = scratch_;
    }
    // Linear in every frame, so mapping channels before or after the stretch
    // gives the same result; the side with fewer channels costs less.
    stretched_.clear();
    if (drift_channels() < native_channels_) {
        mapped_.clear();
        channel_map_.apply(at_rate, mapped_);
        drift_.process(mapped_, drift, out);
    } else {
        drift_.process(at_rate, drift, stretched_);
        channel_map_.apply(stretched_, out);
    }
    return {};
}

std::expected<void, std::string> SourceConverter::flush(std::vector<float>& out) {
    if (native_channels_ == 0)
        return {};
    scratch_.clear();
    if (resampler_) {
        if (auto r = resampler_->flush(scratch_); !r)
            return r;
    }
    stretched_.clear();
    if (drift_channels() < native_channels_) {
        mapped_.clear();
        channel_map_.apply(scratch_, mapped_);
        drift_.process(mapped_, 1.0, out);
        drift_.flush(out);
    } else {
        drift_.process(scratch_, 1.0, stretched_);
        drift_.flush(stretched_);
        channel_map_.apply(stretched_, out);
    }
    return {};
}

void SourceConverter::drop_pending() {
    // Called every cycle while a source is off; restart only what was used.
    if (fed_since_restart_) {
        if (resampler_)
            resampler_->restart();
        drift_.restart();
    }
    fed_frames_ = 0;
    fed_since_restart_ = false;
}

double SourceConverter::next_output_position() const {
    double at_target = static_cast<double>(fed_frames_);
    if (resamples() && native_rate_ != 0)
        at_target = at_target * target_rate_ / native_rate_;
    return drift_.output_position(at_target);
}

}  // namespace kestrune
