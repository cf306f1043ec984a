#include "Builtins.h"

#include "ci/core/Filter.h"
#include "ci/core/Kernel.h"
#include "spatial_support.h"

#include "ColorPipeline.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <span>

namespace ci::builtin {

using namespace spatial;

namespace {

const std::vector<std::string> kGeometryCategories = {"CICategoryGeometryAdjustment", "CICategoryVideo",
                                                      "CICategoryStillImage", "CICategoryBuiltIn"};

InputSpec transformSpec() {
    InputSpec s;
    s.key = "inputTransform";
    s.kind = ValueKind::Transform;
    s.defaultValue = Affine::identity();
    s.displayName = "Transform";
    s.type = attr::TypeTransform;
    return s;
}

bool isFinite(const Affine& t) {
    return std::isfinite(t.a) && std::isfinite(t.b) && std::isfinite(t.c) && std::isfinite(t.d) &&
           std::isfinite(t.tx) && std::isfinite(t.ty);
}

// o += w s over n floats.
CI_VECTOR_CLONES void accumulate(float* __restrict o, const float* __restrict s, float w, int64_t n) {
    for (int64_t j = 0; j < n; ++j)
        o[j] += w * s[j];
}

using v4 = float __attribute__((vector_size(16)));

inline v4 load4(const float* p) {
    v4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// One row of a horizontal resampling: output pixel i is the sum over k of taps[i][k] times source
// pixel firsts[i] + k (src holds the row from pixel lo). Four pixels are summed side by side, each
// adding its taps in order: one sum alone waits on every addition before the next.
void resampleRow(const float* src, int64_t lo, const std::span<const float>* taps, const int64_t* firsts,
                 float* out, int64_t n) {
    auto single = [&](int64_t i) {
        v4 acc = {0, 0, 0, 0};
        const std::span<const float> w = taps[i];
        const float* p = w.empty() ? nullptr : src + (firsts[i] - lo) * 4;
        for (size_t k = 0; k < w.size(); ++k)
            acc += w[k] * load4(p + 4 * k);
        std::memcpy(out + 4 * i, &acc, sizeof acc);
    };
    int64_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const size_t len = taps[i].size();
        if (len == 0 || taps[i + 1].size() != len || taps[i + 2].size() != len || taps[i + 3].size() != len) {
            // Taps that differ in number (near the edges): one pixel at a time.
            for (int64_t j = i; j < i + 4; ++j)
                single(j);
            continue;
        }
        const float *w0 = taps[i].data(), *w1 = taps[i + 1].data(), *w2 = taps[i + 2].data(),
                    *w3 = taps[i + 3].data();
        const float *p0 = src + (firsts[i] - lo) * 4, *p1 = src + (firsts[i + 1] - lo) * 4,
                    *p2 = src + (firsts[i + 2] - lo) * 4, *p3 = src + (firsts[i + 3] - lo) * 4;
        v4 a0 = {0, 0, 0, 0}, a1 = a0, a2 = a0, a3 = a0;
        for (size_t k = 0; k < len; ++k) {
            a0 += w0[k] * load4(p0 + 4 * k);
            a1 += w1[k] * load4(p1 + 4 * k);
            a2 += w2[k] * load4(p2 + 4 * k);
            a3 += w3[k] * load4(p3 + 4 * k);
        }
        std::memcpy(out + 4 * i, &a0, sizeof a0);
        std::memcpy(out + 4 * i + 4, &a1, sizeof a1);
        std::memcpy(out + 4 * i + 8, &a2, sizeof a2);
        std::memcpy(out + 4 * i + 12, &a3, sizeof a3);
    }
    for (; i < n; ++i)
        single(i);
}

double lanczos3(double x) {
    x = std::abs(x);
    if (x < 1e-9)
        return 1;
    if (x >= 3)
        return 0;
    const double px = kPi * x;
    return 3 * std::sin(px) * std::sin(px / 3) / (px * px);
}

// Taps of one output sample of a Lanczos-3 resampling along one axis.
struct Taps {
    int64_t first = 0; // first source pixel index
    std::vector<float> w;
};

// Output sample at pixel index `o` (centre o + 0.5) of an axis scaled by s; source pixels limited
// to [lo, hi) (outside they read 0, but still count in the normalisation).
Taps lanczosTaps(int64_t o, double s, double lo, double hi) {
    const double k = std::min(s, 1.0);
    const double reach = 3 / k;
    const double x = (double(o) + 0.5) / s;
    const double i0 = std::ceil(x - reach - 0.5), i1 = std::floor(x + reach - 0.5);
    double total = 0;
    if (i1 - i0 < 16384) {
        for (double i = i0; i <= i1; ++i)
            total += lanczos3((i + 0.5 - x) * k);
    } else {
        total = 1 / k; // the kernel integrates to 1
    }
    Taps t;
    const double a = std::max(i0, lo), b = std::min(i1, hi - 1);
    if (b < a || total == 0)
        return t;
    t.first = int64_t(a);
    t.w.resize(size_t(b - a + 1));
    for (size_t n = 0; n < t.w.size(); ++n)
        t.w[n] = float(lanczos3((a + double(n) + 0.5 - x) * k) / total);
    return t;
}

// The taps of every output sample of one axis, computed once per recipe (the first tile that
// needs them) rather than per tile or per row: the kernel's sines are a large share of the cost.
class AxisTaps {
  public:
    AxisTaps(int64_t o0, int64_t o1, double s, double lo, double hi)
        : o0_(o0), o1_(o1), s_(s), lo_(lo), hi_(hi) {}

