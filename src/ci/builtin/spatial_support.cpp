#include "spatial_support.h"

#include "ColorPipeline.h"
#include "Vec.h"

#include <cstring>
#include <memory>

namespace ci::builtin::spatial {

const float* rowSpan(const Bitmap& bm, int64_t y, int64_t x0, int64_t x1, std::vector<float>& scratch) {
    const IRect& r = bm.rect();
    bool rowInside = y >= r.y0 && y < r.y1 && !bm.isEmpty();
    if (rowInside && x0 >= r.x0 && x1 <= r.x1)
        return bm.row(y) + (x0 - r.x0) * 4;
    scratch.assign(size_t(std::max<int64_t>(x1 - x0, 0)) * 4, 0.f);
    if (rowInside) {
        int64_t a = std::max(x0, r.x0), b = std::min(x1, r.x1);
        if (a < b)
            std::memcpy(scratch.data() + (a - x0) * 4, bm.row(y) + (a - r.x0) * 4,
                        size_t(b - a) * 4 * sizeof(float));
    }
    return scratch.data();
}

Rect boundingBox(std::initializer_list<Point> pts) {
    Rect r{INFINITY, INFINITY, -INFINITY, -INFINITY};
    for (const Point& p : pts) {
        r.x0 = std::min(r.x0, p.x);
        r.y0 = std::min(r.y0, p.y);
        r.x1 = std::max(r.x1, p.x);
        r.y1 = std::max(r.y1, p.y);
    }
    return r;
}

std::vector<float> gaussianWeights(double sigma) {
    int K = int(std::ceil(3 * sigma));
    std::vector<double> w(size_t(K) + 1);
    double sum = 0;
    for (int k = 0; k <= K; ++k) {
        w[k] = std::exp(-double(k) * k / (2 * sigma * sigma));
        sum += k == 0 ? w[k] : 2 * w[k];
    }
    std::vector<float> out(w.size());
    for (size_t k = 0; k < w.size(); ++k)
        out[k] = float(w[k] / sum);
    return out;
}

namespace {

// o = w0 c + sum over k of w[k] (a_k + b_k), for n4 floats, where a_k and b_k are the taps k
// before and after the centre. Blocks of the output stay in registers across all the taps, so
// each tap costs two loads rather than a pass over the output; the order of the sums is that of
// a plain loop over k.
template <class Tap>
CI_ALWAYS_INLINE void symmetricSum(float* __restrict o, int64_t n4, const float* wk, int K, Tap tap) {
    using namespace simd;
    constexpr int64_t B = 32;
    int64_t j0 = 0;
    for (; j0 + B <= n4; j0 += B) {
        const float* c = tap(0, false) + j0;
        const V8 w0 = splat8(wk[0]);
        V8 acc0 = w0 * load8(c), acc1 = w0 * load8(c + 8), acc2 = w0 * load8(c + 16),
           acc3 = w0 * load8(c + 24);
        for (int k = 1; k <= K; ++k) {
            const float* a = tap(k, false) + j0;
            const float* b = tap(k, true) + j0;
            const V8 wv = splat8(wk[k]);
            acc0 += wv * (load8(a) + load8(b));
            acc1 += wv * (load8(a + 8) + load8(b + 8));
            acc2 += wv * (load8(a + 16) + load8(b + 16));
            acc3 += wv * (load8(a + 24) + load8(b + 24));
        }
        store8(o + j0, acc0);
        store8(o + j0 + 8, acc1);
        store8(o + j0 + 16, acc2);
        store8(o + j0 + 24, acc3);
    }
    if (j0 == n4)
        return;
    const float* c = tap(0, false);
    for (int64_t j = j0; j < n4; ++j)
        o[j] = wk[0] * c[j];
    for (int k = 1; k <= K; ++k) {
        const float* __restrict a = tap(k, false);
        const float* __restrict b = tap(k, true);
        const float wv = wk[k];
        for (int64_t j = j0; j < n4; ++j)
            o[j] += wv * (a[j] + b[j]);
    }
}

// Along a row: the taps are whole pixels (4 floats) apart.
CI_VECTOR_CLONES void symmetricTaps(const float* c, float* __restrict o, int64_t n4, const float* wk, int K) {
    symmetricSum(o, n4, wk, K, [c](int k, bool after) { return after ? c + 4 * k : c - 4 * k; });
}

// Across rows: rows[K] is the centre.
CI_VECTOR_CLONES void symmetricRows(const float* const* rows, float* __restrict o, int64_t n4,
                                    const float* wk, int K) {
    symmetricSum(o, n4, wk, K, [rows, K](int k, bool after) { return after ? rows[K + k] : rows[K - k]; });
}

Image convolveX(const Image& image, std::shared_ptr<const std::vector<float>> w, const Rect& extent) {
    const int K = int(w->size()) - 1;
    auto fn = [w, K](const KernelTile& t) {
        std::vector<float> scratch;
        const int64_t n4 = t.rect.width() * 4;
        const float* wk = w->data();
        for (int64_t y = t.rect.y0; y < t.rect.y1; ++y) {
            const float* c = rowSpan(*t.inputs[0], y, t.rect.x0 - K, t.rect.x1 + K, scratch) + 4 * K;
            symmetricTaps(c, outPixel(*t.out, t.rect.x0, y), n4, wk, K);
        }
    };
    auto roi = [K](int, const Rect& r) { return r.grown(K, 0); };
    return GeneralKernel::apply(fn, {image}, extent, roi);
}

Image convolveY(const Image& image, std::shared_ptr<const std::vector<float>> w, const Rect& extent) {
    const int K = int(w->size()) - 1;
    auto fn = [w, K](const KernelTile& t) {
        const int64_t h = t.rect.height();
        std::vector<std::vector<float>> scratch(size_t(h + 2 * K));
        std::vector<const float*> rows(size_t(h + 2 * K));
        for (int64_t k = 0; k < h + 2 * K; ++k)
            rows[k] = rowSpan(*t.inputs[0], t.rect.y0 - K + k, t.rect.x0, t.rect.x1, scratch[k]);
        const int64_t n4 = t.rect.width() * 4;
        const float* wk = w->data();
        // Down columns a strip at a time: the rows a strip's taps read stay in the first-level
        // cache from one output row to the next.
        constexpr int64_t kStrip = 128;
        std::vector<const float*> taps(size_t(2 * K + 1));
        for (int64_t j0 = 0; j0 < n4; j0 += kStrip) {
            const int64_t m = std::min(kStrip, n4 - j0);
            for (int64_t i = 0; i < h; ++i) {
                for (int k = 0; k <= 2 * K; ++k)
                    taps[size_t(k)] = rows[size_t(i + k)] + j0;
                symmetricRows(taps.data(), outPixel(*t.out, t.rect.x0, t.rect.y0 + i) + j0, m, wk, K);
            }
        }
    };
    auto roi = [K](int, const Rect& r) { return r.grown(0, K); };
    return GeneralKernel::apply(fn, {image}, extent, roi);
}

} // namespace

Image separableConvolution(const Image& image, std::vector<float> weights, const Rect& extent) {
    auto w = std::make_shared<const std::vector<float>>(std::move(weights));
    const int K = int(w->size()) - 1;
    Rect e = image.extent();
    Rect xExtent = roundOut(Rect{e.x0 - K, e.y0, e.x1 + K, e.y1});
    Image x = convolveX(image, w, xExtent.intersected(Rect{extent.x0, -INFINITY, extent.x1, INFINITY}));
    return convolveY(x, w, extent);
}

Image reduceBy(const Image& image, int f) {
    Rect e = image.extent();
    Rect extent = e.isInfinite() ? Rect::infinite()
                                 : Rect{std::floor(e.x0 / f), std::floor(e.y0 / f), std::ceil(e.x1 / f),
                                        std::ceil(e.y1 / f)};
    auto fn = [f](const KernelTile& t) {
        const Bitmap& src = *t.inputs[0];
        const IRect& r = src.rect();
        const int64_t n = t.rect.width();
        std::vector<float> acc(size_t(n * f) * 4);
        const float scale = 1.f / float(f * f);
        const int64_t bx0 = t.rect.x0 * f;
        const int64_t cx0 = std::max(bx0, r.x0), cx1 = std::min(t.rect.x1 * f, r.x1);
        for (int64_t j = t.rect.y0; j < t.rect.y1; ++j) {
            std::fill(acc.begin(), acc.end(), 0.f);
            const int64_t ry0 = std::max(j * f, r.y0), ry1 = std::min((j + 1) * f, r.y1);
            for (int64_t y = ry0; y < ry1 && cx0 < cx1; ++y) {
                const float* __restrict s = src.row(y) + (cx0 - r.x0) * 4;
                float* __restrict a = acc.data() + (cx0 - bx0) * 4;
                const int64_t m = (cx1 - cx0) * 4;
                for (int64_t k = 0; k < m; ++k)
                    a[k] += s[k];
            }
            float* o = outPixel(*t.out, t.rect.x0, j);
            for (int64_t i = 0; i < n; ++i) {
                float sum[4] = {0, 0, 0, 0};
                const float* a = acc.data() + i * f * 4;
                for (int k = 0; k < f; ++k)
                    for (int c = 0; c < 4; ++c)
                        sum[c] += a[k * 4 + c];
                for (int c = 0; c < 4; ++c)
                    o[i * 4 + c] = sum[c] * scale;
            }
        }
    };
    auto roi = [f, e](int, const Rect& r) {
        return Rect{r.x0 * f, r.y0 * f, r.x1 * f, r.y1 * f}.intersected(e.isInfinite() ? Rect::infinite()
                                                                                       : roundOut(e));
    };
    return GeneralKernel::apply(fn, {image}, extent, roi);
}

Image enlargeBy(const Image& reduced, int f, const Rect& extent) {
    auto fn = [f](const KernelTile& t) {
        const Bitmap& src = *t.inputs[0];
        const int64_t n = t.rect.width();
        std::vector<int64_t> ix(static_cast<size_t>(n));
        std::vector<float> tx(static_cast<size_t>(n));
        for (int64_t i = 0; i < n; ++i) {
            double u = (double(t.rect.x0 + i) + 0.5) / f - 0.5;
            double fl = std::floor(u);
            ix[i] = int64_t(fl);
            tx[i] = float(u - fl);
        }
        const int64_t c0 = ix.front(), c1 = ix.back() + 2;
        std::vector<float> sa, sb;
        std::vector<float> mixed(size_t(c1 - c0) * 4);
        for (int64_t y = t.rect.y0; y < t.rect.y1; ++y) {
            double v = (double(y) + 0.5) / f - 0.5;
            double fl = std::floor(v);
            const float ty = float(v - fl);
            const float* a = rowSpan(src, int64_t(fl), c0, c1, sa);
            const float* b = rowSpan(src, int64_t(fl) + 1, c0, c1, sb);
            const int64_t m = (c1 - c0) * 4;
            for (int64_t k = 0; k < m; ++k)
                mixed[k] = a[k] + (b[k] - a[k]) * ty;
            float* o = outPixel(*t.out, t.rect.x0, y);
            for (int64_t i = 0; i < n; ++i) {
                const float* p = mixed.data() + (ix[i] - c0) * 4;
                const float s = tx[i];
                for (int c = 0; c < 4; ++c)
                    o[i * 4 + c] = p[c] + (p[4 + c] - p[c]) * s;
            }
        }
    };
    auto roi = [f](int, const Rect& r) {
        return Rect{std::floor(r.x0 / f) - 1, std::floor(r.y0 / f) - 1, std::ceil(r.x1 / f) + 1,
                    std::ceil(r.y1 / f) + 1};
    };
    return GeneralKernel::apply(fn, {reduced}, extent, roi);
}

Image gaussianBlur(const Image& image, double sigma) {
    if (image.isNull() || !(sigma > 0) || image.extent().isEmpty())
        return image;
    sigma = std::min(sigma, kMaxRadius);
    const Rect extent = roundOut(image.extent().grown(3 * sigma));
    // Direct taps up to sigma 8; beyond, the same blur on an aligned 2^k-reduced copy keeps the
    // cost flat (the reduction and enlargement add a little variance, taken off sigma).
    if (sigma <= 8)
        return separableConvolution(image, gaussianWeights(sigma), extent);
    int f = 2;
    while (sigma / f > 8)
        f *= 2;
    const double residual = sigma * sigma - (double(f) * f - 1) / 12 - double(f) * f / 6;
    const double sr = std::sqrt(std::max(residual, 0.25)) / f;
    Image reduced = reduceBy(image, f);
    Image blurred = separableConvolution(reduced, gaussianWeights(sr),
                                         roundOut(reduced.extent().grown(std::ceil(3 * sr) + 1)));
    return enlargeBy(blurred, f, extent);
}

Image straightLuminance(const Image& image) {
    return ColorKernel::apply(
        [](const ColorRow& r) {
            const float* p = r.in[0];
            for (int i = 0; i < r.count; ++i) {
                const float l = lumaStraight(p + i * 4);
                float* o = r.out + i * 4;
                o[0] = o[1] = o[2] = l;
                o[3] = 1.f;
            }
        },
        {image});
}

} // namespace ci::builtin::spatial
