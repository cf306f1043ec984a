#include "Builtins.h"
#include "ColorPipeline.h"

#include "ci/core/Filter.h"

#include <cmath>
#include <limits>
#include <numbers>
#include <optional>
#include <vector>

namespace ci::builtin {

using namespace color;

namespace {

using Mat3 = std::array<std::array<double, 3>, 3>;

Mat3 multiply(const Mat3& a, const Mat3& b) {
    Mat3 m{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k)
                m[i][j] += a[i][k] * b[k][j];
    return m;
}

std::optional<Mat3> inverse(const Mat3& m) {
    double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                 m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                 m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    if (!std::isfinite(det) || std::fabs(det) < 1e-300)
        return std::nullopt;
    Mat3 r;
    r[0][0] = (m[1][1] * m[2][2] - m[1][2] * m[2][1]) / det;
    r[0][1] = (m[0][2] * m[2][1] - m[0][1] * m[2][2]) / det;
    r[0][2] = (m[0][1] * m[1][2] - m[0][2] * m[1][1]) / det;
    r[1][0] = (m[1][2] * m[2][0] - m[1][0] * m[2][2]) / det;
    r[1][1] = (m[0][0] * m[2][2] - m[0][2] * m[2][0]) / det;
    r[1][2] = (m[0][2] * m[1][0] - m[0][0] * m[1][2]) / det;
    r[2][0] = (m[1][0] * m[2][1] - m[1][1] * m[2][0]) / det;
    r[2][1] = (m[0][1] * m[2][0] - m[0][0] * m[2][1]) / det;
    r[2][2] = (m[0][0] * m[1][1] - m[0][1] * m[1][0]) / det;
    return r;
}

/// A 3x3 matrix applied to the colour; being linear, it works on premultiplied pixels.
Image matrixFilter(const Image& input, Space space, const Mat3& m) {
    std::array<float, 9> f;
    for (int i = 0; i < 9; ++i)
        f[i] = float(m[i / 3][i % 3]);
    return pointFilter(input, space, Form::Homogeneous, [f](Block& p, int n, const Place&) {
        for (int i = 0; i < n; ++i) {
            float r = p.r[i], g = p.g[i], b = p.b[i];
            p.r[i] = f[0] * r + f[1] * g + f[2] * b;
            p.g[i] = f[3] * r + f[4] * g + f[5] * b;
            p.b[i] = f[6] * r + f[7] * g + f[8] * b;
        }
    });
}

// ---- CIColorControls ----

Image colorControls(const Inputs& in) {
    Image image = in.image("inputImage");
    float sat = float(in.number("inputSaturation"));
    float bright = float(in.number("inputBrightness"));
    float contrast = float(in.number("inputContrast"));
    if (image && sat == 1.f && bright == 0.f && contrast == 1.f)
        return image;
    return pointFilter(image, spaceOf("CIColorControls"), Form::Straight,
                       [sat, bright, contrast](Block& p, int n, const Place&) {
                           for (int i = 0; i < n; ++i) {
                               float y = lum709(p.r[i], p.g[i], p.b[i]);
                               p.r[i] = ((y + (p.r[i] - y) * sat + bright) - 0.5f) * contrast + 0.5f;
                               p.g[i] = ((y + (p.g[i] - y) * sat + bright) - 0.5f) * contrast + 0.5f;
                               p.b[i] = ((y + (p.b[i] - y) * sat + bright) - 0.5f) * contrast + 0.5f;
                           }
                       });
}

// ---- CIExposureAdjust ----

Image exposureAdjust(const Inputs& in) {
    Image image = in.image("inputImage");
    double ev = in.number("inputEV");
    if (image && ev == 0)
        return image;
    float gain = finite(float(std::exp2(ev)));
    return pointFilter(image, spaceOf("CIExposureAdjust"), Form::Homogeneous,
                       [gain](Block& p, int n, const Place&) {
                           for (int i = 0; i < n; ++i) {
                               p.r[i] *= gain;
                               p.g[i] *= gain;
                               p.b[i] *= gain;
                           }
                       });
}

// ---- CIGammaAdjust ----

Image gammaAdjust(const Inputs& in) {
    Image image = in.image("inputImage");
    float power = float(in.number("inputPower"));
    if (image && power == 1.f)
        return image;
    // What |0|^power tends to: 1 for power 0, nothing for a positive power, unbounded otherwise.
    const float atZero = power > 0.f ? 0.f : (power == 0.f ? 1.f : kMaxValue);
    return pointFilter(image, spaceOf("CIGammaAdjust"), Form::Straight,
                       [power, atZero](Block& p, int n, const Place&) {
                           forRGB(p, n, [power, atZero](float c) {
                               float ac = std::fabs(c);
                               float pw = fastPow(ac, power);
                               float v = pick(ac > 0.f, pw, atZero);
                               return withSignOf(v, c);
                           });
                       });
}

// ---- CIHueAdjust ----

Image hueAdjust(const Inputs& in) {
    Image image = in.image("inputImage");
    double angle = in.number("inputAngle");
    if (image && angle == 0)
        return image;
    double co = std::cos(angle), s = std::sin(angle);
    double k = (1 - co) / 3, q = s / std::numbers::sqrt3;
    Mat3 m = {{{co + k, k - q, k + q}, {k + q, co + k, k - q}, {k - q, k + q, co + k}}};
    return matrixFilter(image, spaceOf("CIHueAdjust"), m);
}

// ---- CIVibrance ----

Image vibrance(const Inputs& in) {
    Image image = in.image("inputImage");
    float amount = float(in.number("inputAmount"));
    if (image && amount == 0.f)
        return image;
    const float fade = std::max(0.f, 1.f + amount);
    return pointFilter(image, spaceOf("CIVibrance"), Form::Straight,
                       [amount, fade](Block& p, int n, const Place&) {
                           for (int i = 0; i < n; ++i) {
                               float r = p.r[i], g = p.g[i], b = p.b[i];
                               float y = lum709(r, g, b);
                               float mx = maxf(r, maxf(g, b));
                               float mn = minf(r, minf(g, b));
                               float d = mx - mn;
                               float sat = clamp01(d);
                               float dd = pick(d > 0.f, d, 1.f);
                               // Skin tones lie within 20 degrees of a hue of 25, between red
                               // and yellow, where red is the largest component and green is
                               // at least blue: the hue there is 60 (g - b) / d. Everywhere else
                               // (the other sectors; red with more blue than green, which gives
                               // a negative stand-in; greys, which give 0) it lies further away
                               // and the weight is 0.
                               const bool onR = mx == r;
                               float h = pick(onR, 60.f * ((g - b) / dd), 180.f);
                               float skin = clamp01(1.f - std::fabs(h - 25.f) / 20.f) *
                                            clamp01(1.f - std::fabs(sat - 0.35f) / 0.30f);
                               float boost = 1.f + amount * (1.f - sat) * (1.f - sat) * (1.f - 0.7f * skin);
                               float gain = pick(amount >= 0.f, boost, fade);
                               p.r[i] = y + (r - y) * gain;
                               p.g[i] = y + (g - y) * gain;
                               p.b[i] = y + (b - y) * gain;
                           }
                       });
}

// ---- CITemperatureAndTint ----

struct XY {
    double x, y;
};

XY planckian(double t) {
    double t2 = t * t, t3 = t2 * t;
    double x = t <= 4000 ? -0.2661239e9 / t3 - 0.2343589e6 / t2 + 0.8776956e3 / t + 0.179910
                         : -3.0258469e9 / t3 + 2.1070379e6 / t2 + 0.2226347e3 / t + 0.240390;
    double x2 = x * x, x3 = x2 * x;
    double y = t <= 2222   ? -1.1063814 * x3 - 1.3481102 * x2 + 2.18555832 * x - 0.20219683
               : t <= 4000 ? -0.9549476 * x3 - 1.37418593 * x2 + 2.09137015 * x - 0.16748867
                           : 3.081758 * x3 - 5.8733867 * x2 + 3.75112997 * x - 0.37001483;
    return {x, y};
}

XY toUV(XY c) {
    double d = -2 * c.x + 12 * c.y + 3;
    return {4 * c.x / d, 6 * c.y / d};
}

/// The XYZ white (Y = 1) a neutral vector stands for: a chromaticity or (kelvin, tint).
std::optional<std::array<double, 3>> whiteOf(const Vector& v) {
    double v0 = v.x(), v1 = v.y();
    XY xy;
    if (v0 > 0 && v0 < 1 && v1 > 0 && v1 < 1) {
        xy = {v0, v1};
    } else {
        if (!(v0 > 0) || !std::isfinite(v1))
            return std::nullopt;
        double t = std::clamp(v0, 1667.0, 25000.0);
        XY uv = toUV(planckian(t));
        XY lo = toUV(planckian(t * 0.99)), hi = toUV(planckian(t * 1.01));
        double tu = hi.x - lo.x, tv = hi.y - lo.y;
        double len = std::hypot(tu, tv);
        if (len > 0) {
            double nu = -tv / len, nv = tu / len;
            if (nv < 0) {
                nu = -nu;
                nv = -nv;
            }
            uv.x += v1 / 3000 * nu;
            uv.y += v1 / 3000 * nv;
        }
        double d = 2 * uv.x - 8 * uv.y + 4;
        if (d == 0)
            return std::nullopt;
        xy = {3 * uv.x / d, 2 * uv.y / d};
    }
    if (!(xy.y > 0) || !std::isfinite(xy.x))
        return std::nullopt;
    return std::array<double, 3>{xy.x / xy.y, 1.0, (1 - xy.x - xy.y) / xy.y};
}

Image temperatureAndTint(const Inputs& in) {
    Image image = in.image("inputImage");
    if (!image)
        return {};
    Vector neutral = in.vector("inputNeutral"), target = in.vector("inputTargetNeutral");
    if (neutral.x() == target.x() && neutral.y() == target.y())
        return image;
    auto wn = whiteOf(neutral), wt = whiteOf(target);
    if (!wn || !wt)
        return image;
    const Mat3 bradford = {{{0.8951, 0.2664, -0.1614}, {-0.7502, 1.7135, 0.0367}, {0.0389, -0.0685, 1.0296}}};
    const Mat3 toXYZ = {{{0.4124, 0.3576, 0.1805}, {0.2126, 0.7152, 0.0722}, {0.0193, 0.1192, 0.9505}}};
    // The inverses are computed rather than taken from rounded tables so that equal white points
    // give the identity to double precision.
    auto bradfordInv = inverse(bradford);
    auto fromXYZ = inverse(toXYZ);
    Mat3 scale{};
    for (int i = 0; i < 3; ++i) {
        double s = 0, d = 0;
        for (int k = 0; k < 3; ++k) {
            s += bradford[i][k] * (*wt)[k];
            d += bradford[i][k] * (*wn)[k];
        }
        scale[i][i] = s / d;
        if (!std::isfinite(scale[i][i]))
            return image;
    }
    Mat3 m = multiply(*fromXYZ, multiply(*bradfordInv, multiply(scale, multiply(bradford, toXYZ))));
    return matrixFilter(image, spaceOf("CITemperatureAndTint"), m);
}

// ---- CIToneCurve ----

/// A natural cubic spline through up to five points, as polynomials per segment.
struct Spline {
    int segments = 0;                            ///< points - 1
    std::array<float, 5> x{}, y{};               ///< knots
    std::array<float, 4> c0{}, c1{}, c2{}, c3{}; ///< y = c0 + c1 u + c2 u^2 + c3 u^3, u = p - x_i
    float slope0 = 0, slope1 = 0;                ///< end slopes
    /// Segment starts; unused segments start at infinity, so a fixed-length search serves
    /// every curve and the loop over pixels vectorises.
    std::array<float, 4> start{};

