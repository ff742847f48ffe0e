#pragma once
// Brings one source's chunks from the format its stream delivers to its target
// format: resampling to the target rate (only when the rates differ), a fine
// stretch that follows the device's clock, and channel mapping.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "convert/channel_map.hpp"
#include "convert/drift_resampler.hpp"
#include "convert/resampler.hpp"

namespace kestrune {

class SourceConverter {
public:
    // channel_mask: the native stream's speaker positions; 0 for the usual
    // layout of its channel count.
    SourceConverter(std::uint32_t native_rate, std::uint16_t native_channels,
                    std::uint32_t target_rate, std::uint16_t target_channels,
                    std::uint32_t channel_mask = 0);

    // Appends the converted samples to out; `drift` is the stretch (output
    // frames per input frame, near 1) that keeps the device's clock on the
    // recording's. The resampler is created with the first chunk; its failure
    // text is what ends the recording.
    [[nodiscard]] std::expected<void, std::string> convert(std::span<const float> chunk,
                                                           double drift, std::vector<float>& out);
    // End of input: whatever the filters still hold, converted.
    [[nodiscard]] std::expected<void, std::string> flush(std::vector<float>& out);
    // Forgets what has not come out yet and starts counting afresh: the next
    // input is output frame 0 of a new stretch.
    void drop_pending();

    // Where the next input frame will land, in output frames since the start
    // of the stretch.
    [[nodiscard]] double next_output_position() const;

    [[nodiscard]] bool resamples() const { return native_rate_ != target_rate_; }
    [[nodiscard]] std::uint32_t native_rate() const { return native_rate_; }
    [[nodiscard]] std::uint16_t native_channels() const { return native_channels_; }
    [[nodiscard]] std::uint32_t channel_mask() const { return channel_mask_; }

private:
    [[nodiscard]] std::expected<void, std::string> ensure_resampler();
    // The stretch runs on whichever side of the channel mapping has fewer channels.
    [[nodiscard]] std::uint16_t drift_channels() const;

    std::uint32_t native_rate_;
    std::uint16_t native_channels_;
    std::uint32_t target_rate_;
    std::uint16_t target_channels_;
    std::uint32_t channel_mask_;
    ChannelMap channel_map_;
    std::optional<Resampler> resampler_;
    DriftResampler drift_;
    std::vector<float> scratch_;
    std::vector<float> stretched_;
    std::vector<float> mapped_;    // mapped before the stretch, when that side has fewer channels
    std::uint64_t fed_frames_ = 0;  // native frames since the stretch began
    bool fed_since_restart_ = false;
};

}  // namespace kestrune
