#include "Kernels.h"

#include "ci/builtin/ColorPipeline.h"
#include "ci/core/Bitmap.h"
#include "ci/core/Kernel.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <memory>
#include <vector>

namespace filters::kernels {

using namespace ci::builtin::color;

// ---- Channel compositing ----------------------------------------------------------------------

ci::Image compositeChannels(const ci::Image& red, const ci::Image& green, const ci::Image& blue) {
    const ci::Rect extent = red.extent().united(green.extent()).united(blue.extent());
    return ci::ColorKernel::apply(
        [](const ci::ColorRow& row) {
            const float* r = row.in[0];
            const float* g = row.in[1];
            const float* b = row.in[2];
            float* out = row.out;
            for (int i = 0; i < row.count; ++i) {
                out[4 * i + 0] = r[4 * i + 0];
                out[4 * i + 1] = g[4 * i + 1];
                out[4 * i + 2] = b[4 * i + 2];
                out[4 * i + 3] = 1.0f;
            }
        },
        {red, green, blue}, extent);
}

// ---- Unsharp-mask combine ---------------------------------------------------------------------

namespace {

// Branch-free, so that the block loop below vectorises; the same operations as a scalar
// reading of the rule, so every build gives the same pixels.
CI_ALWAYS_INLINE void unsharpCombineBlock(Block& p, const Block& blurred, int n, float intensity,
                                          float threshold) {
    for (int i = 0; i < n; ++i) {
        const float dr = p.r[i] - blurred.r[i];
        const float dg = p.g[i] - blurred.g[i];
        const float db = p.b[i] - blurred.b[i];
        const bool sharpen = std::sqrt(dr * dr + dg * dg + db * db) > threshold;
        p.r[i] = pick(sharpen, clamp01(p.r[i] + dr * intensity), p.r[i]);
        p.g[i] = pick(sharpen, clamp01(p.g[i] + dg * intensity), p.g[i]);
        p.b[i] = pick(sharpen, clamp01(p.b[i] + db * intensity), p.b[i]);
        p.a[i] = pick(sharpen, 1.0f, p.a[i]);
    }
}

// Block back to interleaved pixels as they are (the colour filters' store also sanitises).
CI_ALWAYS_INLINE void storeAsIs(const Block& p, float* px, int n) {
    for (int i = 0; i < n; ++i) {
        px[4 * i] = p.r[i];
        px[4 * i + 1] = p.g[i];
        px[4 * i + 2] = p.b[i];
        px[4 * i + 3] = p.a[i];
    }
}

} // namespace

void unsharpCombinePixel(const float sharp[4], const float blurred[4], float intensity, float threshold,
                         float out[4]) {
    Block p, q;
    load(sharp, p, 1);
    load(blurred, q, 1);
    unsharpCombineBlock(p, q, 1, intensity, threshold);
    storeAsIs(p, out, 1);
}

ci::Image unsharpCombine(const ci::Image& sharp, const ci::Image& blurred, double intensity, double threshold,
                         const ci::Rect& extent) {
    const float k = float(intensity);
    const float t = float(threshold);
    return ci::ColorKernel::apply(
        [k, t](const ci::ColorRow& row) {
            vectorised([&] {
                Block p, q;
                for (int s = 0; s < row.count; s += kBlock) {
                    const int n = std::min(kBlock, row.count - s);
                    load(row.in[0] + 4 * s, p, n);
                    load(row.in[1] + 4 * s, q, n);
                    unsharpCombineBlock(p, q, n, k, t);
                    storeAsIs(p, row.out + 4 * s, n);
                }
            });
        },
        {sharp, blurred}, extent);
}

// ---- Multi-band hue, saturation and value -----------------------------------------------------

namespace {

// Hue of the standard RGB-to-HSB conversion, 0 <= hue < 1.
double hueComponent(double r, double g, double b) {
    const double mx = std::max({r, g, b});
    const double mn = std::min({r, g, b});
    const double d = mx - mn;
    if (d <= 0)
        return 0;
    double h;
    if (mx == r)
        h = (g - b) / d / 6.0;
    else if (mx == g)
        h = (2.0 + (b - r) / d) / 6.0;
    else
        h = (4.0 + (r - g) / d) / 6.0;
    return h < 0 ? h + 1.0 : h;
}

} // namespace

const std::array<float, 8>& bandCentres() {
    // The reference colours are six-decimal numbers, not n/255: the centres of orange and
    // purple depend on it.
    static const std::array<float, 8> centres = [] {
        constexpr double hi = 0.901961, mid = 0.584314, lo = 0.270588;
        const double colours[8][3] = {{hi, lo, lo}, {hi, mid, lo}, {hi, hi, lo},  {lo, hi, lo},
                                      {lo, hi, hi}, {lo, lo, hi},  {mid, lo, hi}, {hi, lo, hi}};
        std::array<float, 8> c{};
        for (int i = 0; i < 8; ++i)
            c[i] = float(hueComponent(colours[i][0], colours[i][1], colours[i][2]));
        return c;
    }();
    return centres;
}

namespace {

/// What each band hands the blend: where it starts, its width, its own shifts and the step to
/// the next band's. Computed once per image with the very operations the pixel rule names, so
/// the results do not change.
struct BandTable {
    std::array<float, 8> centre{}, start{}, width{};
    std::array<std::array<float, 8>, 3> shift{}, step{};

