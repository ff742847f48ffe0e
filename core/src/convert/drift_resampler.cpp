#include "drift_resampler.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numbers>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

namespace kestrune {
namespace {

// A 16-tap windowed sinc at 4096 fractional phases. The ratio stays so close
// to 1 that successive frames use neighbouring phases, so the large table
// costs little cache; the nearest phase is used, which leaves its error below
// -100 dB for a 1 kHz tone at 48 kHz.
constexpr int TAPS = 16;
constexpr int HALF = TAPS / 2;
constexpr int PHASES = 4096;
constexpr double KAISER_BETA = 8.0;
// Zero frames in front of the first input, so its output needs no history.
constexpr std::size_t LEAD = HALF - 1;

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

// The two hot loops: one output frame from TAPS input frames. The x86 build
// spells out the vector instructions (every x86-64 processor has SSE2);
// elsewhere independent lanes let the compiler vectorize without reordering
// a float sum on its own.
#if defined(__SSE2__) || defined(_M_X64)
void dot_stereo(const float* hh, const float* x, float* y) {
    __m128 a = _mm_setzero_ps();
    __m128 b = _mm_setzero_ps();
    for (int k = 0; k < 2 * TAPS; k += 8) {
        a = _mm_add_ps(a, _mm_mul_ps(_mm_loadu_ps(hh + k), _mm_loadu_ps(x + k)));
        b = _mm_add_ps(b, _mm_mul_ps(_mm_loadu_ps(hh + k + 4), _mm_loadu_ps(x + k + 4)));
    }
    alignas(16) float lanes[4];
    _mm_store_ps(lanes, _mm_add_ps(a, b));
    y[0] = lanes[0] + lanes[2];
    y[1] = lanes[1] + lanes[3];
}

void dot_mono(const float* h, const float* x, float* y) {
    __m128 a = _mm_setzero_ps();
    for (int k = 0; k < TAPS; k += 4)
        a = _mm_add_ps(a, _mm_mul_ps(_mm_loadu_ps(h + k), _mm_loadu_ps(x + k)));
    alignas(16) float lanes[4];
    _mm_store_ps(lanes, a);
    y[0] = (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
}
#else
void dot_stereo(const float* hh, const float* x, float* y) {
    float acc[4] = {0, 0, 0, 0};
    for (int k = 0; k < 2 * TAPS; k += 4)
        for (int l = 0; l < 4; ++l)
            acc[l] += hh[k + l] * x[k + l];
    y[0] = acc[0] + acc[2];
    y[1] = acc[1] + acc[3];
}

void dot_mono(const float* h, const float* x, float* y) {
    float acc[4] = {0, 0, 0, 0};
    for (int k = 0; k < TAPS; k += 4)
        for (int l = 0; l < 4; ++l)
            acc[l] += h[k + l] * x[k + l];
    y[0] = (acc[0] + acc[1]) + (acc[2] + acc[3]);
}
#endif

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
    step_ = 1 / ratio;
    const std::size_t whole = samples.size() / channels_ * channels_;
    history_.insert(history_.end(), samples.begin(), samples.begin() + whole);
    fed_ += static_cast<double>(whole / channels_);
    run(out, std::numeric_limits<double>::infinity());
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
    float* y = out.data() + at;
    const Table& t = table();
    const PairTable& t2 = pair_table();
    std::size_t made = 0;
    for (; made < n; ++made) {
        const auto base = static_cast<std::size_t>(position_);
        // The last tap reads frame base + HALF.
        if (base + HALF >= frames)
            break;
        const double frac = position_ - static_cast<double>(base);
        const auto phase = static_cast<std::size_t>(frac * PHASES + 0.5);
        const float* h = t[phase].data();
        const float* x = history_.data() + (base - (HALF - 1)) * c;
        if (c == 2) {
            dot_stereo(t2[phase].data(), x, y);
        } else if (c == 1) {
            dot_mono(h, x, y);
        } else {
            for (std::size_t ch = 0; ch < c; ++ch) {
                float acc = 0;
                for (int k = 0; k < TAPS; ++k)
                    acc += h[k] * x[k * c + ch];
                y[ch] = acc;
            }
        }
        y += c;
        position_ += step_;
    }
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
