#include "Builtins.h"

#include "ci/core/Filter.h"
#include "ci/core/Kernel.h"
#include "spatial_support.h"

namespace ci::builtin {

using namespace spatial;

namespace {

const std::vector<std::string> kStylizeCategories = {"CICategoryStylize", "CICategoryStillImage",
                                                     "CICategoryVideo", "CICategoryBuiltIn"};

Image requireImage(const Inputs& in) {
    return in.image("inputImage");
}

// ---- Bloom and gloom: a soft glow screened over, or multiplied into, the picture.

Image bloom(const Image& image, double r, double intensity, bool gloom) {
    if (!(r > 0) || intensity == 0 || image.extent().isEmpty())
        return image;
    r = std::min(r, kMaxRadius);
    const Image blurred = gaussianBlur(image, r / 2);
    const float k = float(intensity);
    const Rect extent = roundOut(image.extent().grown(1.5 * r));
    if (!gloom)
        return ColorKernel::apply(
            [k](const ColorRow& row) {
                const float* p = row.in[0];
                const float* b = row.in[1];
                for (int i = 0; i < row.count * 4; ++i)
                    row.out[i] = p[i] + k * (b[i] - p[i] * b[i]);
            },
            {image, blurred}, extent);
    return ColorKernel::apply(
        [k](const ColorRow& row) {
            const float* p = row.in[0];
            const float* b = row.in[1];
            for (int i = 0; i < row.count * 4; i += 4) {
                const float inv = b[i + 3] != 0.f ? 1.f / b[i + 3] : 0.f;
                for (int c = 0; c < 3; ++c)
                    row.out[i + c] = p[i + c] * (1 - k + k * b[i + c] * inv);
                row.out[i + 3] = p[i + 3];
            }
        },
        {image, blurred}, extent);
}

// ---- Screens shared with the halftone family (dot screen of the comic effect).

double dotScreen(double u, double v, double w) {
    return 0.5 + 0.25 * (std::cos(2 * kPi * u / w) + std::cos(2 * kPi * v / w));
}

Image comicEffect(const Image& image) {
    if (image.extent().isEmpty())
        return image;
    const Image lum = gaussianBlur(straightLuminance(image), 1);
    auto fn = [](const KernelTile& t) {
        const Bitmap& src = *t.inputs[0];
        const Bitmap& ls = *t.inputs[1];
        std::vector<float> s0, s1, s2, sp;
        const double w = 6, e0 = std::max((1 - 0.7) / 2, 1 / w);
        const double angles[3] = {0.26, 1.31, 0};
        double ca[3], sa[3];
        for (int c = 0; c < 3; ++c) {
            ca[c] = std::cos(angles[c]);
            sa[c] = std::sin(angles[c]);
        }
        for (int64_t y = t.rect.y0; y < t.rect.y1; ++y) {
            const float* a = rowSpan(ls, y - 1, t.rect.x0 - 1, t.rect.x1 + 1, s0) + 4;
            const float* b = rowSpan(ls, y, t.rect.x0 - 1, t.rect.x1 + 1, s1) + 4;
            const float* c = rowSpan(ls, y + 1, t.rect.x0 - 1, t.rect.x1 + 1, s2) + 4;
            const float* p = rowSpan(src, y, t.rect.x0, t.rect.x1, sp);
            float* o = outPixel(*t.out, t.rect.x0, y);
            const double py = double(y) + 0.5;
            for (int64_t i = 0; i < t.rect.width(); ++i) {
                const int64_t j = i * 4;
                const double gx =
                    ((a[j + 4] + 2 * b[j + 4] + c[j + 4]) - (a[j - 4] + 2 * b[j - 4] + c[j - 4])) / 4.0;
                const double gy = ((c[j - 4] + 2 * c[j] + c[j + 4]) - (a[j - 4] + 2 * a[j] + a[j + 4])) / 4.0;
                const double line = 1 - smoothstep(0.1, 0.2, std::hypot(gx, gy));
                const float* q = p + j;
                const float alpha = q[3];
                const double inv = alpha != 0.f ? 1.0 / alpha : 0.0;
                const double px = double(t.rect.x0 + i) + 0.5;
                for (int ch = 0; ch < 3; ++ch) {
                    const double u = ca[ch] * px + sa[ch] * py, v = -sa[ch] * px + ca[ch] * py;
                    const double h = smoothstep(-e0, e0, q[ch] * inv - dotScreen(u, v, w));
                    o[j + ch] = float(line * h) * alpha;
                }
                o[j + 3] = alpha;
            }
        }
    };
    auto roi = [](int k, const Rect& r) { return k == 0 ? r : r.grown(1); };
    return GeneralKernel::apply(fn, {image, lum}, image.extent(), roi);
}

// ---- Jittered-grid cells shared by crystallize and pointillize.

struct Seed {
    double x, y, d2;
};

// Nearest seed to p among the 3 x 3 cells around its own; ties: smaller j, then smaller i.
inline Seed nearestSeed(double px, double py, Point c, double s) {
    const int64_t i0 = int64_t(std::floor((px - c.x) / s)), j0 = int64_t(std::floor((py - c.y) / s));
    Seed best{0, 0, INFINITY};
    for (int64_t j = j0 - 1; j <= j0 + 1; ++j)
        for (int64_t i = i0 - 1; i <= i0 + 1; ++i) {
            double h0, h1;
            hash2(i, j, h0, h1);
            const double sx = c.x + s * (double(i) + h0), sy = c.y + s * (double(j) + h1);
            const double d2 = (sx - px) * (sx - px) + (sy - py) * (sy - py);
            if (d2 < best.d2)
                best = {sx, sy, d2};
        }
    return best;
}

Image cells(const Image& image, double r, Point c, bool dots) {
    const double s = dots ? 1.5 * r : r;
    auto fn = [s, r, c, dots](const KernelTile& t) {
        const Bitmap& src = *t.inputs[0];
        for (int64_t y = t.rect.y0; y < t.rect.y1; ++y) {
            float* o = outPixel(*t.out, t.rect.x0, y);
            for (int64_t x = t.rect.x0; x < t.rect.x1; ++x, o += 4) {
                const Seed seed = nearestSeed(double(x) + 0.5, double(y) + 0.5, c, s);
                src.sample(seed.x, seed.y, o);
                if (dots) {
                    const float cover = float(std::clamp(r + 0.5 - std::sqrt(seed.d2), 0.0, 1.0));
                    for (int ch = 0; ch < 4; ++ch)
                        o[ch] *= cover;
                }
            }
        }
    };
    const double reach = (dots ? 3 * r : 2 * r) + 1;
    const Rect e = image.extent();
    auto roi = [reach, e](int, const Rect& rr) { return rr.grown(reach + 1).intersected(e); };
    return GeneralKernel::apply(fn, {image}, e, roi);
}

// ---- Edges: Sobel gradient of the straight colour, per channel.

Image edges(const Image& image, double intensity) {
    const float k = float(intensity);
    auto fn = [k](const KernelTile& t) {
        const int64_t w = t.rect.width() + 2;
        std::vector<float> straight(size_t(w * 3) * 4), scratch;
        auto load = [&](int64_t y, float* dst) {
            const float* s = rowSpan(*t.inputs[0], y, t.rect.x0 - 1, t.rect.x1 + 1, scratch);
            for (int64_t i = 0; i < w; ++i) {
                const float a = s[i * 4 + 3];
                const float inv = a != 0.f ? 1.f / a : 0.f;
                for (int c = 0; c < 3; ++c)
                    dst[i * 4 + c] = s[i * 4 + c] * inv;
                dst[i * 4 + 3] = a;
            }
        };
        for (int64_t y = t.rect.y0; y < t.rect.y1; ++y) {
            float* rows[3] = {straight.data(), straight.data() + w * 4, straight.data() + 2 * w * 4};
            load(y - 1, rows[0]);
            load(y, rows[1]);
            load(y + 1, rows[2]);
            const float* a = rows[0] + 4;
            const float* b = rows[1] + 4;
            const float* c = rows[2] + 4;
            float* o = outPixel(*t.out, t.rect.x0, y);
            for (int64_t i = 0; i < t.rect.width(); ++i) {
                const int64_t j = i * 4;
                for (int ch = 0; ch < 3; ++ch) {
                    const int64_t q = j + ch;
                    const float gx =
                        ((a[q + 4] + 2 * b[q + 4] + c[q + 4]) - (a[q - 4] + 2 * b[q - 4] + c[q - 4])) / 8;
                    const float gy =
                        ((c[q - 4] + 2 * c[q] + c[q + 4]) - (a[q - 4] + 2 * a[q] + a[q + 4])) / 8;
                    o[q] = k * std::sqrt(gx * gx + gy * gy) * b[j + 3];
                }
                o[j + 3] = b[j + 3];
            }
        }
    };
    auto roi = [](int, const Rect& r) { return r.grown(1); };
    return GeneralKernel::apply(fn, {image}, image.extent(), roi);
}

Image edgeWork(const Image& image, double r) {
    if (image.extent().isEmpty())
        return image;
    r = std::min(std::max(r, 0.0), kMaxRadius);
    const Image lum = straightLuminance(image);
    const Image fine = gaussianBlur(lum, std::max(0.5, r / 2));
    const Image coarse = gaussianBlur(lum, std::max(1.0, r));
    return ColorKernel::apply(
        [](const ColorRow& row) {
            const float* p = row.in[0];
            const float* f = row.in[1];
            const float* k = row.in[2];
            for (int i = 0; i < row.count * 4; i += 4) {
                const float v = float(smoothstep(-0.008, -0.004, f[i] - k[i])) * p[i + 3];
                row.out[i] = row.out[i + 1] = row.out[i + 2] = v;
                row.out[i + 3] = p[i + 3];
            }
        },
        {image, fine, coarse}, image.extent());
}

// ---- Pixellate: the colour at each cell's centre, on a grid through the centre point.

Image pixellate(const Image& image, double s, Point c) {
    const Rect e = image.extent();
    if (!(s > 0) || e.isEmpty())
        return image;
    auto snap = [s, c](double v, double origin, bool up) {
        const double k = (v - origin) / s;
        return origin + s * (up ? std::ceil(k) : std::floor(k));
    };
    const Rect extent = e.isInfinite() ? e
                                       : Rect{snap(e.x0, c.x, false), snap(e.y0, c.y, false),
                                              snap(e.x1, c.x, true), snap(e.y1, c.y, true)};
    auto fn = [s, c](const WarpRow& r) {
        const double cy = c.y + (std::floor((double(r.y) + 0.5 - c.y) / s) + 0.5) * s;
        for (int i = 0; i < r.count; ++i) {
            r.sx[i] = c.x + (std::floor((double(r.x + i) + 0.5 - c.x) / s) + 0.5) * s;
            r.sy[i] = cy;
        }
    };
    auto roi = [s, c, e](const Rect& r) {
        auto centre = [s](double v, double origin) {
            return origin + (std::floor((v - origin) / s) + 0.5) * s;
        };
        return Rect{centre(r.x0, c.x), centre(r.y0, c.y), centre(r.x1, c.x), centre(r.y1, c.y)}
            .grown(1)
            .intersected(e);
    };
    return WarpKernel::apply(fn, image, extent, roi);
}

// ---- Shaded material: the height field's normals look up a shaded-sphere picture.

Image shadedMaterial(const Image& image, const Image& shading, double scale) {
    const Rect se = shading.extent();
    const bool infinite = se.isInfinite();
    const double mx = infinite ? 0 : se.midX(), my = infinite ? 0 : se.midY();
    const double hw = infinite ? 100 : se.width() / 2, hh = infinite ? 100 : se.height() / 2;
    auto fn = [scale, mx, my, hw, hh](const KernelTile& t) {
        std::vector<float> s0, s1, s2;
        const Bitmap& sh = *t.inputs[1];
        for (int64_t y = t.rect.y0; y < t.rect.y1; ++y) {
            const float* a = rowSpan(*t.inputs[0], y - 1, t.rect.x0 - 1, t.rect.x1 + 1, s0) + 4;
            const float* b = rowSpan(*t.inputs[0], y, t.rect.x0 - 1, t.rect.x1 + 1, s1) + 4;
            const float* c = rowSpan(*t.inputs[0], y + 1, t.rect.x0 - 1, t.rect.x1 + 1, s2) + 4;
            float* o = outPixel(*t.out, t.rect.x0, y);
            for (int64_t i = 0; i < t.rect.width(); ++i) {
                const int64_t j = i * 4;
                const double gx = (luma(b + j + 4) - luma(b + j - 4)) / 2.0;
                const double gy = (luma(c + j) - luma(a + j)) / 2.0;
                double nx = -scale * gx, ny = -scale * gy;
                const double len = std::sqrt(nx * nx + ny * ny + 1);
                nx /= len;
                ny /= len;
                float v[4];
                sh.sample(mx + nx * hw, my + ny * hh, v);
                const float alpha = b[j + 3];
                for (int ch = 0; ch < 4; ++ch)
                    o[j + ch] = v[ch] * alpha;
            }
        }
    };
    auto roi = [se, infinite](int k, const Rect& r) {
        if (k == 0)
            return r.grown(1);
        return infinite ? Rect{-101, -101, 101, 101} : se;
    };
    return GeneralKernel::apply(fn, {image, shading}, image.extent(), roi);
}

} // namespace

void registerStylizeFilters() {
    for (bool gloom : {false, true}) {
        defineBuiltin(
            {gloom ? "CIGloom" : "CIBloom",
             gloom ? "Gloom" : "Bloom",
             kStylizeCategories,
             {imageInput(), numberSpec("inputRadius", "Radius", 10, 0, 100, 0, 0, attr::TypeDistance),
              numberSpec("inputIntensity", "Intensity", 0.5, 0, 1, 0, 0)},
             [gloom](const Inputs& in) -> Image {
                 Image image = requireImage(in);
                 if (!image)
                     return {};
                 return bloom(image, number(in, "inputRadius", 10), number(in, "inputIntensity", 0.5), gloom);
             }});
    }
    defineBuiltin(
        {"CIComicEffect", "Comic Effect", kStylizeCategories, {imageInput()}, [](const Inputs& in) -> Image {
             Image image = requireImage(in);
             return image ? comicEffect(image) : Image();
         }});
    for (bool dots : {false, true}) {
        defineBuiltin(
            {dots ? "CIPointillize" : "CICrystallize",
             dots ? "Pointillize" : "Crystallize",
             kStylizeCategories,
             {imageInput(), numberSpec("inputRadius", "Radius", 20, 1, 100, 1, 1, attr::TypeDistance),
              vectorInput("inputCenter", Vector{150, 150}, "Center")},
             [dots](const Inputs& in) -> Image {
                 Image image = requireImage(in);
                 if (!image)
                     return {};
                 const double r = std::min(number(in, "inputRadius", 20), kMaxRadius);
                 // Pixel-sized cells (and below) leave the picture as it is.
                 if (!(r > 1) || image.extent().isEmpty())
                     return image;
                 return cells(image, r, point(in, "inputCenter"), dots);
             }});
    }
    defineBuiltin({"CIEdges",
                   "Edges",
                   kStylizeCategories,
                   {imageInput(), numberSpec("inputIntensity", "Intensity", 1, 0, 10, 0, 0)},
                   [](const Inputs& in) -> Image {
                       Image image = requireImage(in);
                       if (!image)
                           return {};
                       const double k = number(in, "inputIntensity", 1);
                       return k == 0 ? image : edges(image, k);
                   }});
    defineBuiltin({"CIEdgeWork",
                   "Edge Work",
                   kStylizeCategories,
                   {imageInput(), numberSpec("inputRadius", "Radius", 3, 0, 20, 0, {}, attr::TypeDistance)},
                   [](const Inputs& in) -> Image {
                       Image image = requireImage(in);
                       return image ? edgeWork(image, number(in, "inputRadius", 3)) : Image();
                   }});
    defineBuiltin({"CIPixellate",
                   "Pixellate",
                   kStylizeCategories,
                   {imageInput(), vectorInput("inputCenter", Vector{150, 150}, "Center"),
                    numberSpec("inputScale", "Scale", 8, 1, 100, 1, {}, attr::TypeDistance)},
                   [](const Inputs& in) -> Image {
                       Image image = requireImage(in);
                       if (!image)
                           return {};
                       return pixellate(image, std::min(number(in, "inputScale", 8), 1e7),
                                        point(in, "inputCenter"));
                   }});
    defineBuiltin({"CIShadedMaterial",
                   "Shaded Material",
                   kStylizeCategories,
                   {imageInput(), imageInput("inputShadingImage", "Shading Image"),
                    numberSpec("inputScale", "Scale", 10, 0.5, 200, 0, {}, attr::TypeDistance)},
                   [](const Inputs& in) -> Image {
                       Image image = requireImage(in);
                       Image shading = in.image("inputShadingImage");
                       if (!image || !shading)
                           return {};
                       if (image.extent().isEmpty())
                           return image;
                       return shadedMaterial(image, shading, number(in, "inputScale", 10));
                   }});
}

} // namespace ci::builtin
