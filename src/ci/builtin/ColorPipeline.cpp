#include "ColorPipeline.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace ci::builtin::color {

bool hasAvx2() {
#if defined(__x86_64__) && defined(__GNUC__)
    static const bool yes = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return yes;
#else
    return false;
#endif
}

namespace {

// The transfer curves are most of the cost of every colour filter that works on encoded values,
// and their polynomials are chains of dependent multiply-adds: fused, each link takes half the
// time. The fused and the separate roundings differ by far less than a 16-bit step.
template <bool Fused> CI_ALWAYS_INLINE void encodeBlock(Block& p, int n, Space space) {
    if (space == Space::SRGB)
        forRGB(p, n, [](float x) { return encodeSRGB<Fused>(x); });
    else if (space == Space::Gamma2)
        forRGB(p, n, [](float x) { return encodeGamma2(x); });
}

template <bool Fused> CI_ALWAYS_INLINE void decodeBlock(Block& p, int n, Space space) {
    if (space == Space::SRGB)
        forRGB(p, n, [](float x) { return decodeSRGB<Fused>(x); });
    else if (space == Space::Gamma2)
        forRGB(p, n, [](float x) { return decodeGamma2(x); });
}

#if defined(__x86_64__) && defined(__GNUC__)

// x^k for the sRGB curves by table: x = 2^e m with m in [1, 2) gives 2^(k e), one of sixteen
// entries, times m^k, a cubic on one eighth of the mantissa range. Both tables are picked with
// register permutes, so a power costs four permutes and three multiply-adds instead of the two
// long polynomials of log2 and exp2, and the curves come out within 4e-7 of their exact values,
// closer than the general path. Values outside the table (large ones, infinities, NaN) take the
// general path. The tables are filled when the program loads, before any render.
struct PowerTable {
    alignas(32) float c[4][8];     // the cubic of each eighth, in u = m - (1 + j / 8)
    alignas(32) float scale[2][8]; // factor * 2^(k e) for e = eMin .. eMin + 15
    int eMin;
};

PowerTable makePowerTable(double k, double factor, int eMin) {
    PowerTable t{};
    t.eMin = eMin;
    for (int j = 0; j < 8; ++j) {
        // Interpolation at the Chebyshev points of the eighth: close to the best cubic.
        double u[4], f[4], a[4][5];
        for (int i = 0; i < 4; ++i) {
            u[i] = (1.0 + std::cos((2 * i + 1) * 3.14159265358979323846 / 8)) / 16;
            f[i] = std::pow(1.0 + j / 8.0 + u[i], k);
            for (int c = 0; c < 4; ++c)
                a[i][c] = std::pow(u[i], c);
            a[i][4] = f[i];
        }
        for (int c = 0; c < 4; ++c) { // Gaussian elimination with partial pivoting
            int best = c;
            for (int r = c + 1; r < 4; ++r)
                if (std::fabs(a[r][c]) > std::fabs(a[best][c]))
                    best = r;
            std::swap(a[c], a[best]);
            for (int r = 0; r < 4; ++r)
                if (r != c) {
                    const double q = a[r][c] / a[c][c];
                    for (int x = c; x < 5; ++x)
                        a[r][x] -= q * a[c][x];
                }
        }
        for (int c = 0; c < 4; ++c)
            t.c[c][j] = float(a[c][4] / a[c][c]);
    }
    for (int i = 0; i < 16; ++i)
        t.scale[i / 8][i % 8] = float(factor * std::exp2(k * (eMin + i)));
    return t;
}

// Encoding reaches the power above 0.0031308 (2^-9): e from -12 covers it, up to 2^4.
const PowerTable kEncodeTable = makePowerTable(1 / 2.4, 1.055, -12);
// Decoding raises (x + 0.055) / 1.055 >= 0.0522 (2^-5) to 2.4: e from -5, up to 2^11.
const PowerTable kDecodeTable = makePowerTable(2.4, 1.0, -5);

__attribute__((target("avx2,fma"))) inline __m256 tablePower(const PowerTable& t, __m256 x) {
    const __m256i bits = _mm256_castps_si256(x);
    // The top three mantissa bits pick the eighth (a permute reads only an index's low bits).
    const __m256i eighth = _mm256_srli_epi32(bits, 20);
    const __m256 u = _mm256_sub_ps(
        _mm256_castsi256_ps(_mm256_or_si256(_mm256_and_si256(bits, _mm256_set1_epi32(0x000fffff)),
                                            _mm256_set1_epi32(0x3f800000))),
        _mm256_set1_ps(1.f));
    __m256 p = _mm256_permutevar8x32_ps(_mm256_load_ps(t.c[3]), eighth);
    p = _mm256_fmadd_ps(p, u, _mm256_permutevar8x32_ps(_mm256_load_ps(t.c[2]), eighth));
    p = _mm256_fmadd_ps(p, u, _mm256_permutevar8x32_ps(_mm256_load_ps(t.c[1]), eighth));
    p = _mm256_fmadd_ps(p, u, _mm256_permutevar8x32_ps(_mm256_load_ps(t.c[0]), eighth));
    // The exponent's entry; lanes outside the table read a clamped one and are redone.
    __m256i e = _mm256_sub_epi32(_mm256_srli_epi32(bits, 23), _mm256_set1_epi32(127 + t.eMin));
    e = _mm256_min_epi32(_mm256_max_epi32(e, _mm256_setzero_si256()), _mm256_set1_epi32(15));
    const __m256 lo = _mm256_permutevar8x32_ps(_mm256_load_ps(t.scale[0]), e);
    const __m256 hi = _mm256_permutevar8x32_ps(_mm256_load_ps(t.scale[1]), e);
    const __m256 upper = _mm256_castsi256_ps(_mm256_cmpgt_epi32(e, _mm256_set1_epi32(7)));
    return _mm256_mul_ps(p, _mm256_blendv_ps(lo, hi, upper));
}

// `fast` over eight values, and `exact` on the lanes it flags.
template <class Fast, class Exact>
CI_ALWAYS_INLINE __attribute__((target("avx2,fma"))) void eightAt(float* w, Fast fast, Exact exact) {
    __m256 redo;
    const __m256 x = _mm256_loadu_ps(w);
    _mm256_storeu_ps(w, fast(x, redo));
    if (const int lanes = _mm256_movemask_ps(redo)) [[unlikely]] {
        alignas(32) float in[8];
        _mm256_store_ps(in, x);
        for (int k = 0; k < 8; ++k)
            if (lanes & (1 << k))
                w[k] = exact(in[k]);
    }
}

// The first n values of v, eight at a time. A short tail goes through the same eight-lane path,
// so a value's result never depends on where it falls in a row (and so on the tiling).
template <class Fast, class Exact>
CI_ALWAYS_INLINE __attribute__((target("avx2,fma"))) void byEights(float* v, int n, Fast fast, Exact exact) {
    int i = 0;
    for (; i + 8 <= n; i += 8)
        eightAt(v + i, fast, exact);
    if (i < n) {
        float tail[8] = {};
        std::copy(v + i, v + n, tail);
        eightAt(tail, fast, exact);
        std::copy(tail, tail + (n - i), v + i);
    }
}

// Kept in step with encodeSRGB and decodeSRGB: sign preserved, linear near zero.
__attribute__((target("avx2,fma"))) inline __m256 encodeSRGB8(__m256 x, __m256& redo) {
    const __m256 sign = _mm256_set1_ps(-0.f);
    const __m256 ax = _mm256_andnot_ps(sign, x);
    const __m256 lin = _mm256_mul_ps(ax, _mm256_set1_ps(12.92f));
    const __m256 pw = _mm256_sub_ps(tablePower(kEncodeTable, ax), _mm256_set1_ps(0.055f));
    const __m256 curve = _mm256_cmp_ps(ax, _mm256_set1_ps(0.0031308f), _CMP_NLE_UQ);
    redo = _mm256_and_ps(curve, _mm256_cmp_ps(ax, _mm256_set1_ps(16.f), _CMP_NLT_UQ));
    return _mm256_or_ps(_mm256_blendv_ps(lin, pw, curve), _mm256_and_ps(sign, x));
}

__attribute__((target("avx2,fma"))) inline __m256 decodeSRGB8(__m256 x, __m256& redo) {
    const __m256 sign = _mm256_set1_ps(-0.f);
    const __m256 ax = _mm256_andnot_ps(sign, x);
    const __m256 lin = _mm256_mul_ps(ax, _mm256_set1_ps(1.f / 12.92f));
    const __m256 base =
        _mm256_mul_ps(_mm256_add_ps(ax, _mm256_set1_ps(0.055f)), _mm256_set1_ps(1.f / 1.055f));
    const __m256 pw = tablePower(kDecodeTable, base);
    const __m256 curve = _mm256_cmp_ps(ax, _mm256_set1_ps(0.04045f), _CMP_NLE_UQ);
    redo = _mm256_and_ps(curve, _mm256_cmp_ps(base, _mm256_set1_ps(2048.f), _CMP_NLT_UQ));
    return _mm256_or_ps(_mm256_blendv_ps(lin, pw, curve), _mm256_and_ps(sign, x));
}

__attribute__((target("avx2,fma"), flatten)) void encodeFma(Block& p, int n, Space space) {
    if (space != Space::SRGB)
        return encodeBlock<true>(p, n, space);
    for (float* v : {p.r, p.g, p.b})
        byEights(v, n, encodeSRGB8, [](float x) { return encodeSRGB<true>(x); });
}
__attribute__((target("avx2,fma"), flatten)) void decodeFma(Block& p, int n, Space space) {
    if (space != Space::SRGB)
        return decodeBlock<true>(p, n, space);
    for (float* v : {p.r, p.g, p.b})
        byEights(v, n, decodeSRGB8, [](float x) { return decodeSRGB<true>(x); });
}
#endif

} // namespace

void encode(Block& p, int n, Space space) {
#if defined(__x86_64__) && defined(__GNUC__)
    if (hasAvx2())
        return encodeFma(p, n, space);
#endif
    encodeBlock<false>(p, n, space);
}

void decode(Block& p, int n, Space space) {
#if defined(__x86_64__) && defined(__GNUC__)
    if (hasAvx2())
        return decodeFma(p, n, space);
#endif
    decodeBlock<false>(p, n, space);
}

} // namespace ci::builtin::color
