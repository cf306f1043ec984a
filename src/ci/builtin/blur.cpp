#include "Builtins.h"

#include "ColorPipeline.h"
#include "ci/core/Filter.h"
#include "ci/core/Kernel.h"
#include "spatial_support.h"

#include <memory>
#include <numbers>

namespace ci::builtin {

using namespace spatial;

namespace {

const std::vector<std::string> kBlurCategories = {"CICategoryBlur", "CICategoryStillImage", "CICategoryVideo",
                                                  "CICategoryBuiltIn"};

// ---- Box blur: exact window sums from prefix and suffix sums over blocks aligned to absolute
// coordinates, so the cost does not grow with the radius and no tile sees different rounding.

inline int64_t floorMod(int64_t a, int64_t b) {
    return ((a % b) + b) % b;
}

// Taps w(k) = clamp(r + 1 - |k|, 0, 1): an integer radius gives 2r + 1 equal taps (21 x 21 at the
// default), a fractional one adds partial end taps.
Image boxPass(const Image& image, double r, bool alongX, const Rect& extent) {
    const int64_t m = int64_t(std::floor(r));
    const float e = float(r - double(m));
    const int64_t L = 2 * m + 1;
    const float norm = 1.f / (float(L) + 2 * e);
    const int64_t reach = m + (e > 0 ? 1 : 0);
    auto fn = [m, e, L, norm, alongX](const KernelTile& t) {
        const int64_t n = alongX ? t.rect.width() : t.rect.height();
        const int64_t lanes = alongX ? 4 : t.rect.width() * 4; // floats per line position
        const int64_t lo = -m - 1, hi = n + m + 1;             // positions relative to the tile start
        const int64_t count = hi - lo;
        std::vector<float> v(size_t(count * lanes)), pre(v.size()), suf(v.size());
        std::vector<float> scratch;
        const int64_t lines = alongX ? t.rect.height() : 1;
        const int64_t base = alongX ? t.rect.x0 : t.rect.y0;
        for (int64_t line = 0; line < lines; ++line) {
            if (alongX) {
                const float* s =
                    rowSpan(*t.inputs[0], t.rect.y0 + line, t.rect.x0 + lo, t.rect.x0 + hi, scratch);
                std::copy(s, s + count * 4, v.begin());
            } else {
                for (int64_t k = 0; k < count; ++k) {
                    const float* s = rowSpan(*t.inputs[0], t.rect.y0 + lo + k, t.rect.x0, t.rect.x1, scratch);
                    std::copy(s, s + lanes, v.begin() + k * lanes);
                }
            }
            // Block prefix and suffix sums; blocks start at absolute positions that are multiples of L.
            for (int64_t k = 0; k < count; ++k) {
                const float* __restrict src = v.data() + k * lanes;
                float* __restrict p = pre.data() + k * lanes;
                if (k == 0 || floorMod(base + lo + k, L) == 0) {
                    std::copy(src, src + lanes, p);
                } else {
                    const float* __restrict q = p - lanes;
                    for (int64_t j = 0; j < lanes; ++j)
                        p[j] = q[j] + src[j];
                }
            }
            for (int64_t k = count - 1; k >= 0; --k) {
                const float* __restrict src = v.data() + k * lanes;
                float* __restrict s = suf.data() + k * lanes;
                if (k == count - 1 || floorMod(base + lo + k, L) == L - 1) {
                    std::copy(src, src + lanes, s);
                } else {
                    const float* __restrict q = s + lanes;
                    for (int64_t j = 0; j < lanes; ++j)
                        s[j] = q[j] + src[j];
                }
            }
            for (int64_t i = 0; i < n; ++i) {
                const int64_t a = i - m - lo; // window start, as an index into the line
                const float* sa = suf.data() + a * lanes;
                const bool aligned = floorMod(base + i - m, L) == 0;
                const float* pb = pre.data() + (a + L - 1) * lanes;
                const float* e0 = v.data() + (a - 1) * lanes;
                const float* e1 = v.data() + (a + L) * lanes;
                float* o = alongX ? outPixel(*t.out, t.rect.x0 + i, t.rect.y0 + line)
                                  : outPixel(*t.out, t.rect.x0, t.rect.y0 + i);
                for (int64_t j = 0; j < lanes; ++j)
                    o[j] = (sa[j] + (aligned ? 0.f : pb[j]) + e * (e0[j] + e1[j])) * norm;
            }
        }
    };
    auto roi = [reach, alongX](int, const Rect& r) {
        return alongX ? r.grown(double(reach), 0) : r.grown(0, double(reach));
    };
    return GeneralKernel::apply(fn, {image}, extent, roi);
}

Image boxBlur(const Image& image, double r) {
    if (!(r > 0) || image.extent().isEmpty())
        return image;
    r = std::min(r, kMaxRadius);
    const double g = std::ceil(r);
    const Rect e = image.extent();
    Image x = boxPass(image, r, true, roundOut(Rect{e.x0 - g, e.y0, e.x1 + g, e.y1}));
    return boxPass(x, r, false, roundOut(e.grown(g)));
}

// ---- Disc blur: direct taps of the anti-aliased disc; large radii run on a reduced copy.

Image discDirect(const Image& image, double r, const Rect& extent) {
    const int R = int(std::ceil(r + 0.5));
    struct Tap {
        int dx, dy;
        float w;
    };
    auto taps = std::make_shared<std::vector<Tap>>();
    double sum = 0;
    for (int dy = -R; dy <= R; ++dy)
        for (int dx = -R; dx <= R; ++dx) {
            const double w = std::clamp(r + 0.5 - std::hypot(dx, dy), 0.0, 1.0);
            if (w > 0) {
                taps->push_back({dx, dy, float(w)});
                sum += w;
            }
        }
    for (Tap& t : *taps)
        t.w = float(t.w / sum);
    auto fn = [taps, R](const KernelTile& t) {
        std::vector<std::vector<float>> scratch(size_t(2 * R + 1));
        std::vector<const float*> rows(size_t(2 * R + 1));
        const int64_t n4 = t.rect.width() * 4;
        for (int64_t y = t.rect.y0; y < t.rect.y1; ++y) {
            for (int dy = -R; dy <= R; ++dy)
                rows[dy + R] = rowSpan(*t.inputs[0], y + dy, t.rect.x0 - R, t.rect.x1 + R, scratch[dy + R]);
            float* __restrict o = outPixel(*t.out, t.rect.x0, y);
            std::fill(o, o + n4, 0.f);
            for (const Tap& tap : *taps) {
                const float* __restrict s = rows[tap.dy + R] + 4 * (tap.dx + R);
                const float w = tap.w;
                for (int64_t j = 0; j < n4; ++j)
                    o[j] += w * s[j];
            }
        }
    };
    auto roi = [R](int, const Rect& rr) { return rr.grown(R); };
    return GeneralKernel::apply(fn, {image}, extent, roi);
}

Image discBlur(const Image& image, double r) {
    if (!(r > 0) || image.extent().isEmpty())
        return image;
    r = std::min(r, kMaxRadius);
    const Rect extent = roundOut(image.extent().grown(std::ceil(r)));
    if (r <= 8)
        return discDirect(image, r, extent);
    int f = 2;
    while (r / f > 8)
        f *= 2;
    Image reduced = reduceBy(image, f);
    const double rr = r / f;
    Image blurred = discDirect(reduced, rr, roundOut(reduced.extent().grown(std::ceil(rr) + 2)));
    return enlargeBy(blurred, f, extent);
}

// ---- Median of the 3 x 3 neighbourhood, per channel, by a sorting network.

Image median(const Image& image) {
    auto fn = [](const KernelTile& t) {
        std::vector<float> s0, s1, s2;
        const int64_t n4 = t.rect.width() * 4;
        for (int64_t y = t.rect.y0; y < t.rect.y1; ++y) {
            const float* r0 = rowSpan(*t.inputs[0], y - 1, t.rect.x0 - 1, t.rect.x1 + 1, s0) + 4;
            const float* r1 = rowSpan(*t.inputs[0], y, t.rect.x0 - 1, t.rect.x1 + 1, s1) + 4;
            const float* r2 = rowSpan(*t.inputs[0], y + 1, t.rect.x0 - 1, t.rect.x1 + 1, s2) + 4;
            float* __restrict o = outPixel(*t.out, t.rect.x0, y);
            for (int64_t j = 0; j < n4; ++j) {
                float p0 = r0[j - 4], p1 = r0[j], p2 = r0[j + 4];
                float p3 = r1[j - 4], p4 = r1[j], p5 = r1[j + 4];
                float p6 = r2[j - 4], p7 = r2[j], p8 = r2[j + 4];
                auto sort2 = [](float& a, float& b) {
                    const float lo = std::min(a, b), hi = std::max(a, b);
                    a = lo;
                    b = hi;
                };
                // Paeth's nine-element median network.
                sort2(p1, p2), sort2(p4, p5), sort2(p7, p8);
                sort2(p0, p1), sort2(p3, p4), sort2(p6, p7);
                sort2(p1, p2), sort2(p4, p5), sort2(p7, p8);
                sort2(p0, p3), sort2(p5, p8), sort2(p4, p7);
                sort2(p3, p6), sort2(p1, p4), sort2(p2, p5);
                sort2(p4, p7), sort2(p4, p2), sort2(p6, p4);
                sort2(p4, p2);
                o[j] = p4;
            }
        }
    };
    auto roi = [](int, const Rect& r) { return r.grown(1); };
    return GeneralKernel::apply(fn, {image}, image.extent(), roi);
}

// ---- Motion blur: uniform samples along a segment; each sample is a fixed sub-pixel shift, so
// the bilinear weights are the same for the whole tile.

Image motionBlur(const Image& image, double r, double angle) {
    if (!(r > 0) || image.extent().isEmpty())
        return image;
    r = std::min(r, kMaxRadius);
    const double c = std::cos(angle), s = std::sin(angle);
    const double gx = std::ceil(r * std::abs(c) - 1e-9), gy = std::ceil(r * std::abs(s) - 1e-9);
    const int n = 2 * int(std::ceil(r)) + 1;
    struct Shift {
        int64_t ix, iy;
        float w00, w10, w01, w11;
    };
    auto shifts = std::make_shared<std::vector<Shift>>();
    int64_t reachX = 0, reachY = 0;
    for (int k = 0; k < n; ++k) {
        const double sk = -r + 2 * r * k / (n - 1);
        const double dx = sk * c, dy = sk * s;
        const double fx = std::floor(dx), fy = std::floor(dy);
        const float tx = float(dx - fx), ty = float(dy - fy);
        const float inv = 1.f / float(n);
        shifts->push_back({int64_t(fx), int64_t(fy), (1 - tx) * (1 - ty) * inv, tx * (1 - ty) * inv,
                           (1 - tx) * ty * inv, tx * ty * inv});
        reachX = std::max(reachX, std::abs(int64_t(fx)) + 1);
        reachY = std::max(reachY, std::abs(int64_t(fy)) + 1);
    }
    auto fn = [shifts, reachX, reachY](const KernelTile& t) {
        const int64_t rows = 2 * reachY + 1;
        std::vector<std::vector<float>> scratch(static_cast<size_t>(rows));
        std::vector<const float*> span(static_cast<size_t>(rows));
        const int64_t n4 = t.rect.width() * 4;
        for (int64_t y = t.rect.y0; y < t.rect.y1; ++y) {
            for (int64_t k = 0; k < rows; ++k)
                span[k] = rowSpan(*t.inputs[0], y - reachY + k, t.rect.x0 - reachX, t.rect.x1 + reachX,
                                  scratch[k]) +
                          4 * reachX;
            float* __restrict o = outPixel(*t.out, t.rect.x0, y);
            std::fill(o, o + n4, 0.f);
            for (const Shift& sh : *shifts) {
                const float* __restrict a = span[sh.iy + reachY] + 4 * sh.ix;
                const float* __restrict b = span[sh.iy + 1 + reachY] + 4 * sh.ix;
                const float w00 = sh.w00, w10 = sh.w10, w01 = sh.w01, w11 = sh.w11;
                for (int64_t j = 0; j < n4; ++j)
                    o[j] += w00 * a[j] + w10 * a[j + 4] + w01 * b[j] + w11 * b[j + 4];
            }
        }
    };
    auto roi = [reachX, reachY](int, const Rect& rr) {
        return rr.grown(double(reachX + 1), double(reachY + 1));
    };
    const Rect e = image.extent();
    return GeneralKernel::apply(fn, {image}, roundOut(e.grown(gx, gy)), roi);
}

// ---- Zoom blur: samples on the segment from each point towards the centre.

Image zoomBlur(const Image& image, Point c, double amount) {
    const Rect e = image.extent();
    if (amount == 0 || e.isEmpty())
        return image;
    const double f = amount / 100;
    auto scaledAbout = [c](const Rect& r, double k) {
        return boundingBox({{c.x + (r.x0 - c.x) * k, c.y + (r.y0 - c.y) * k},
                            {c.x + (r.x1 - c.x) * k, c.y + (r.y1 - c.y) * k}});
    };
    Rect extent = e;
    if (f >= 1)
        extent = Rect::infinite();
    else if (f > 0 && !e.isInfinite())
        extent = e.united(scaledAbout(e, 1 / (1 - f)));
    auto fn = [c, f](const KernelTile& t) {
        const Bitmap& src = *t.inputs[0];
        const IRect br = src.rect();
        const int64_t stride = br.width() * 4;
        for (int64_t y = t.rect.y0; y < t.rect.y1; ++y) {
            float* o = outPixel(*t.out, t.rect.x0, y);
            const double py = double(y) + 0.5;
            for (int64_t x = t.rect.x0; x < t.rect.x1; ++x, o += 4) {
                const double px = double(x) + 0.5;
                const double r = std::hypot(px - c.x, py - c.y);
                const int N = int(std::clamp(std::ceil(std::abs(f) * r) + 1, 2.0, 256.0));
                // Positions in absolute pixel-index terms, so tiling cannot change the rounding.
                const double du = (c.x - px) * f / (N - 1), dv = (c.y - py) * f / (N - 1);
                float acc[4] = {0, 0, 0, 0}, s[4];
                for (int k = 0; k < N; ++k) {
                    const double u = px - 0.5 + du * k, v = py - 0.5 + dv * k;
                    const double fu = std::floor(u), fv = std::floor(v);
                    const int64_t i = int64_t(fu), j = int64_t(fv);
                    if (i >= br.x0 && j >= br.y0 && i + 1 < br.x1 && j + 1 < br.y1) {
                        const float fx = float(u - fu), fy = float(v - fv);
                        const float* p0 = src.data() + (j - br.y0) * stride + (i - br.x0) * 4;
                        const float* p1 = p0 + stride;
                        for (int ch = 0; ch < 4; ++ch) {
                            const float a = p0[ch] + (p0[ch + 4] - p0[ch]) * fx;
                            const float b = p1[ch] + (p1[ch + 4] - p1[ch]) * fx;
                            acc[ch] += a + (b - a) * fy;
                        }
                    } else {
                        src.sample(u + 0.5, v + 0.5, s);
                        for (int ch = 0; ch < 4; ++ch)
                            acc[ch] += s[ch];
                    }
                }
                for (int ch = 0; ch < 4; ++ch)
                    o[ch] = acc[ch] / float(N);
            }
        }
    };
    auto roi = [scaledAbout, f, e](int, const Rect& r) {
        if (r.isInfinite())
            return e;
        return r.united(scaledAbout(r, 1 - f))
            .grown(1)
            .intersected(e.isInfinite() ? Rect::infinite() : roundOut(e));
    };
    return GeneralKernel::apply(fn, {image}, extent, roi);
}

// ---- Noise reduction: luminance-gated local blur, sharpening where the luminance steps.
// Planar rows, a whole row at a time, so every loop vectorises; the range weight uses the engine's
// own exponential (relative error about 1e-6, far below 16-bit steps).

/// The twelve neighbour offsets "after" a pixel: right of it on its row, or on the two rows below.
/// Every other tap is one of these seen from the neighbour's side.
struct PairOffset {
    int i, j;
};
constexpr PairOffset kPairs[12] = {{1, 0}, {2, 0},  {-2, 1}, {-1, 1}, {0, 1}, {1, 1},
                                   {2, 1}, {-2, 2}, {-1, 2}, {0, 2},  {1, 2}, {2, 2}};

constexpr int pairIndex(int i, int j) {
    for (int o = 0; o < 12; ++o)
        if (kPairs[o].i == i && kPairs[o].j == j)
            return o;
    return -1;
}

/// cond ? a : b without a branch (which would stop the loop from vectorising).
inline double pickDouble(bool cond, double a, double b) {
    const uint64_t m = 0 - uint64_t(cond);
    return std::bit_cast<double>((std::bit_cast<uint64_t>(a) & m) | (std::bit_cast<uint64_t>(b) & ~m));
}

CI_VECTOR_CLONES void noiseReductionTile(const KernelTile& t, float n, float s) {
    const int64_t wx0 = t.rect.x0 - 2, wy0 = t.rect.y0 - 2;
    const int64_t w = t.rect.width() + 4, h = t.rect.height() + 4;
    const size_t area = size_t(w * h);
    // Planes of the padded window: red, green, blue, alpha, luminance. The luminance has two
    // spare samples past its end: the pair weights of the last columns read them and are unused.
    std::vector<float> planes(area * 5 + 2);
    float* P[4] = {planes.data(), planes.data() + area, planes.data() + 2 * area, planes.data() + 3 * area};
    float* L = planes.data() + 4 * area;
    std::vector<float> scratch;
    for (int64_t r = 0; r < h; ++r) {
        const float* __restrict src = rowSpan(*t.inputs[0], wy0 + r, wx0, wx0 + w, scratch);
        const int64_t o = r * w;
        float* __restrict pr = P[0] + o;
        float* __restrict pg = P[1] + o;
        float* __restrict pb = P[2] + o;
        float* __restrict pa = P[3] + o;
        float* __restrict pl = L + o;
        for (int64_t x = 0; x < w; ++x) {
            pr[x] = src[4 * x];
            pg[x] = src[4 * x + 1];
            pb[x] = src[4 * x + 2];
            pa[x] = src[4 * x + 3];
        }
        for (int64_t x = 0; x < w; ++x)
            pl[x] = luma(pr[x], pg[x], pb[x]);
    }
    float spatial[5][5];
    for (int j = -2; j <= 2; ++j)
        for (int i = -2; i <= 2; ++i)
            spatial[j + 2][i + 2] = std::exp(-float(i * i + j * j) / 2);
    // exp(-d^2 / 2) = 2^(-d^2 log2(e) / 2), with d the luminance step over the noise level.
    const float k = -0.5f * std::numbers::log2e_v<float> / (n * n);
    const int64_t m = t.rect.width();

    // The weight of a pair of pixels depends on the square of their luminance step, the same from
    // either end (and so is the spatial factor): each pair's weight is computed once, on the row of
    // its upper (or left) pixel, and kept for the two rows below. Window row r is in slot r % 3.
    std::vector<float> pairs(size_t(3 * 12 * w));
    auto pairRow = [&](int64_t r, int o) { return pairs.data() + ((r % 3) * 12 + o) * w; };
    auto weighPairs = [&](int64_t r) {
        const float* __restrict a = L + r * w;
        for (int o = 0; o < 12; ++o) {
            const auto [i, j] = kPairs[o];
            const float sp = spatial[j + 2][i + 2];
            const float* __restrict b = L + (r + j) * w + i;
            float* __restrict e = pairRow(r, o);
            for (int64_t c = 0; c < w; ++c) {
                const float d = b[c] - a[c];
                e[c] = sp * color::fastExp2(k * d * d);
            }
        }
    };
    // The centre's step is zero.
    const float zero = 0.f;
    std::vector<float> centre(size_t(w), spatial[2][2] * color::fastExp2(k * zero * zero));

    std::vector<float> rowBuf(size_t(m) * 10);
    float* __restrict ar = rowBuf.data();
    float* __restrict ag = rowBuf.data() + m;
    float* __restrict ab = rowBuf.data() + 2 * m;
    float* __restrict aa = rowBuf.data() + 3 * m;
    float* __restrict wsum = rowBuf.data() + 4 * m;
    float* __restrict maxStep = rowBuf.data() + 5 * m;
    float* __restrict lr = rowBuf.data() + 6 * m;
    float* __restrict lg = rowBuf.data() + 7 * m;
    float* __restrict lb = rowBuf.data() + 8 * m;
    float* __restrict la = rowBuf.data() + 9 * m;
    const double edge = n;
    weighPairs(0);
    weighPairs(1);
    for (int64_t r = 2; r < h - 2; ++r) {
        weighPairs(r);
        // The sums of the weighted mean, and of the sharpening where there is any.
        std::fill(rowBuf.begin(), rowBuf.begin() + (s == 0.f ? 5 : 10) * m, 0.f);
        const int64_t base = r * w + 2; // window index of (t.rect.x0, y)
        const float* __restrict Y = L + base;
        // The taps of one kernel row at a time, in the order they always had for every pixel.
        for (int j = -2; j <= 2; ++j) {
            const float* wt[5];
            for (int i = -2; i <= 2; ++i) {
                if (i == 0 && j == 0)
                    wt[i + 2] = centre.data();
                else if (j > 0 || (j == 0 && i > 0))
                    wt[i + 2] = pairRow(r, pairIndex(i, j)) + 2;
                else
                    wt[i + 2] = pairRow(r + j, pairIndex(-i, -j)) + 2 + i;
            }
            const int64_t off = base + j * w;
            const float* __restrict pr = P[0] + off;
            const float* __restrict pg = P[1] + off;
            const float* __restrict pb = P[2] + off;
            const float* __restrict pa = P[3] + off;
            const float* __restrict w0 = wt[0];
            const float* __restrict w1 = wt[1];
            const float* __restrict w2 = wt[2];
            const float* __restrict w3 = wt[3];
            const float* __restrict w4 = wt[4];
            for (int64_t x = 0; x < m; ++x) {
                const float ws[5] = {w0[x], w1[x], w2[x], w3[x], w4[x]};
                float vr = ar[x], vg = ag[x], vb = ab[x], va = aa[x], vw = wsum[x];
                for (int i = 0; i < 5; ++i) {
                    const int64_t q = x + i - 2;
                    vr += ws[i] * pr[q];
                    vg += ws[i] * pg[q];
                    vb += ws[i] * pb[q];
                    va += ws[i] * pa[q];
                    vw += ws[i];
                }
                ar[x] = vr, ag[x] = vg, ab[x] = vb, aa[x] = va, wsum[x] = vw;
            }
        }
        float* __restrict o = outPixel(*t.out, t.rect.x0, wy0 + r);
        if (s == 0.f) {
            // Without sharpening the output is the weighted mean alone.
            for (int64_t x = 0; x < m; ++x) {
                o[4 * x] = ar[x] / wsum[x];
                o[4 * x + 1] = ag[x] / wsum[x];
                o[4 * x + 2] = ab[x] / wsum[x];
                o[4 * x + 3] = aa[x] / wsum[x];
            }
            continue;
        }
        for (int j = -1; j <= 1; ++j) {
            const int64_t off = base + j * w;
            const float* __restrict ln = L + off;
            const float* __restrict pr = P[0] + off;
            const float* __restrict pg = P[1] + off;
            const float* __restrict pb = P[2] + off;
            const float* __restrict pa = P[3] + off;
            for (int64_t x = 0; x < m; ++x) {
                float step = maxStep[x], vr = lr[x], vg = lg[x], vb = lb[x], va = la[x];
                for (int i = -1; i <= 1; ++i) {
                    const float wt = float((2 - std::abs(i)) * (2 - std::abs(j)));
                    step = std::max(step, std::abs(ln[x + i] - Y[x]));
                    vr += wt * pr[x + i];
                    vg += wt * pg[x + i];
                    vb += wt * pb[x + i];
                    va += wt * pa[x + i];
                }
                maxStep[x] = step, lr[x] = vr, lg[x] = vg, lb[x] = vb, la[x] = va;
            }
        }
        // smoothstep(n, 2n, step), written out so that the loop vectorises.
        for (int64_t x = 0; x < m; ++x) {
            double u = (double(maxStep[x]) - edge) / (double(2 * n) - edge);
            u = pickDouble(u < 0.0, 0.0, u);
            u = pickDouble(1.0 < u, 1.0, u);
            maxStep[x] = float(u * u * (3 - 2 * u));
        }
        float* const acc[4] = {ar, ag, ab, aa};
        const float* const low[4] = {lr, lg, lb, la};
        for (int c = 0; c < 4; ++c) {
            float* __restrict v = acc[c];
            const float* __restrict lo = low[c];
            const float* __restrict p = P[c] + base;
            for (int64_t x = 0; x < m; ++x)
                v[x] = v[x] / wsum[x] + s * maxStep[x] * (p[x] - lo[x] / 16);
        }
        for (int64_t x = 0; x < m; ++x) {
            o[4 * x] = ar[x];
            o[4 * x + 1] = ag[x];
            o[4 * x + 2] = ab[x];
            o[4 * x + 3] = aa[x];
        }
    }
}

Image noiseReduction(const Image& image, double noise, double sharpness) {
    if (noise == 0 && sharpness == 0)
        return image;
    const float n = float(std::max(noise, 1e-6));
    const float s = float(sharpness);
    auto fn = [n, s](const KernelTile& t) { noiseReductionTile(t, n, s); };
    auto roi = [](int, const Rect& r) { return r.grown(2); };
    return GeneralKernel::apply(fn, {image}, image.extent(), roi);
}

} // namespace

void registerBlurFilters() {
    defineBuiltin({"CIBoxBlur",
                   "Box Blur",
                   kBlurCategories,
                   {imageInput(), numberSpec("inputRadius", "Radius", 10, 1, 100, 1, {}, attr::TypeDistance)},
                   [](const Inputs& in) -> Image {
                       Image image = in.image("inputImage");
                       if (!image)
                           return {};
                       return boxBlur(image, number(in, "inputRadius", 10));
                   }});
    defineBuiltin({"CIDiscBlur",
                   "Disc Blur",
                   kBlurCategories,
                   {imageInput(), numberSpec("inputRadius", "Radius", 8, 0, 100, 0, {}, attr::TypeDistance)},
                   [](const Inputs& in) -> Image {
                       Image image = in.image("inputImage");
                       if (!image)
                           return {};
                       return discBlur(image, number(in, "inputRadius", 8));
                   }});
    defineBuiltin({"CIGaussianBlur",
                   "Gaussian Blur",
                   kBlurCategories,
                   {imageInput(), numberSpec("inputRadius", "Radius", 10, 0, 100, 0, 0, attr::TypeDistance)},
                   [](const Inputs& in) -> Image {
                       Image image = in.image("inputImage");
                       if (!image)
                           return {};
                       return gaussianBlur(image, number(in, "inputRadius", 10));
                   }});
    defineBuiltin(
        {"CIMedianFilter", "Median", kBlurCategories, {imageInput()}, [](const Inputs& in) -> Image {
             Image image = in.image("inputImage");
             if (!image)
                 return {};
             return median(image);
         }});
    defineBuiltin({"CIMotionBlur",
                   "Motion Blur",
                   kBlurCategories,
                   {imageInput(), numberSpec("inputRadius", "Radius", 20, 0, 100, 0, 0, attr::TypeDistance),
                    numberSpec("inputAngle", "Angle", 0, -kPi, kPi, {}, 0, attr::TypeAngle)},
                   [](const Inputs& in) -> Image {
                       Image image = in.image("inputImage");
                       if (!image)
                           return {};
                       return motionBlur(image, number(in, "inputRadius", 20), number(in, "inputAngle", 0));
                   }});
    defineBuiltin({"CIZoomBlur",
                   "Zoom Blur",
                   kBlurCategories,
                   {imageInput(), vectorInput("inputCenter", Vector{150, 150}, "Center"),
                    numberSpec("inputAmount", "Amount", 20, -200, 200, {}, 0, attr::TypeDistance)},
                   [](const Inputs& in) -> Image {
                       Image image = in.image("inputImage");
                       if (!image)
                           return {};
                       return zoomBlur(image, point(in, "inputCenter"), number(in, "inputAmount", 20));
                   }});
    defineBuiltin({"CINoiseReduction",
                   "Noise Reduction",
                   kBlurCategories,
                   {imageInput(), numberSpec("inputNoiseLevel", "Noise Level", 0.02, 0, 0.1, 0, 0),
                    numberSpec("inputSharpness", "Sharpness", 0.4, 0, 2, 0, 0)},
                   [](const Inputs& in) -> Image {
                       Image image = in.image("inputImage");
                       if (!image)
                           return {};
                       return noiseReduction(image, number(in, "inputNoiseLevel", 0.02),
                                             number(in, "inputSharpness", 0.4));
                   }});
}

} // namespace ci::builtin