    explicit BandTable(const BandShifts& shifts) : centre(bandCentres()) {
        const auto& c = centre;
        for (int i = 0; i < 8; ++i) {
            start[i] = i == 0 ? 0.0f : c[i];
            width[i] = (i == 7 ? 1.0f : c[i + 1]) - start[i];
            for (int k = 0; k < 3; ++k) {
                shift[k][i] = shifts[i][k];
                step[k][i] = shifts[(i + 1) % 8][k] - shifts[i][k];
            }
        }
    }
};

/// floor(x) without a library call, so that loops using it vectorise on any x86-64.
CI_ALWAYS_INLINE float floorf32(float x) {
    constexpr float big = 8388608.0f; // 2^23: from here on every float is an integer
    const float xc = clampf(x, -big, big);
    float t = float(int32_t(xc));
    t -= pick(t > xc, 1.0f, 0.0f);
    return pick(std::fabs(x) < big, t, x);
}

CI_ALWAYS_INLINE bool isFiniteBits(float x) {
    return (std::bit_cast<uint32_t>(x) & 0x7f800000u) != 0x7f800000u;
}

CI_ALWAYS_INLINE void multiBandHSVBlock(Block& p, int n, const BandTable& t) {
    for (int i = 0; i < n; ++i) {
        const float r = p.r[i], g = p.g[i], b = p.b[i];
        constexpr float e = 1.0e-10f;

        // The branch-free RGB-to-HSV of the shader form: sort by comparisons, one division each.
        const bool gb = g >= b;
        const float p0 = pick(gb, g, b), p1 = pick(gb, b, g);
        const float p2 = pick(gb, 0.0f, -1.0f), p3 = pick(gb, -1.0f / 3.0f, 2.0f / 3.0f);
        const bool rp = r >= p0;
        const float q0 = pick(rp, r, p0), q1 = p1, q2 = pick(rp, p2, p3), q3 = pick(rp, p0, r);
        const float d = q0 - minf(q3, q1);
        const float h = std::fabs(q2 + (q3 - q1) / (6.0f * d + e));
        const float v = q0;

        // The band below the hue: the centres rise, so the last one not above it.
        float start = t.start[0], width = t.width[0];
        float a0 = t.shift[0][0], a1 = t.shift[1][0], a2 = t.shift[2][0];
        float d0 = t.step[0][0], d1 = t.step[1][0], d2 = t.step[2][0];
        for (int k = 1; k < 8; ++k) {
            const bool past = !(h < t.centre[k]);
            start = pick(past, t.start[k], start);
            width = pick(past, t.width[k], width);
            a0 = pick(past, t.shift[0][k], a0);
            a1 = pick(past, t.shift[1][k], a1);
            a2 = pick(past, t.shift[2][k], a2);
            d0 = pick(past, t.step[0][k], d0);
            d1 = pick(past, t.step[1][k], d1);
            d2 = pick(past, t.step[2][k], d2);
        }
        const float u = clamp01((h - start) / width);
        const float blend = u * u * (3.0f - 2.0f * u);
        float hs = h + (a0 + d0 * blend);
        const float gs = a1 + d1 * blend, gv = a2 + d2 * blend;
        const float vs = v * gv;
        hs = pick(isFiniteBits(hs), hs, 0.0f);

        // A channel is v' mix(1, x, s') = v' + (x - 1) s' v', where s v is the spread d itself.
        // Taken as d, not as v d / (v + e): with the value within a few e of zero (a colour at
        // or below black, as noise reduction leaves next to black) that quotient swings through
        // any size and either sign, and such a pixel would come out far from its neighbours.
        const float spread = d * gs;
        float* outs[3] = {p.r, p.g, p.b};
        constexpr float offsets[3] = {1.0f, 2.0f / 3.0f, 1.0f / 3.0f};
        for (int k = 0; k < 3; ++k) {
            const float w = hs + offsets[k];
            const float P = std::fabs((w - floorf32(w)) * 6.0f - 3.0f);
            const float x = clamp01(P - 1.0f);
            outs[k][i] = vs + ((x - 1.0f) * spread) * gv;
        }
        p.a[i] = 1.0f;
    }
}

} // namespace

void multiBandHSVPixel(const float in[4], const BandShifts& shifts, float out[4]) {
    const BandTable table(shifts);
    Block p;
    load(in, p, 1);
    multiBandHSVBlock(p, 1, table);
    storeAsIs(p, out, 1);
}

ci::Image multiBandHSV(const ci::Image& image, const BandShifts& shifts) {
    auto table = std::make_shared<const BandTable>(shifts);
    return ci::ColorKernel::apply(
        [table](const ci::ColorRow& row) {
            vectorised([&] {
                Block p;
                for (int s = 0; s < row.count; s += kBlock) {
                    const int n = std::min(kBlock, row.count - s);
                    load(row.in[0] + 4 * s, p, n);
                    multiBandHSVBlock(p, n, *table);
                    storeAsIs(p, row.out + 4 * s, n);
                }
            });
        },
        {image}, image.extent());
}

// ---- Kuwahara ---------------------------------------------------------------------------------

namespace {

// Summed-area table of r, g, b and their squares over an integer rectangle; sums of any
// rectangle cost four reads, so the quadrant statistics do not depend on the radius.
class SummedArea {
  public:
    SummedArea(const ci::Bitmap& src, const ci::IRect& region) : region_(region) {
        w_ = region.width();
        h_ = region.height();
        table_.assign(size_t(w_ + 1) * size_t(h_ + 1) * 6, 0.0);
        for (int64_t j = 0; j < h_; ++j) {
            double row[6] = {0, 0, 0, 0, 0, 0};
            const int64_t y = region.y0 + j;
            for (int64_t i = 0; i < w_; ++i) {
                float px[4];
                src.read(region.x0 + i, y, px);
                for (int k = 0; k < 3; ++k) {
                    row[k] += px[k];
                    row[3 + k] += double(px[k]) * double(px[k]);
                }
                double* cell = at(i + 1, j + 1);
                const double* above = at(i + 1, j);
                for (int k = 0; k < 6; ++k)
                    cell[k] = above[k] + row[k];
            }
        }
    }

