// Built with AVX2 and FMA enabled (see core/CMakeLists.txt); nothing here
// runs unless the processor reports both.
#include "stretch_kernels.hpp"

#if defined(KESTRUNE_STRETCH_AVX2)
#include <immintrin.h>
#if defined(_MSC_VER)
#include <intrin.h>
#endif
#endif

namespace kestrune::stretch {

#if defined(KESTRUNE_STRETCH_AVX2)
namespace {

bool cpu_has_avx2_fma() {
#if defined(_MSC_VER)
    int info[4] = {};
    __cpuid(info, 0);
    if (info[0] < 7)
        return false;
    __cpuid(info, 1);
    const bool fma = (info[2] & (1 << 12)) != 0;
    const bool osxsave = (info[2] & (1 << 27)) != 0;
    if (!fma || !osxsave || (_xgetbv(0) & 6) != 6)
        return false;
    __cpuidex(info, 7, 0);
    return (info[1] & (1 << 5)) != 0;
#else
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#endif
}

std::size_t run_stereo(Run& r) {
    // The mono table with each coefficient spread over a frame's two samples:
    // half the memory of the pair table, which at a fast-drifting stretch is
    // walked through faster than the cache holds it.
    const __m256i lo = _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3);
    const __m256i hi = _mm256_setr_epi32(4, 4, 5, 5, 6, 6, 7, 7);
    std::size_t made = 0;
    for (; made < r.n && r.pos < r.last; ++made) {
        const float* h = r.table + phase_of(r.pos) * TAPS;
        const float* x = r.x + static_cast<std::size_t>(r.pos >> FRACTION_BITS) * 2;
        const __m256 h0 = _mm256_loadu_ps(h);
        const __m256 h1 = _mm256_loadu_ps(h + 8);
        __m256 a = _mm256_mul_ps(_mm256_permutevar8x32_ps(h0, lo), _mm256_loadu_ps(x));
        __m256 b = _mm256_mul_ps(_mm256_permutevar8x32_ps(h0, hi), _mm256_loadu_ps(x + 8));
        a = _mm256_fmadd_ps(_mm256_permutevar8x32_ps(h1, lo), _mm256_loadu_ps(x + 16), a);
        b = _mm256_fmadd_ps(_mm256_permutevar8x32_ps(h1, hi), _mm256_loadu_ps(x + 24), b);
        const __m256 s = _mm256_add_ps(a, b);  // four frames of l r
        __m128 t = _mm_add_ps(_mm256_castps256_ps128(s), _mm256_extractf128_ps(s, 1));
        t = _mm_add_ps(t, _mm_movehl_ps(t, t));
        _mm_storel_pi(reinterpret_cast<__m64*>(r.y), t);
        r.y += 2;
        r.pos += r.step;
    }
    return made;
}

std::size_t run_mono(Run& r) {
    std::size_t made = 0;
    for (; made < r.n && r.pos < r.last; ++made) {
        const float* h = r.table + phase_of(r.pos) * TAPS;
        const float* x = r.x + static_cast<std::size_t>(r.pos >> FRACTION_BITS);
        const __m256 a = _mm256_fmadd_ps(_mm256_loadu_ps(h + 8), _mm256_loadu_ps(x + 8),
                                         _mm256_mul_ps(_mm256_loadu_ps(h), _mm256_loadu_ps(x)));
        __m128 t = _mm_add_ps(_mm256_castps256_ps128(a), _mm256_extractf128_ps(a, 1));
        t = _mm_add_ps(t, _mm_movehl_ps(t, t));
        r.y[0] = _mm_cvtss_f32(_mm_add_ss(t, _mm_shuffle_ps(t, t, 1)));
        r.y += 1;
        r.pos += r.step;
    }
    return made;
}

}  // namespace

Kernels avx2_kernels() {
    if (!cpu_has_avx2_fma())
        return {nullptr, nullptr};
    return {&run_mono, &run_stereo};
}
#else
Kernels avx2_kernels() { return {nullptr, nullptr}; }
#endif

}  // namespace kestrune::stretch
