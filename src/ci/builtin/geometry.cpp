#include "Builtins.h"

#include "ci/core/Filter.h"
#include "ci/core/Kernel.h"
#include "spatial_support.h"

#include <memory>

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
    auto xfn = [sx, src](const KernelTile& t) {
        std::vector<float> scratch;
        const int64_t n = t.rect.width();
        std::vector<Taps> taps(static_cast<size_t>(n));
        int64_t lo = INT64_MAX, hi = INT64_MIN;
        for (int64_t i = 0; i < n; ++i) {
            taps[i] = lanczosTaps(t.rect.x0 + i, sx, src.x0, src.x1);
            if (!taps[i].w.empty()) {
                lo = std::min(lo, taps[i].first);
                hi = std::max(hi, taps[i].first + int64_t(taps[i].w.size()));
            }
        }
        for (int64_t y = t.rect.y0; y < t.rect.y1; ++y) {
            float* o = outPixel(*t.out, t.rect.x0, y);
            const float* s = lo < hi ? rowSpan(*t.inputs[0], y, lo, hi, scratch) : nullptr;
            for (int64_t i = 0; i < n; ++i) {
                float acc[4] = {0, 0, 0, 0};
                const Taps& tp = taps[i];
                const float* p = tp.w.empty() ? nullptr : s + (tp.first - lo) * 4;
                for (size_t k = 0; k < tp.w.size(); ++k)
                    for (int c = 0; c < 4; ++c)
                        acc[c] += tp.w[k] * p[k * 4 + c];
                for (int c = 0; c < 4; ++c)
                    o[i * 4 + c] = acc[c];
            }
        }
    };
    auto xroi = [sx, kx, src](int, const Rect& r) {
        const double reach = 3 / kx + 1;
        return Rect{std::floor(r.x0 / sx - reach), r.y0, std::ceil(r.x1 / sx + reach), r.y1}.intersected(src);
    };
    Image xPass = GeneralKernel::apply(xfn, {image}, xExtent, xroi);

    const Rect extent = roundOut(Rect{e.x0 * sx, e.y0 * sy, e.x1 * sx, e.y1 * sy});
    auto yfn = [sy, src](const KernelTile& t) {
        std::vector<float> scratch;
        const int64_t n4 = t.rect.width() * 4;
        for (int64_t y = t.rect.y0; y < t.rect.y1; ++y) {
            const Taps tp = lanczosTaps(y, sy, src.y0, src.y1);
            float* __restrict o = outPixel(*t.out, t.rect.x0, y);
            std::fill(o, o + n4, 0.f);
            for (size_t k = 0; k < tp.w.size(); ++k) {
                const float* __restrict s =
                    rowSpan(*t.inputs[0], tp.first + int64_t(k), t.rect.x0, t.rect.x1, scratch);
                const float w = tp.w[k];
                for (int64_t j = 0; j < n4; ++j)
                    o[j] += w * s[j];
            }
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
