#include "source_converter.hpp"

namespace kestrune {

SourceConverter::SourceConverter(std::uint32_t native_rate, std::uint16_t native_channels,
                                 std::uint32_t target_rate, std::uint16_t target_channels,
                                 std::uint32_t channel_mask)
    : native_rate_(native_rate),
      native_channels_(native_channels),
      target_rate_(target_rate),
      target_channels_(target_channels),
      channel_map_(native_channels, target_channels, channel_mask) {}

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
                                                          std::vector<float>& out) {
    if (!resamples()) {
        channel_map_.apply(chunk, out);
        return {};
    }
    if (native_rate_ == 0 || native_channels_ != 0) {
        if (auto r = ensure_resampler(); !r)
            return r;
    }
    if (native_channels_ == 0)
        return {};
    scratch_.clear();
    fed_since_restart_ = true;
    if (auto r = resampler_->process(chunk, scratch_); !r)
        return r;
    channel_map_.apply(scratch_, out);
    return {};
}

std::expected<void, std::string> SourceConverter::flush(std::vector<float>& out) {
    if (!resampler_)
        return {};
    scratch_.clear();
    if (auto r = resampler_->flush(scratch_); !r)
        return r;
    channel_map_.apply(scratch_, out);
    return {};
}

void SourceConverter::drop_pending() {
    // Called every cycle while a source is off; restart only what was used.
    if (resampler_ && fed_since_restart_)
        resampler_->restart();
    fed_since_restart_ = false;
}

}  // namespace kestrune