    CI_ALWAYS_INLINE float eval(float p) const {
        float xi = start[0], a = c0[0], b = c1[0], c = c2[0], d = c3[0];
        for (int k = 1; k < 4; ++k) {
            bool past = p >= start[k];
            xi = pick(past, start[k], xi);
            a = pick(past, c0[k], a);
            b = pick(past, c1[k], b);
            c = pick(past, c2[k], c);
            d = pick(past, c3[k], d);
        }
        float u = p - xi;
        return a + u * (b + u * (c + u * d));
    }
};

Spline makeSpline(std::vector<std::pair<double, double>> pts) {
    std::stable_sort(pts.begin(), pts.end(), [](auto& a, auto& b) { return a.first < b.first; });
    std::vector<std::pair<double, double>> k;
    for (auto& p : pts)
        if (k.empty() || p.first != k.back().first)
            k.push_back(p);
    Spline s;
    int n = int(k.size());
    for (int i = 0; i < n; ++i) {
        s.x[i] = float(k[i].first);
        s.y[i] = float(k[i].second);
    }
    s.segments = n - 1;
    for (int i = 0; i < 4; ++i)
        s.start[i] = i == 0 || i < n - 1 ? s.x[i] : std::numeric_limits<float>::infinity();
    if (n == 1) {
        s.c0[0] = s.y[0];
        return s;
    }
    // Second derivatives with M0 = M(n-1) = 0 (tridiagonal solve).
    std::vector<double> h(n - 1), M(n, 0.0);
    for (int i = 0; i < n - 1; ++i)
        h[i] = k[i + 1].first - k[i].first;
    if (n > 2) {
        int m = n - 2;
        std::vector<double> diag(m), rhs(m), upper(m);
        for (int i = 0; i < m; ++i) {
            diag[i] = 2 * (h[i] + h[i + 1]);
            upper[i] = h[i + 1];
            rhs[i] =
                6 * ((k[i + 2].second - k[i + 1].second) / h[i + 1] - (k[i + 1].second - k[i].second) / h[i]);
        }
        for (int i = 1; i < m; ++i) {
            double w = h[i] / diag[i - 1];
            diag[i] -= w * upper[i - 1];
            rhs[i] -= w * rhs[i - 1];
        }
        for (int i = m - 1; i >= 0; --i)
            M[i + 1] = (rhs[i] - (i + 1 < m ? upper[i] * M[i + 2] : 0)) / diag[i];
    }
    for (int i = 0; i < n - 1; ++i) {
        double slope = (k[i + 1].second - k[i].second) / h[i];
        s.c0[i] = float(k[i].second);
        s.c1[i] = float(slope - h[i] * (2 * M[i] + M[i + 1]) / 6);
        s.c2[i] = float(M[i] / 2);
        s.c3[i] = float((M[i + 1] - M[i]) / (6 * h[i]));
    }
    s.slope0 = s.c1[0];
    double hl = h[n - 2];
    s.slope1 = float(s.c1[n - 2] + 2 * s.c2[n - 2] * hl + 3 * s.c3[n - 2] * hl * hl);
    return s;
}

Image toneCurve(const Inputs& in) {
    Image image = in.image("inputImage");
    if (!image)
        return {};
    std::vector<std::pair<double, double>> pts;
    for (int i = 0; i < 5; ++i) {
        Vector v = in.vector("inputPoint" + std::to_string(i));
        if (std::isfinite(v.x()) && std::isfinite(v.y()))
            pts.emplace_back(v.x(), v.y());
    }
    if (pts.empty())
        return image;
    Spline s = makeSpline(std::move(pts));
    bool extrapolate = in.boolean("inputExtrapolate");
    const float first = s.x[0], last = s.x[s.segments];
    const float yFirst = s.eval(first), yLast = s.eval(last);
    return pointFilter(image, spaceOf("CIToneCurve"), Form::Straight,
                       [s, extrapolate, first, last, yFirst, yLast](Block& p, int n, const Place&) {
                           if (extrapolate) {
                               forRGB(p, n, [&](float v) {
                                   float inside = s.eval(clampf(v, first, last));
                                   float below = yFirst + s.slope0 * (v - first);
                                   float above = yLast + s.slope1 * (v - last);
                                   return pick(v < first, below, pick(v > last, above, inside));
                               });
                           } else {
                               forRGB(p, n, [&](float v) { return s.eval(clampf(clamp01(v), first, last)); });
                           }
                       });
}

// ---- CIColorMatrix ----

Image colorMatrix(const Inputs& in) {
    Image image = in.image("inputImage");
    Vector rv = in.vector("inputRVector"), gv = in.vector("inputGVector"), bv = in.vector("inputBVector"),
           av = in.vector("inputAVector"), bias = in.vector("inputBiasVector");
    auto is = [](const Vector& v, double a, double b, double c, double d) {
        return v.at(0) == a && v.at(1) == b && v.at(2) == c && v.at(3) == d;
    };
    if (image && is(rv, 1, 0, 0, 0) && is(gv, 0, 1, 0, 0) && is(bv, 0, 0, 1, 0) && is(av, 0, 0, 0, 1) &&
        is(bias, 0, 0, 0, 0))
        return image;
    std::array<float, 20> m;
    const Vector* rows[5] = {&rv, &gv, &bv, &av, &bias};
    for (int r = 0; r < 5; ++r)
        for (int c = 0; c < 4; ++c)
            m[r * 4 + c] = float(rows[r]->at(c));
    return pointFilter(image, spaceOf("CIColorMatrix"), Form::Straight, [m](Block& p, int n, const Place&) {
        for (int i = 0; i < n; ++i) {
            float r = p.r[i], g = p.g[i], b = p.b[i], a = p.a[i];
            p.r[i] = m[0] * r + m[1] * g + m[2] * b + m[3] * a + m[16];
            p.g[i] = m[4] * r + m[5] * g + m[6] * b + m[7] * a + m[17];
            p.b[i] = m[8] * r + m[9] * g + m[10] * b + m[11] * a + m[18];
            p.a[i] = m[12] * r + m[13] * g + m[14] * b + m[15] * a + m[19];
        }
    });
}

// ---- CIHighlightShadowAdjust ----

/// Luma of P in [0, 1] and the mask value -> the new luma. Inlined into the block loops, which
/// then run on whole vectors of pixels.
template <bool Shadows, bool Highlights>
CI_ALWAYS_INLINE float shadowHighlightTone(float y, float m, float shadow, float d) {
    float y1 = y;
    if constexpr (Shadows) {
        float lifted = fastPow(y, fastExp2(-shadow * (1.f - m) * (1.f - m)));
        y1 = pick((y > 0.f) & (y <= 1.f), lifted, y);
    }
    float y2 = y1;
    if constexpr (Highlights) {
        float q = 1.f - y1;
        float pulled = 1.f - fastPow(pick(q > 0.f, q, 1.f), fastExp2(-d * m * m));
        y2 = pick((y1 >= 0.f) & (y1 < 1.f), pulled, y1);
    }
    return y2;
}

template <bool Shadows, bool Highlights>
CI_ALWAYS_INLINE void applyShadowHighlight(Block& p, int i, float m, float shadow, float d) {
    const float r = p.r[i], g = p.g[i], b = p.b[i];
    const float y = lum709(r, g, b);
    const float ratio = shadowHighlightTone<Shadows, Highlights>(y, clamp01(m), shadow, d) / maxf(y, 1e-4f);
    // A colour in gamut has at least its largest component times the smallest weight as luma. A
    // colour outside it (a component below black, as contrast and white balance leave saturated
    // blues) can have almost no luma for all its colour, and scaling it by the tone's ratio
    // would blow it up into a bright speck beside neighbours with no luma at all, which have no
    // tone to move and stay as they are. Such a colour moves by the ratio only in proportion to
    // how much of an in-gamut colour's luma it has; in gamut nothing changes.
    const float most = maxf(std::fabs(r), maxf(std::fabs(g), std::fabs(b)));
    const float share = y / maxf(0.0722f * most, 1e-30f);
    const float k = pick(y > 0.f, pick(share >= 1.f, ratio, 1.f + (ratio - 1.f) * share), 1.f);
    p.r[i] *= k;
    p.g[i] *= k;
    p.b[i] *= k;
}

/// The tone kernel; a part whose amount is at its no-change value is left out (each costs two
/// powers per pixel).
template <bool Shadows, bool Highlights>
Image shadowHighlightKernel(const Image& image, const Image& mask, Space space, float shadow, float d) {
    if (!mask) {
        return pointFilter(image, space, Form::Straight, [shadow, d](Block& p, int n, const Place&) {
            for (int i = 0; i < n; ++i)
                applyShadowHighlight<Shadows, Highlights>(p, i, lum709(p.r[i], p.g[i], p.b[i]), shadow, d);
        });
    }
    auto fn = pointKernel(space, Form::Straight, [shadow, d](Block& p, int n, const Place& at) {
        const float* m = at.input(1);
        for (int i = 0; i < n; ++i)
            applyShadowHighlight<Shadows, Highlights>(p, i, m[4 * i], shadow, d);
    });
    return ColorKernel::apply(fn, {image, mask}, image.extent());
}

Image highlightShadowAdjust(const Inputs& in) {
    Image image = in.image("inputImage");
    float highlight = float(in.number("inputHighlightAmount"));
    float shadow = float(in.number("inputShadowAmount"));
    double radius = in.number("inputRadius");
    if (!image)
        return {};
    if (highlight == 1.f && shadow == 0.f)
        return image;
    const Space space = spaceOf("CIHighlightShadowAdjust");

    Image mask;
    if (radius > 0) {
        // The mask is the luma blurred over the neighbourhood, with the edges extended so the
        // border does not darken it.
        Image luma = ColorKernel::apply(
            [space](const ColorRow& row) {
                vectorised([&] {
                    Block p;
                    for (int s = 0; s < row.count; s += kBlock) {
                        int n = std::min(kBlock, row.count - s);
                        load(row.in[0] + 4 * s, p, n);
                        unpremultiply(p, n);
                        encode(p, n, space);
                        for (int i = 0; i < n; ++i) {
                            float y = lum709(p.r[i], p.g[i], p.b[i]);
                            p.r[i] = p.g[i] = p.b[i] = y;
                            p.a[i] = 1.f;
                        }
                        store(p, row.out + 4 * s, n);
                    }
                });
            },
            {image});
        if (auto blur = Filter::make("CIGaussianBlur")) {
            blur->setValue("inputImage", luma.clampedToExtent());
            blur->setValue("inputRadius", 10 * radius);
            if (Image blurred = blur->outputImage())
                mask = blurred.cropped(image.extent());
        }
    }
    const float d = 1.f - highlight;
    if (shadow == 0.f)
        return shadowHighlightKernel<false, true>(image, mask, space, shadow, d);
    if (d == 0.f)
        return shadowHighlightKernel<true, false>(image, mask, space, shadow, d);
    return shadowHighlightKernel<true, true>(image, mask, space, shadow, d);
}

// ---- CIWhitePointAdjust ----

Image whitePointAdjust(const Inputs& in) {
    Image image = in.image("inputImage");
    Color c = in.color("inputColor");
    if (image && c.r == 1 && c.g == 1 && c.b == 1)
        return image;
    auto w = colorIn(c, spaceOf("CIWhitePointAdjust"));
    return pointFilter(image, spaceOf("CIWhitePointAdjust"), Form::Homogeneous,
                       [w](Block& p, int n, const Place&) {
                           for (int i = 0; i < n; ++i) {
                               p.r[i] *= w[0];
                               p.g[i] *= w[1];
                               p.b[i] *= w[2];
                           }
                       });
}

} // namespace

void registerColorAdjustmentFilters() {
    const auto cats = categories("CICategoryColorAdjustment");
    defineBuiltin({"CIColorControls",
                   "Color Controls",
                   cats,
                   {imageInput(), number("inputSaturation", 1, "Saturation", 0, 2, 0, {}, 1),
                    number("inputBrightness", 0, "Brightness", -1, 1, {}, {}, 0),
                    number("inputContrast", 1, "Contrast", 0.25, 4, 0, {}, 1)},
                   colorControls});
    defineBuiltin({"CIExposureAdjust",
                   "Exposure Adjust",
                   cats,
                   {imageInput(), number("inputEV", 0, "EV", -10, 10, {}, {}, 0)},
                   exposureAdjust});
    defineBuiltin({"CIGammaAdjust",
                   "Gamma Adjust",
                   cats,
                   {imageInput(), number("inputPower", 1, "Power", 0.25, 4, {}, {}, 1)},
                   gammaAdjust});
    defineBuiltin({"CIHueAdjust",
                   "Hue Adjust",
                   cats,
                   {imageInput(), number("inputAngle", 0, "Angle", -std::numbers::pi, std::numbers::pi, {},
                                         {}, 0, attr::TypeAngle)},
                   hueAdjust});
    defineBuiltin({"CIVibrance",
                   "Vibrance",
                   cats,
                   {imageInput(), number("inputAmount", 0, "Amount", -1, 1, -1, 1, 0)},
                   vibrance});
    defineBuiltin({"CITemperatureAndTint",
                   "Temperature and Tint",
                   cats,
                   {imageInput(), vectorInput("inputNeutral", Vector{6500, 0}, "Neutral", attr::TypeOffset),
                    vectorInput("inputTargetNeutral", Vector{6500, 0}, "Target Neutral", attr::TypeOffset)},
                   temperatureAndTint});
    defineBuiltin({"CIToneCurve",
                   "Tone Curve",
                   cats,
                   {imageInput(), vectorInput("inputPoint0", Vector{0, 0}, "Point 0", attr::TypeOffset),
                    vectorInput("inputPoint1", Vector{0.25, 0.25}, "Point 1", attr::TypeOffset),
                    vectorInput("inputPoint2", Vector{0.5, 0.5}, "Point 2", attr::TypeOffset),
                    vectorInput("inputPoint3", Vector{0.75, 0.75}, "Point 3", attr::TypeOffset),
                    vectorInput("inputPoint4", Vector{1, 1}, "Point 4", attr::TypeOffset),
                    boolInput("inputExtrapolate", false, "Extrapolate")},
                   toneCurve});
    defineBuiltin({"CIColorMatrix",
                   "Color Matrix",
                   cats,
                   {imageInput(), vectorInput("inputRVector", Vector{1, 0, 0, 0}, "Red Vector"),
                    vectorInput("inputGVector", Vector{0, 1, 0, 0}, "Green Vector"),
                    vectorInput("inputBVector", Vector{0, 0, 1, 0}, "Blue Vector"),
                    vectorInput("inputAVector", Vector{0, 0, 0, 1}, "Alpha Vector"),
                    vectorInput("inputBiasVector", Vector{0, 0, 0, 0}, "Bias Vector")},
                   colorMatrix});
    defineBuiltin({"CIHighlightShadowAdjust",
                   "Highlight and Shadow Adjust",
                   cats,
                   {imageInput(), number("inputRadius", 0, "Radius", 0, 10, 0, {}, {}, attr::TypeScalar),
                    number("inputShadowAmount", 0, "Shadow Amount", -1, 1, -1, 1, 0),
                    number("inputHighlightAmount", 1, "Highlight Amount", 0.3, 1, 0, 1, 1)},
                   highlightShadowAdjust});
    defineBuiltin({"CIWhitePointAdjust",
                   "White Point Adjust",
                   cats,
                   {imageInput(), colorInput("inputColor", Color{1, 1, 1, 1}, "Color")},
                   whitePointAdjust});
}

} // namespace ci::builtin
