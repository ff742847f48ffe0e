#include "stretch_kernels.hpp"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define KESTRUNE_STRETCH_SSE2 1
#endif

namespace kestrune::stretch {
namespace {

// Every x86-64 processor has SSE2; elsewhere independent lanes let the
// compiler vectorize without reordering a float sum on its own.
#if KESTRUNE_STRETCH_SSE2
void dot_stereo(const float* hh, const float* x, float* y) {
    __m128 a = _mm_setzero_ps();
    __m128 b = _mm_setzero_ps();
    for (int k = 0; k < 2 * TAPS; k += 8) {
        a = _mm_add_ps(a, _mm_mul_ps(_mm_loadu_ps(hh + k), _mm_loadu_ps(x + k)));
        b = _mm_add_ps(b, _mm_mul_ps(_mm_loadu_ps(hh + k + 4), _mm_loadu_ps(x + k + 4)));
    }
    const __m128 s = _mm_add_ps(a, b);                      // l0 r0 l1 r1
    const __m128 t = _mm_add_ps(s, _mm_movehl_ps(s, s));    // l r . .
    _mm_storel_pi(reinterpret_cast<__m64*>(y), t);
}

void dot_mono(const float* h, const float* x, float* y) {
    __m128 a = _mm_setzero_ps();
    for (int k = 0; k < TAPS; k += 4)
        a = _mm_add_ps(a, _mm_mul_ps(_mm_loadu_ps(h + k), _mm_loadu_ps(x + k)));
    const __m128 t = _mm_add_ps(a, _mm_movehl_ps(a, a));
    y[0] = _mm_cvtss_f32(_mm_add_ss(t, _mm_shuffle_ps(t, t, 1)));
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

template <int Channels>
std::size_t run_kernel(Run& r) {
    const float* table = Channels == 2 ? r.pair_table : r.table;
    std::size_t made = 0;
    for (; made < r.n && r.pos < r.last; ++made) {
        const float* h = table + phase_of(r.pos) * (Channels * TAPS);
        const float* x = r.x + static_cast<std::size_t>(r.pos >> FRACTION_BITS) * Channels;
        if constexpr (Channels == 2)
            dot_stereo(h, x, r.y);
        else
            dot_mono(h, x, r.y);
        r.y += Channels;
        r.pos += r.step;
    }
    return made;
}

}  // namespace

Kernels baseline_kernels() { return {&run_kernel<1>, &run_kernel<2>}; }

}  // namespace kestrune::stretch
