#pragma once
// One source's streaming resampler. The ratio is fixed for its lifetime;
// clock drift between devices is not corrected here.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace kestrune {

// Input goes through the filter in runs of exactly this many frames, so the
// work per call is steady; fewer frames wait for the next chunk.
inline constexpr std::size_t RESAMPLER_CHUNK_FRAMES = 64;

class Resampler {
public:
    // Errors carry the library's own text.
    [[nodiscard]] static std::expected<Resampler, std::string> create(std::uint32_t from_rate,
                                                                      std::uint32_t to_rate,
                                                                      std::uint16_t channels);

    Resampler(Resampler&&) noexcept;
    Resampler& operator=(Resampler&&) noexcept;
    ~Resampler();

    // Appends the output of every whole 64-frame run of pending + samples;
    // the rest stays pending. Interleaved in and out.
    [[nodiscard]] std::expected<void, std::string> process(std::span<const float> samples,
                                                           std::vector<float>& out);
    // End of input: the pending frames and the filter's delay line come out.
    [[nodiscard]] std::expected<void, std::string> flush(std::vector<float>& out);
    // Forgets the pending input and what the filter still holds, so the next
    // input starts afresh at its own time.
    void restart();
    [[nodiscard]] std::size_t pending_samples() const { return pending_.size(); }

private:
    struct Engine;
    Resampler(std::unique_ptr<Engine> engine, std::uint16_t channels, double ratio);
    [[nodiscard]] std::expected<void, std::string> run(const float* in, std::size_t frames,
                                                       std::vector<float>& out);

    std::unique_ptr<Engine> engine_;
    std::uint16_t channels_ = 0;
    double ratio_ = 1.0;
    std::vector<float> pending_;
};

}  // namespace kestrune
