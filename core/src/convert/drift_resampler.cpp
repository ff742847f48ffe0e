#include "drift_resampler.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numbers>

#include "stretch_kernels.hpp"

namespace kestrune {
namespace {

// A 16-tap windowed sinc at 4096 fractional phases. The ratio stays so close
// to 1 that successive frames use neighbouring phases, so the large table
// costs little cache; the nearest phase is used, which leaves its error below
// -100 dB for a 1 kHz tone at 48 kHz.
using stretch::FRACTION_BITS;
using stretch::HALF;
using stretch::PHASES;
using stretch::TAPS;
constexpr double KAISER_BETA = 8.0;
// Zero frames in front of the first input, so its output needs no history.
constexpr std::size_t LEAD = HALF - 1;
// Input frames taken per step; what history holds stays below twice this,
// far below where a fixed-point position would overflow.
constexpr std::size_t MAX_SLICE_FRAMES = 1 << 16;
static_assert(FRACTION_BITS + 18 < 64);

double bessel_i0(double x) {
    double sum = 1, term = 1;
    for (int k = 1; k < 30; ++k) {
        term *= (x / (2 * k)) * (x / (2 * k));
        sum += term;
    }
    return sum;
}

using Table = std::vector<std::array<float, TAPS>>;

Table make_table() {
    Table t(PHASES + 1);
    const double norm = bessel_i0(KAISER_BETA);
    for (int p = 0; p <= PHASES; ++p) {
        const double f = static_cast<double>(p) / PHASES;
        double sum = 0;
        std::array<double, TAPS> h{};
        for (int k = 0; k < TAPS; ++k) {
            const double x = f - (k - (HALF - 1));  // distance from the output point
            const double r = x / HALF;
            const double w = r * r < 1 ? bessel_i0(KAISER_BETA * std::sqrt(1 - r * r)) / norm : 0;
            // Exactly 0 and 1 at whole frames, so phase 0 passes input unchanged.
            double s = 1;
            if (p == 0 || p == PHASES)
                s = x == 0 ? 1 : 0;
            else
                s = std::sin(std::numbers::pi * x) / (std::numbers::pi * x);
            h[k] = s * w;
            sum += h[k];
        }
        // Unity gain at every phase, so that a steady level does not ripple
        // as the phase moves.
        for (int k = 0; k < TAPS; ++k)
            t[p][k] = static_cast<float>(h[k] / sum);
    }
    return t;
}

const Table& table() {
    static const Table t = make_table();
    return t;
}

// The same with every coefficient twice, to run over interleaved stereo.
using PairTable = std::vector<std::array<float, 2 * TAPS>>;

const PairTable& pair_table() {
    static const PairTable t = [] {
        const Table& single = table();
        PairTable pairs(single.size());
        for (std::size_t p = 0; p < single.size(); ++p)
            for (int k = 0; k < TAPS; ++k)
                pairs[p][2 * k] = pairs[p][2 * k + 1] = single[p][k];
        return pairs;
    }();
    return t;
}

const stretch::Kernels& kernels() {
    static const stretch::Kernels k = [] {
        const stretch::Kernels fast = stretch::avx2_kernels();
        return fast.mono && fast.stereo ? fast : stretch::baseline_kernels();
    }();
    return k;
}

}  // namespace

DriftResampler::DriftResampler(std::uint16_t channels) : channels_(channels) {
    restart();
}

void DriftResampler::restart() {
    history_.assign(LEAD * channels_, 0.0f);
    position_ = static_cast<double>(LEAD);
    made_ = 0;
    dropped_ = 0;
    fed_ = 0;
}

double DriftResampler::output_position(double input) const {
    const double next_output_at = dropped_ + position_ - static_cast<double>(LEAD);
    return made_ + (input - next_output_at) / step_;
}

void DriftResampler::process(std::span<const float> samples, double ratio,
                             std::vector<float>& out) {
    if (channels_ == 0)
        return;
    ratio = std::clamp(ratio, 1 - MAX_DRIFT_CORRECTION, 1 + MAX_DRIFT_CORRECTION);
    // The step the loops take exactly, so that positions computed here agree
    // with where they really are.
    step_ = std::ldexp(std::round(std::ldexp(1 / ratio, FRACTION_BITS)), -FRACTION_BITS);
    // In slices, so that a position in fixed point never overflows.
    const std::size_t slice = MAX_SLICE_FRAMES * channels_;
    const std::size_t whole = samples.size() / channels_ * channels_;
    for (std::size_t from = 0; from < whole; from += slice) {
        const std::size_t to = std::min(whole, from + slice);
        history_.insert(history_.end(), samples.begin() + static_cast<std::ptrdiff_t>(from),
                        samples.begin() + static_cast<std::ptrdiff_t>(to));
        fed_ += static_cast<double>((to - from) / channels_);
        run(out, std::numeric_limits<double>::infinity());
    }
}

void DriftResampler::flush(std::vector<float>& out) {
    if (channels_ == 0)
        return;
    // Zeros to the right let the last real frames out; outputs beyond the
    // real input are not audio.
    history_.insert(history_.end(), static_cast<std::size_t>(HALF) * channels_, 0.0f);
    run(out, fed_);
}

void DriftResampler::run(std::vector<float>& out, double limit) {
    const std::size_t c = channels_;
    const std::size_t frames = history_.size() / c;
    if (frames <= HALF || position_ + HALF >= static_cast<double>(frames))
        return;
    // How many outputs the input allows, so the output grows once per call.
    const double room = (static_cast<double>(frames - HALF) - position_) / step_ + 1;
    std::size_t n = static_cast<std::size_t>(room) + 1;
    const double to_limit = (limit - (dropped_ + position_ - static_cast<double>(LEAD))) / step_;
    if (to_limit < static_cast<double>(n))
        n = to_limit > 0 ? static_cast<std::size_t>(std::ceil(to_limit)) : 0;
    const std::size_t at = out.size();
    out.resize(at + n * c);
    float* const y = out.data() + at;
    // The position runs in fixed point within this call: whole frames above
    // FRACTION_BITS, so the phase is a shift and the step adds exactly.
    const auto base0 = static_cast<std::size_t>(position_);
    const auto to_fixed = [](double v) {
        return static_cast<std::uint64_t>(std::llround(std::ldexp(v, FRACTION_BITS)));
    };
    stretch::Run r{history_.data() + (base0 - (HALF - 1)) * c,
                   y,
                   n,
                   to_fixed(position_ - static_cast<double>(base0)),
                   to_fixed(step_),
                   static_cast<std::uint64_t>(frames - HALF - base0) << FRACTION_BITS,
                   table().front().data(),
                   pair_table().front().data()};
    std::size_t made = 0;
    if (c == 1) {
        made = kernels().mono(r);
    } else if (c == 2) {
        made = kernels().stereo(r);
    } else {
        const Table& t = table();
        for (; made < n && r.pos < r.last; ++made) {
            const float* h = t[stretch::phase_of(r.pos)].data();
            const float* x = r.x + static_cast<std::size_t>(r.pos >> FRACTION_BITS) * c;
            for (std::size_t ch = 0; ch < c; ++ch) {
                float acc = 0;
                for (int k = 0; k < TAPS; ++k)
                    acc += h[k] * x[k * c + ch];
                r.y[ch] = acc;
            }
            r.y += c;
            r.pos += r.step;
        }
    }
    const std::uint64_t pos = r.pos;
    position_ = static_cast<double>(base0) + std::ldexp(static_cast<double>(pos), -FRACTION_BITS);
    out.resize(at + made * c);
    made_ += static_cast<double>(made);
    // Keep only what the next output still reads.
    const auto base = static_cast<std::size_t>(position_);
    const std::size_t used = std::min(base > HALF - 1 ? base - (HALF - 1) : 0, frames);
    if (used > 0) {
        history_.erase(history_.begin(), history_.begin() + static_cast<std::ptrdiff_t>(used * c));
        position_ -= static_cast<double>(used);
        dropped_ += static_cast<double>(used);
    }
}

}  // namespace kestrune
