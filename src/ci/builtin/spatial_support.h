#pragma once

// Helpers shared by the spatial filter families (blur, sharpen, stylize, halftone, distortion,
// tile, geometry).

#include "ci/core/Bitmap.h"
#include "ci/core/Filter.h"
#include "ci/core/Image.h"
#include "ci/core/Kernel.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace ci::builtin::spatial {

inline constexpr double kPi = std::numbers::pi;

/// Radii beyond this only make renders huge; larger values are read as this.
inline constexpr double kMaxRadius = 1000;

/// A finite number or the fallback (callers may send anything).
inline double finiteOr(double v, double fallback) {
    return std::isfinite(v) ? v : fallback;
}

inline double number(const Inputs& in, const char* key, double fallback) {
    return finiteOr(in.number(key), fallback);
}

/// A 2-vector input as a point; non-finite components fall back to `fallback`.
inline Point point(const Inputs& in, const char* key, Point fallback = {150, 150}) {
    Vector v = in.vector(key);
    return {finiteOr(v.x(), fallback.x), finiteOr(v.y(), fallback.y)};
}

inline float luma(float r, float g, float b) {
    return 0.2126f * r + 0.7152f * g + 0.0722f * b;
}
inline float luma(const float* p) {
    return luma(p[0], p[1], p[2]);
}

/// Luminance of the un-premultiplied colour (0 where alpha is 0).
inline float lumaStraight(const float* p) {
    return p[3] != 0.f ? luma(p) / p[3] : 0.f;
}

inline double smoothstep(double e0, double e1, double x) {
    double u = std::clamp((x - e0) / (e1 - e0), 0.0, 1.0);
    return u * u * (3 - 2 * u);
}
inline double fract(double x) {
    return x - std::floor(x);
}
inline double fmodPos(double x, double m) {
    return x - m * std::floor(x / m);
}
/// Triangle wave in [0, 1] with period 2.
inline double mirror(double x) {
    return 1 - std::abs(1 - fmodPos(x, 2));
}

/// Two pseudo-random numbers in [0, 1) for an integer cell; fixed so output is deterministic.
inline void hash2(int64_t i, int64_t j, double& h0, double& h1) {
    auto mix = [](uint32_t x) {
        x ^= x >> 16;
        x *= 0x7feb352du;
        x ^= x >> 15;
        x *= 0x846ca68bu;
        x ^= x >> 16;
        return x;
    };
    uint32_t k = uint32_t(i) * 73856093u ^ uint32_t(j) * 19349663u;
    h0 = mix(k) / 4294967296.0;
    h1 = mix(k ^ 0x9e3779b9u) / 4294967296.0;
}

/// Pointer to the pixels [x0, x1) of row y of a bitmap, transparent where the bitmap has none.
/// Points into the bitmap when it covers the span, else into `scratch`.
const float* rowSpan(const Bitmap& bm, int64_t y, int64_t x0, int64_t x1, std::vector<float>& scratch);

/// Pointer to pixel (x, y) of a kernel's output bitmap (no bounds check).
inline float* outPixel(Bitmap& out, int64_t x, int64_t y) {
    return out.row(y) + (x - out.rect().x0) * 4;
}

/// The rectangle with its finite edges rounded outward.
inline Rect roundOut(const Rect& r) {
    return r.isInfinite() ? r : r.roundedOut();
}

/// The Gaussian blur of CIGaussianBlur (premultiplied RGBA, transparent surroundings blurred in),
/// extent grown by 3 sigma and rounded out. Sigma <= 0 returns the input.
Image gaussianBlur(const Image& image, double sigma);

/// Box average over aligned f x f blocks: reduced pixel (i, j) covers [i f, (i+1) f) x [j f, (j+1) f).
Image reduceBy(const Image& image, int f);
/// Bilinear enlargement of a reduced image back to full resolution, over `extent`.
Image enlargeBy(const Image& reduced, int f, const Rect& extent);

/// A colour kernel writing (Y, Y, Y, 1) of the straight colour wherever the input has alpha, else 0;
/// the extent is the input's. Used as a height/luminance plane that blurs fade like the image.
Image straightLuminance(const Image& image);

/// A number input with a display name, for a table row.
inline InputSpec numberSpec(std::string key, std::string displayName, double def,
                            std::optional<double> sliderMin, std::optional<double> sliderMax,
                            std::optional<double> min = {}, std::optional<double> identity = {},
                            const char* type = attr::TypeScalar) {
    InputSpec s = numberInput(std::move(key), def, sliderMin, sliderMax, min, identity, type);
    s.displayName = std::move(displayName);
    return s;
}

/// Symmetric Gaussian taps w[0..K], K = ceil(3 sigma), normalised so that w0 + 2 sum w[k] = 1.
std::vector<float> gaussianWeights(double sigma);
/// Separable symmetric convolution with taps w[-K..K] (w given for 0..K), x pass then y pass.
Image separableConvolution(const Image& image, std::vector<float> w, const Rect& extent);

/// Bounding box of a set of points.
Rect boundingBox(std::initializer_list<Point> pts);

} // namespace ci::builtin::spatial