    /// Sums over the inclusive pixel rectangle [ax, bx] x [ay, by]; zero outside the region.
    void sum(int64_t ax, int64_t ay, int64_t bx, int64_t by, double out[6]) const {
        ax = std::max(ax, region_.x0) - region_.x0;
        ay = std::max(ay, region_.y0) - region_.y0;
        bx = std::min(bx, region_.x1 - 1) - region_.x0;
        by = std::min(by, region_.y1 - 1) - region_.y0;
        if (bx < ax || by < ay) {
            std::fill(out, out + 6, 0.0);
            return;
        }
        const double* a = at(bx + 1, by + 1);
        const double* b = at(ax, by + 1);
        const double* c = at(bx + 1, ay);
        const double* d = at(ax, ay);
        for (int k = 0; k < 6; ++k)
            out[k] = a[k] - b[k] - c[k] + d[k];
    }

  private:
    double* at(int64_t i, int64_t j) { return table_.data() + (size_t(j) * size_t(w_ + 1) + size_t(i)) * 6; }
    const double* at(int64_t i, int64_t j) const {
        return table_.data() + (size_t(j) * size_t(w_ + 1) + size_t(i)) * 6;
    }

    ci::IRect region_;
    int64_t w_ = 0, h_ = 0;
    std::vector<double> table_;
};

// Radii beyond this only add transparent surroundings to the quadrants.
constexpr double maxKuwaharaRadius = 1 << 24;

} // namespace

ci::Image kuwahara(const ci::Image& image, double radiusArgument) {
    const double truncated = std::trunc(radiusArgument);
    // A negative (or not-a-number) radius reads no sample: every pixel is opaque black.
    const int64_t radius = truncated >= 0 ? int64_t(std::min(truncated, maxKuwaharaRadius)) : -1;
    const ci::Rect extent = image.extent();

    auto fn = [radius](const ci::KernelTile& tile) {
        const ci::IRect& rect = tile.rect;
        if (radius < 0) {
            for (int64_t y = rect.y0; y < rect.y1; ++y)
                for (int64_t x = rect.x0; x < rect.x1; ++x) {
                    float* o = tile.out->pixel(x, y);
                    o[0] = o[1] = o[2] = 0.0f;
                    o[3] = 1.0f;
                }
            return;
        }
        const ci::Bitmap& src = *tile.inputs[0];
        const ci::IRect needed{rect.x0 - radius, rect.y0 - radius, rect.x1 + radius, rect.y1 + radius};
        const SummedArea sat(src, needed.intersected(src.rect()));
        const double n = double(radius + 1) * double(radius + 1);
        for (int64_t y = rect.y0; y < rect.y1; ++y) {
            for (int64_t x = rect.x0; x < rect.x1; ++x) {
                // Quadrants 0..3: lower left, lower right, upper left, upper right (y up).
                const int64_t boxes[4][4] = {{x - radius, y - radius, x, y},
                                             {x, y - radius, x + radius, y},
                                             {x - radius, y, x, y + radius},
                                             {x, y, x + radius, y + radius}};
                double best = 1e2;
                double chosen[3] = {0, 0, 0};
                for (const auto& box : boxes) {
                    double s[6];
                    sat.sum(box[0], box[1], box[2], box[3], s);
                    double variance = 0;
                    double mean[3];
                    for (int k = 0; k < 3; ++k) {
                        mean[k] = s[k] / n;
                        variance += std::fabs(s[3 + k] / n - mean[k] * mean[k]);
                    }
                    if (variance < best) {
                        best = variance;
                        std::copy(mean, mean + 3, chosen);
                    }
                }
                float* o = tile.out->pixel(x, y);
                o[0] = float(chosen[0]);
                o[1] = float(chosen[1]);
                o[2] = float(chosen[2]);
                o[3] = 1.0f;
            }
        }
    };
    auto roi = [radius, extent](int, const ci::Rect& rect) {
        if (radius <= 0)
            return radius < 0 ? ci::Rect::empty() : rect;
        return rect.grown(double(radius)).intersected(extent);
    };
    return ci::GeneralKernel::apply(fn, {image}, extent, roi);
}

} // namespace filters::kernels