    /// Taps of output sample o; `spare` holds them when they are not precomputed.
    std::span<const float> weights(int64_t o, int64_t& first, Taps& spare) const {
        if (o < o0_ || o >= o1_) {
            spare = lanczosTaps(o, s_, lo_, hi_);
            first = spare.first;
            return spare.w;
        }
        std::call_once(once_, [this] { fill(); });
        const size_t i = size_t(o - o0_);
        first = first_[i];
        return {weights_.data() + start_[i], weights_.data() + start_[i + 1]};
    }

    bool covers(int64_t a, int64_t b) const { return a >= o0_ && b <= o1_; }

  private:
    void fill() const {
        const size_t n = size_t(o1_ - o0_);
        first_.resize(n);
        start_.resize(n + 1);
        for (size_t i = 0; i < n; ++i) {
            const Taps t = lanczosTaps(o0_ + int64_t(i), s_, lo_, hi_);
            first_[i] = t.first;
            start_[i] = weights_.size();
            weights_.insert(weights_.end(), t.w.begin(), t.w.end());
        }
        start_[n] = weights_.size();
    }

    int64_t o0_, o1_;
    double s_, lo_, hi_;
    // Filled once, by the first tile that asks.
    mutable std::once_flag once_;
    mutable std::vector<int64_t> first_;
    mutable std::vector<size_t> start_;
    mutable std::vector<float> weights_;
};

// Output samples of an axis whose taps are precomputed: the axis's own pixels when there are not
// too many of them, otherwise none.
std::shared_ptr<const AxisTaps> axisTaps(double e0, double e1, double s, double lo, double hi) {
    constexpr double kMaxPrecomputed = 1 << 22;
    const double o0 = std::floor(e0 * s), o1 = std::ceil(e1 * s);
    if (!(o1 - o0 <= kMaxPrecomputed) || !std::isfinite(lo) || !std::isfinite(hi))
        return std::make_shared<const AxisTaps>(0, 0, s, lo, hi);
    return std::make_shared<const AxisTaps>(int64_t(o0), int64_t(o1), s, lo, hi);
}

Image lanczosScale(const Image& image, double scale, double aspect) {
    if (!(scale > 0) || !(aspect > 0) || !std::isfinite(scale) || !std::isfinite(aspect))
        return Image::empty();
    const double sx = scale * aspect, sy = scale;
    if (sx == 1 && sy == 1)
        return image;
    const Rect e = image.extent();
    if (e.isEmpty())
        return Image::empty();
    const Rect src = roundOut(e);
    const double kx = std::min(sx, 1.0), ky = std::min(sy, 1.0);

    const Rect xExtent = roundOut(Rect{e.x0 * sx, e.y0, e.x1 * sx, e.y1});
    auto xTaps = axisTaps(e.x0, e.x1, sx, src.x0, src.x1);
    auto xfn = [xTaps](const KernelTile& t) {
        std::vector<float> scratch;
        Taps spare;
        const int64_t n = t.rect.width();
        std::vector<std::span<const float>> taps(static_cast<size_t>(n));
        std::vector<int64_t> firsts(static_cast<size_t>(n));
        std::vector<Taps> spares(xTaps->covers(t.rect.x0, t.rect.x1) ? 0 : size_t(n));
        int64_t lo = INT64_MAX, hi = INT64_MIN;
        for (int64_t i = 0; i < n; ++i) {
            taps[i] = xTaps->weights(t.rect.x0 + i, firsts[i], spares.empty() ? spare : spares[size_t(i)]);
            if (!taps[i].empty()) {
                lo = std::min(lo, firsts[i]);
                hi = std::max(hi, firsts[i] + int64_t(taps[i].size()));
            }
        }
        for (int64_t y = t.rect.y0; y < t.rect.y1; ++y) {
            float* o = outPixel(*t.out, t.rect.x0, y);
            const float* s = lo < hi ? rowSpan(*t.inputs[0], y, lo, hi, scratch) : nullptr;
            resampleRow(s, lo, taps.data(), firsts.data(), o, n);
        }
    };
    auto xroi = [sx, kx, src](int, const Rect& r) {
        const double reach = 3 / kx + 1;
        return Rect{std::floor(r.x0 / sx - reach), r.y0, std::ceil(r.x1 / sx + reach), r.y1}.intersected(src);
    };
    Image xPass = GeneralKernel::apply(xfn, {image}, xExtent, xroi);

    const Rect extent = roundOut(Rect{e.x0 * sx, e.y0 * sy, e.x1 * sx, e.y1 * sy});
    auto yTaps = axisTaps(e.y0, e.y1, sy, src.y0, src.y1);
    auto yfn = [yTaps](const KernelTile& t) {
        std::vector<float> scratch;
        Taps spare;
        const int64_t n4 = t.rect.width() * 4;
        for (int64_t y = t.rect.y0; y < t.rect.y1; ++y) {
            int64_t first = 0;
            const std::span<const float> w = yTaps->weights(y, first, spare);
            float* __restrict o = outPixel(*t.out, t.rect.x0, y);
            std::fill(o, o + n4, 0.f);
            for (size_t k = 0; k < w.size(); ++k)
                accumulate(o, rowSpan(*t.inputs[0], first + int64_t(k), t.rect.x0, t.rect.x1, scratch), w[k],
                           n4);
        }
    };
    auto yroi = [sy, ky, src](int, const Rect& r) {
        const double reach = 3 / ky + 1;
        return Rect{r.x0, std::floor(r.y0 / sy - reach), r.x1, std::ceil(r.y1 / sy + reach)}.intersected(
            Rect{-INFINITY, src.y0, INFINITY, src.y1});
    };
    return GeneralKernel::apply(yfn, {xPass}, extent, yroi);
}

Image affineClamp(const Image& image, const Affine& t) {
    const Rect e = image.extent();
    if (e.isEmpty() || e.isInfinite())
        return image;
    if (t.isIdentity())
        return image.clampedToExtent();
    auto inv = t.inverted();
    if (!inv || !isFinite(*inv))
        return Image::empty();
    const Affine m = *inv;
    // Centres of the border pixels: edge pixels repeat without transparent mixing.
    const double cx0 = e.x0 + 0.5, cx1 = std::max(cx0, e.x1 - 0.5);
    const double cy0 = e.y0 + 0.5, cy1 = std::max(cy0, e.y1 - 0.5);
    auto fn = [m, cx0, cx1, cy0, cy1](const WarpRow& r) {
        const double py = double(r.y) + 0.5;
        for (int i = 0; i < r.count; ++i) {
            const Point q = m.map({double(r.x + i) + 0.5, py});
            r.sx[i] = std::clamp(q.x, cx0, cx1);
            r.sy[i] = std::clamp(q.y, cy0, cy1);
        }
    };
    auto roi = [m, e, cx0, cx1, cy0, cy1](const Rect& r) {
        if (r.isInfinite())
            return e;
        Rect b = m.mapRect(r);
        Rect c{std::clamp(b.x0, cx0, cx1), std::clamp(b.y0, cy0, cy1), std::clamp(b.x1, cx0, cx1),
               std::clamp(b.y1, cy0, cy1)};
        return c.grown(1).intersected(e);
    };
    return WarpKernel::apply(fn, image, Rect::infinite(), roi);
}

} // namespace

void registerGeometryFilters() {
    defineBuiltin({"CIAffineTransform",
                   "Affine Transform",
                   kGeometryCategories,
                   {imageInput(), transformSpec()},
                   [](const Inputs& in) -> Image {
                       Image image = in.image("inputImage");
                       if (!image)
                           return {};
                       const Affine t = in.transform("inputTransform");
                       if (t.isIdentity())
                           return image;
                       if (!isFinite(t))
                           return Image::empty();
                       return image.transformed(t);
                   }});

    InputSpec rect =
        vectorInput("inputRectangle", Vector{-8.98847e307, -8.98847e307, 1.79769e308, 1.79769e308},
                    "Rectangle", attr::TypeRectangle);
    defineBuiltin(
        {"CICrop", "Crop", kGeometryCategories, {imageInput(), rect}, [](const Inputs& in) -> Image {
             Image image = in.image("inputImage");
             if (!image)
                 return {};
             const Vector v = in.vector("inputRectangle");
             for (double c : {v.x(), v.y(), v.z(), v.w()})
                 if (std::isnan(c))
                     return Image::empty();
             return image.cropped(v.rect());
         }});

    defineBuiltin({"CILanczosScaleTransform",
                   "Lanczos Scale Transform",
                   kGeometryCategories,
                   {imageInput(), numberSpec("inputScale", "Scale", 1, 0.05, 1.5, 0, 1),
                    numberSpec("inputAspectRatio", "Aspect Ratio", 1, 0.5, 2, 0, 1)},
                   [](const Inputs& in) -> Image {
                       Image image = in.image("inputImage");
                       if (!image)
                           return {};
                       return lanczosScale(image, in.number("inputScale"), in.number("inputAspectRatio"));
                   }});

    defineBuiltin({"CIAffineClamp",
                   "Affine Clamp",
                   {"CICategoryTileEffect", "CICategoryVideo", "CICategoryStillImage", "CICategoryBuiltIn"},
                   {imageInput(), transformSpec()},
                   [](const Inputs& in) -> Image {
                       Image image = in.image("inputImage");
                       if (!image)
                           return {};
                       const Affine t = in.transform("inputTransform");
                       if (!isFinite(t))
                           return Image::empty();
                       return affineClamp(image, t);
                   }});
}

} // namespace ci::builtin
