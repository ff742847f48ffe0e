#pragma once
// Brings one source's chunks from its native rate and channel count to its
// target format: resampling first (only when the rates differ), then channel
// mapping.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "convert/channel_map.hpp"
#include "convert/resampler.hpp"

namespace kestrune {

class SourceConverter {
public:
    // channel_mask: the native stream's speaker positions; 0 for the usual
    // layout of its channel count.
    SourceConverter(std::uint32_t native_rate, std::uint16_t native_channels,
                    std::uint32_t target_rate, std::uint16_t target_channels,
                    std::uint32_t channel_mask = 0);

    // Appends the converted samples to out. The resampler is created with the
    // first chunk; its failure text is what ends the recording.
    [[nodiscard]] std::expected<void, std::string> convert(std::span<const float> chunk,
                                                           std::vector<float>& out);
    // End of input: whatever the resampler still holds, converted.
    [[nodiscard]] std::expected<void, std::string> flush(std::vector<float>& out);
    // Forgets input that has not come out of the resampler yet. A source
    // switched off calls this, so that what the filter held at the switch
    // does not open its next stretch of audio late by the filter's delay.
    void drop_pending();

    [[nodiscard]] bool resamples() const { return native_rate_ != target_rate_; }

private:
    [[nodiscard]] std::expected<void, std::string> ensure_resampler();

    std::uint32_t native_rate_;
    std::uint16_t native_channels_;
    std::uint32_t target_rate_;
    std::uint16_t target_channels_;
    ChannelMap channel_map_;
    std::optional<Resampler> resampler_;
    std::vector<float> scratch_;
    bool fed_since_restart_ = false;
};

}  // namespace kestrune
