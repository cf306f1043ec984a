#pragma once

// Shared machinery of the per-pixel colour filters: the table of the space each filter's maths
// runs in, block-wise processing of kernel rows in planar form (so the loops vectorise), and
// sRGB curves fast enough for that.

#include "ci/core/Filter.h"
#include "ci/core/Kernel.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <string_view>

// The per-pixel helpers must inline into the block loops, or those loops stop vectorising.
#if defined(__GNUC__)
#define CI_ALWAYS_INLINE [[gnu::always_inline]] inline
#else
#define CI_ALWAYS_INLINE inline
#endif

// The hottest loops are built twice, for any x86-64 and for processors with AVX2 and FMA, and
// the loader picks one when the program starts. The compiler keeps to separate multiplies and
// adds in both (no contraction in ISO mode), so both give the same results. Not under
// ThreadSanitizer: the loader's choice runs before its runtime has started.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__SANITIZE_THREAD__)
#define CI_VECTOR_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define CI_VECTOR_CLONES
#endif

namespace ci::builtin::color {

// ---- Processor dispatch ------------------------------------------------------------------------

/// Whether the processor has AVX2 and FMA (asked once).
bool hasAvx2();

#if defined(__x86_64__) && defined(__GNUC__)
/// f() with everything it calls inlined and compiled for AVX2 and FMA: a colour kernel's block
/// loop with its maths, which are templates and lambdas that the clones above cannot reach.
template <class F> __attribute__((target("avx2,fma"), flatten)) void runAvx2(const F& f) {
    f();
}
/// f(), built for AVX2 where the processor has it; the same results either way.
template <class F> CI_ALWAYS_INLINE void vectorised(const F& f) {
    if (hasAvx2())
        runAvx2(f);
    else
        f();
}
#else
template <class F> CI_ALWAYS_INLINE void vectorised(const F& f) {
    f();
}
#endif

// ---- Working space per filter ---------------------------------------------------------------

/// Where a filter's maths runs: on unpremultiplied linear values, on sRGB-encoded values, or in
/// the square-root ("gamma 2") encoding.
enum class Space { Linear, SRGB, Gamma2 };

struct SpaceEntry {
    std::string_view filter;
    Space space;
};

// The one place to switch a filter between spaces once it has been compared side by side with
// the platform; the maths of each filter is written against whatever space this says.
inline constexpr SpaceEntry kSpaces[] = {
    {"CIColorControls", Space::Linear},
    {"CIExposureAdjust", Space::Linear},
    {"CIGammaAdjust", Space::Linear},
    {"CIHueAdjust", Space::Linear},
    {"CIVibrance", Space::SRGB},
    {"CITemperatureAndTint", Space::Linear},
    {"CIToneCurve", Space::Gamma2},
    {"CIColorMatrix", Space::Linear},
    {"CIHighlightShadowAdjust", Space::SRGB},
    {"CIWhitePointAdjust", Space::Linear},
    {"CIColorInvert", Space::Linear},
    {"CIMaskToAlpha", Space::Linear},
    {"CIMinimumComponent", Space::Linear},
    {"CIMaximumComponent", Space::Linear},
    {"CIColorMonochrome", Space::Linear},
    {"CISepiaTone", Space::SRGB},
    {"CIFalseColor", Space::Linear},
    {"CIVignette", Space::Linear},
    {"CIVignetteEffect", Space::Linear},
    {"CIPhotoEffectChrome", Space::SRGB},
    {"CIPhotoEffectFade", Space::SRGB},
    {"CIPhotoEffectInstant", Space::SRGB},
    {"CIPhotoEffectMono", Space::SRGB},
    {"CIPhotoEffectNoir", Space::SRGB},
    {"CIPhotoEffectProcess", Space::SRGB},
    {"CIPhotoEffectTonal", Space::SRGB},
    {"CIPhotoEffectTransfer", Space::SRGB},
    {"CIFaceBalance", Space::SRGB},
    {"CIColorBurnBlendMode", Space::Linear},
    {"CIColorDodgeBlendMode", Space::Linear},
    {"CIDarkenBlendMode", Space::Linear},
    {"CIDifferenceBlendMode", Space::Linear},
    {"CIDivideBlendMode", Space::Linear},
    {"CIExclusionBlendMode", Space::Linear},
    {"CIHardLightBlendMode", Space::Linear},
    {"CIHueBlendMode", Space::Linear},
    {"CILightenBlendMode", Space::Linear},
    {"CILinearBurnBlendMode", Space::Linear},
    {"CILinearDodgeBlendMode", Space::Linear},
    {"CILuminosityBlendMode", Space::Linear},
    {"CIMultiplyBlendMode", Space::Linear},
    {"CIOverlayBlendMode", Space::Linear},
    {"CIPinLightBlendMode", Space::Linear},
    {"CISaturationBlendMode", Space::Linear},
    {"CIScreenBlendMode", Space::Linear},
    {"CISoftLightBlendMode", Space::Linear},
    {"CISubtractBlendMode", Space::Linear},
};

constexpr Space spaceOf(std::string_view filter) {
    for (const auto& e : kSpaces)
        if (e.filter == filter)
            return e.space;
    return Space::Linear;
}

// ---- Scalar helpers (branch-free so that loops using them vectorise) --------------------------

/// Results are kept inside this bound so that the product of any two stays finite.
inline constexpr float kMaxValue = 1e18f;

/// cond ? a : b with both already computed. A plain conditional on a computed value gets turned
/// back into a branch around the computation, which stops the loop from vectorising.
CI_ALWAYS_INLINE float pick(bool cond, float a, float b) {
    const uint32_t m = 0u - uint32_t(cond);
    return std::bit_cast<float>((std::bit_cast<uint32_t>(a) & m) | (std::bit_cast<uint32_t>(b) & ~m));
}

/// |y| with the sign of x (copysign, in a form that keeps loops vectorised).
CI_ALWAYS_INLINE float withSignOf(float y, float x) {
    return std::bit_cast<float>((std::bit_cast<uint32_t>(y) & 0x7fffffffu) |
                                (std::bit_cast<uint32_t>(x) & 0x80000000u));
}

CI_ALWAYS_INLINE float maxf(float a, float b) {
    return pick(a < b, b, a);
}
CI_ALWAYS_INLINE float minf(float a, float b) {
    return pick(b < a, b, a);
}
CI_ALWAYS_INLINE float clamp01(float x) {
    return pick(x < 0.f, 0.f, pick(x > 1.f, 1.f, x));
}
CI_ALWAYS_INLINE float clampf(float x, float lo, float hi) {
    return pick(x < lo, lo, pick(x > hi, hi, x));
}
CI_ALWAYS_INLINE float mixf(float p, float q, float t) {
    return p + (q - p) * t;
}
CI_ALWAYS_INLINE float lum709(float r, float g, float b) {
    return 0.2126f * r + 0.7152f * g + 0.0722f * b;
}

/// NaN becomes 0, infinities the largest kept value.
CI_ALWAYS_INLINE float finite(float x) {
    x = pick(x == x, x, 0.f);
    return clampf(x, -kMaxValue, kMaxValue);
}

/// smoothstep with a step instead of a division by zero when e1 <= e0.
CI_ALWAYS_INLINE float smoothstepSafe(float e0, float e1, float x) {
    const float w = e1 - e0;
    const bool ramp = w > 0.f;
    const float t = clamp01((x - e0) / pick(ramp, w, 1.f));
    const float smooth = t * t * (3.f - 2.f * t);
    const float step = pick(x < e0, 0.f, 1.f);
    return pick(ramp, smooth, step);
}

/// Square root of x >= 0 to float precision, written so that loops using it vectorise (the
/// library call has an error path that prevents that).
CI_ALWAYS_INLINE float fastSqrt(float x) {
    float y = std::bit_cast<float>(0x5f375a86 - (std::bit_cast<int32_t>(x) >> 1));
    const float h = 0.5f * x;
    y = y * (1.5f - h * y * y);
    y = y * (1.5f - h * y * y);
    y = y * (1.5f - h * y * y);
    return x * y;
}

/// a * b + c. `Fused` rounds once (one instruction where the processor has FMA); only code built
/// for FMA may ask for it, since elsewhere it becomes a slow library call.
template <bool Fused = false> CI_ALWAYS_INLINE float madd(float a, float b, float c) {
    if constexpr (Fused)
        return __builtin_fmaf(a, b, c);
    else
        return a * b + c;
}

/// log2 of a positive normal float, about 3e-7 absolute error.
template <bool Fused = false> CI_ALWAYS_INLINE float fastLog2(float x) {
    int32_t i = std::bit_cast<int32_t>(x);
    int32_t e = ((i >> 23) & 0xff) - 127;
    float m = std::bit_cast<float>((i & 0x7fffff) | 0x3f800000);
    const bool big = m > 1.41421356f;
    m *= pick(big, 0.5f, 1.f);
    e += big ? 1 : 0;
    // log2(1 + t) = t q(t), q a least-squares fit on the mantissa range (no division).
    const float t = m - 1.f;
    float q = -0.146203527f;
    q = madd<Fused>(t, q, 0.23420985f);
    q = madd<Fused>(t, q, -0.248821807f);
    q = madd<Fused>(t, q, 0.287075611f);
    q = madd<Fused>(t, q, -0.360241986f);
    q = madd<Fused>(t, q, 0.480924039f);
    q = madd<Fused>(t, q, -0.721352759f);
    q = madd<Fused>(t, q, 1.44269496f);
    return madd<Fused>(t, q, float(e));
}

/// 2^y with about 1e-7 relative error; y is clamped to the normal float range.
template <bool Fused = false> CI_ALWAYS_INLINE float fastExp2(float y) {
    y = clampf(y, -126.f, 127.f);
    int32_t n = int32_t(y + pick(y >= 0.f, 0.5f, -0.5f));
    float f = y - float(n);
    // A least-squares fit of 2^f on [-0.5, 0.5].
    float p = 0.00134004322f;
    p = madd<Fused>(f, p, 0.0096760371f);
    p = madd<Fused>(f, p, 0.0555032721f);
    p = madd<Fused>(f, p, 0.240221074f);
    p = madd<Fused>(f, p, 0.693147207f);
    p = madd<Fused>(f, p, 1.00000008f);
    return p * std::bit_cast<float>((n + 127) << 23);
}

/// x^k for x > 0.
template <bool Fused = false> CI_ALWAYS_INLINE float fastPow(float x, float k) {
    return fastExp2<Fused>(k * fastLog2<Fused>(x));
}

/// The sRGB encoding curve, sign preserved.
template <bool Fused = false> CI_ALWAYS_INLINE float encodeSRGB(float x) {
    float ax = std::fabs(x);
    float lin = 12.92f * ax;
    float pw = madd<Fused>(1.055f, fastPow<Fused>(ax, 1.f / 2.4f), -0.055f);
    return withSignOf(pick(ax <= 0.0031308f, lin, pw), x);
}

/// The sRGB decoding curve, sign preserved.
template <bool Fused = false> CI_ALWAYS_INLINE float decodeSRGB(float x) {
    float ax = std::fabs(x);
    float lin = ax * (1.f / 12.92f);
    float pw = fastPow<Fused>((ax + 0.055f) * (1.f / 1.055f), 2.4f);
    return withSignOf(pick(ax <= 0.04045f, lin, pw), x);
}

CI_ALWAYS_INLINE float encodeGamma2(float x) {
    return withSignOf(fastSqrt(std::fabs(x)), x);
}
CI_ALWAYS_INLINE float decodeGamma2(float x) {
    return x * std::fabs(x);
}

// ---- Planar blocks -----------------------------------------------------------------------------

inline constexpr int kBlock = 64;

/// Up to kBlock pixels in planar form.
struct Block {
    alignas(32) float r[kBlock];
    alignas(32) float g[kBlock];
    alignas(32) float b[kBlock];
    alignas(32) float a[kBlock];
};

inline void load(const float* px, Block& p, int n) {
    for (int i = 0; i < n; ++i) {
        p.r[i] = px[4 * i];
        p.g[i] = px[4 * i + 1];
        p.b[i] = px[4 * i + 2];
        p.a[i] = px[4 * i + 3];
    }
}

/// Writes the block out; nothing that leaves a colour filter is NaN or infinite.
inline void store(const Block& p, float* px, int n) {
    for (int i = 0; i < n; ++i) {
        px[4 * i] = finite(p.r[i]);
        px[4 * i + 1] = finite(p.g[i]);
        px[4 * i + 2] = finite(p.b[i]);
        px[4 * i + 3] = finite(p.a[i]);
    }
}

/// c / a, and 0 where a == 0.
inline void unpremultiply(Block& p, int n) {
    for (int i = 0; i < n; ++i) {
        const float a = p.a[i];
        const float inv = 1.f / pick(a != 0.f, a, 1.f);
        const float k = pick(a != 0.f, inv, 0.f);
        p.r[i] *= k;
        p.g[i] *= k;
        p.b[i] *= k;
    }
}

inline void premultiply(Block& p, int n) {
    for (int i = 0; i < n; ++i) {
        p.r[i] *= p.a[i];
        p.g[i] *= p.a[i];
        p.b[i] *= p.a[i];
    }
}

template <class F> inline void forRGB(Block& p, int n, F f) {
    for (int i = 0; i < n; ++i)
        p.r[i] = f(p.r[i]);
    for (int i = 0; i < n; ++i)
        p.g[i] = f(p.g[i]);
    for (int i = 0; i < n; ++i)
        p.b[i] = f(p.b[i]);
}

/// Straight linear values into the given space.
void encode(Block& p, int n, Space space);
/// Values in the given space back to straight linear ones.
void decode(Block& p, int n, Space space);

/// A colour input as straight RGBA in the given space.
inline std::array<float, 4> colorIn(const Color& c, Space space) {
    auto lin = c.linearStraight();
    if (space == Space::SRGB)
        return {float(c.r), float(c.g), float(c.b), float(c.a)};
    if (space == Space::Gamma2)
        return {encodeGamma2(lin[0]), encodeGamma2(lin[1]), encodeGamma2(lin[2]), lin[3]};
    return lin;
}

/// Where a block sits: its first pixel and the kernel row it belongs to.
struct Place {
    const ColorRow& row;
    int offset; ///< index of the block's first pixel in the row
    /// Centre of pixel i of the block.
    double x(int i) const { return double(row.x + offset + i) + 0.5; }
    double y() const { return double(row.y) + 0.5; }
    /// Input k's pixels for this block.
    const float* input(int k) const { return row.in[k] + 4 * offset; }
};

/// How a point filter wants its pixels.
enum class Form {
    Straight,    ///< unpremultiplied and in the filter's space; re-premultiplied by the new alpha
    Homogeneous, ///< maths scales with the colour and leaves alpha: premultiplied when linear
};

/// A colour kernel function that runs `maths(Block&, n, Place)` on each block of the first input.
template <class Maths> ColorKernel::Function pointKernel(Space space, Form form, Maths maths) {
    const bool direct = form == Form::Homogeneous && space == Space::Linear;
    return [space, direct, maths](const ColorRow& row) {
        vectorised([&] {
            Block p;
            for (int s = 0; s < row.count; s += kBlock) {
                int n = std::min(kBlock, row.count - s);
                load(row.in[0] + 4 * s, p, n);
                if (!direct) {
                    unpremultiply(p, n);
                    encode(p, n, space);
                }
                maths(p, n, Place{row, s});
                if (!direct) {
                    decode(p, n, space);
                    premultiply(p, n);
                }
                store(p, row.out + 4 * s, n);
            }
        });
    };
}

/// A one-input point filter over the input's extent.
template <class Maths> Image pointFilter(const Image& input, Space space, Form form, Maths maths) {
    if (!input)
        return {};
    return ColorKernel::apply(pointKernel(space, form, std::move(maths)), {input});
}

// ---- Table helpers -----------------------------------------------------------------------------

inline InputSpec number(std::string key, double def, std::string displayName,
                        std::optional<double> sliderMin = {}, std::optional<double> sliderMax = {},
                        std::optional<double> min = {}, std::optional<double> max = {},
                        std::optional<double> identity = {}, const char* type = attr::TypeScalar) {
    InputSpec s;
    s.key = std::move(key);
    s.kind = ValueKind::Number;
    s.defaultValue = def;
    s.displayName = std::move(displayName);
    s.sliderMin = sliderMin;
    s.sliderMax = sliderMax;
    s.min = min;
    s.max = max;
    s.identity = identity;
    s.type = type;
    return s;
}

inline InputSpec colorInput(std::string key, Color def, std::string displayName) {
    InputSpec s;
    s.key = std::move(key);
    s.kind = ValueKind::Color;
    s.defaultValue = def;
    s.displayName = std::move(displayName);
    s.type = attr::TypeColor;
    return s;
}

inline InputSpec boolInput(std::string key, bool def, std::string displayName) {
    InputSpec s;
    s.key = std::move(key);
    s.kind = ValueKind::Boolean;
    s.defaultValue = def;
    s.displayName = std::move(displayName);
    s.type = attr::TypeBoolean;
    return s;
}

/// The categories of a still-image colour filter in the given family category.
inline std::vector<std::string> categories(std::string family) {
    return {std::move(family),      "CICategoryVideo",           "CICategoryStillImage",
            "CICategoryInterlaced", "CICategoryNonSquarePixels", "CICategoryHighDynamicRange",
            "CICategoryBuiltIn"};
}

} // namespace ci::builtin::color
