#include "Kernels.h"

#include "ci/core/Bitmap.h"
#include "ci/core/Kernel.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

namespace filters::kernels {

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

void unsharpCombinePixel(const float sharp[4], const float blurred[4], float intensity, float threshold,
                         float out[4]) {
    const float dr = sharp[0] - blurred[0];
    const float dg = sharp[1] - blurred[1];
    const float db = sharp[2] - blurred[2];
    const float distance = std::sqrt(dr * dr + dg * dg + db * db);
    if (distance > threshold) {
        out[0] = std::clamp(sharp[0] + dr * intensity, 0.0f, 1.0f);
        out[1] = std::clamp(sharp[1] + dg * intensity, 0.0f, 1.0f);
        out[2] = std::clamp(sharp[2] + db * intensity, 0.0f, 1.0f);
        out[3] = 1.0f;
    } else {
        std::copy(sharp, sharp + 4, out);
    }
}

ci::Image unsharpCombine(const ci::Image& sharp, const ci::Image& blurred, double intensity, double threshold,
                         const ci::Rect& extent) {
    const float k = float(intensity);
    const float t = float(threshold);
    return ci::ColorKernel::apply(
        [k, t](const ci::ColorRow& row) {
            for (int i = 0; i < row.count; ++i)
                unsharpCombinePixel(row.in[0] + 4 * i, row.in[1] + 4 * i, k, t, row.out + 4 * i);
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

float fract(float x) {
    return x - std::floor(x);
}

float smoothstep(float e0, float e1, float x) {
    const float u = std::clamp((x - e0) / (e1 - e0), 0.0f, 1.0f);
    return u * u * (3.0f - 2.0f * u);
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

void multiBandHSVPixel(const float in[4], const BandShifts& shifts, float out[4]) {
    const float r = in[0], g = in[1], b = in[2];
    constexpr float e = 1.0e-10f;

    float p[4];
    if (g >= b) {
        p[0] = g, p[1] = b, p[2] = 0.0f, p[3] = -1.0f / 3.0f;
    } else {
        p[0] = b, p[1] = g, p[2] = -1.0f, p[3] = 2.0f / 3.0f;
    }
    float q[4];
    if (r >= p[0]) {
        q[0] = r, q[1] = p[1], q[2] = p[2], q[3] = p[0];
    } else {
        q[0] = p[0], q[1] = p[1], q[2] = p[3], q[3] = r;
    }
    const float d = q[0] - std::min(q[3], q[1]);
    const float h = std::fabs(q[2] + (q[3] - q[1]) / (6.0f * d + e));
    const float s = d / (q[0] + e);
    const float v = q[0];

    const auto& c = bandCentres();
    int lower = 7;
    for (int i = 1; i < 8; ++i) {
        if (h < c[i]) {
            lower = i - 1;
            break;
        }
    }
    const float e0 = lower == 0 ? 0.0f : c[lower];
    const float e1 = lower == 7 ? 1.0f : c[lower + 1];
    const auto& A = shifts[lower];
    const auto& B = shifts[(lower + 1) % 8];
    const float t = smoothstep(e0, e1, h);
    float hs = h + (A[0] + (B[0] - A[0]) * t);
    const float ss = s * (A[1] + (B[1] - A[1]) * t);
    const float vs = v * (A[2] + (B[2] - A[2]) * t);
    if (!std::isfinite(hs))
        hs = 0.0f;

    constexpr float offsets[3] = {1.0f, 2.0f / 3.0f, 1.0f / 3.0f};
    for (int k = 0; k < 3; ++k) {
        const float P = std::fabs(fract(hs + offsets[k]) * 6.0f - 3.0f);
        const float x = std::clamp(P - 1.0f, 0.0f, 1.0f);
        out[k] = vs * (1.0f + (x - 1.0f) * ss);
    }
    out[3] = 1.0f;
}

ci::Image multiBandHSV(const ci::Image& image, const BandShifts& shifts) {
    return ci::ColorKernel::apply(
        [shifts](const ci::ColorRow& row) {
            for (int i = 0; i < row.count; ++i)
                multiBandHSVPixel(row.in[0] + 4 * i, shifts, row.out + 4 * i);
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
