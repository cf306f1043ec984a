#include "Builtins.h"

#include "ci/core/Filter.h"
#include "ci/core/Kernel.h"
#include "spatial_support.h"

namespace ci::builtin {

using namespace spatial;

namespace {

const std::vector<std::string> kDistortionCategories = {"CICategoryDistortionEffect", "CICategoryStillImage",
                                                        "CICategoryVideo", "CICategoryBuiltIn"};

bool meets(const Rect& a, const Rect& b) {
    return a.x0 < b.x1 && b.x0 < a.x1 && a.y0 < b.y1 && b.y0 < a.y1;
}

// Source region for a radial effect: outside the square that the effect reads from, a point
// maps to itself.
WarpKernel::Roi radialRoi(Point c, double reach) {
    const Rect square{c.x - reach, c.y - reach, c.x + reach, c.y + reach};
    return [square](const Rect& r) { return meets(r, square) ? r.united(square).grown(1) : r.grown(1); };
}

// A radial warp: `map(dx, dy, r)` returns the source offset from the centre for a point at
// offset (dx, dy), distance r < radius from it; points further out map to themselves.
template <class Map> Image radialWarp(const Image& image, Point c, double radius, double reach, Map map) {
    auto fn = [c, radius, map](const WarpRow& row) {
        const double dy = double(row.y) + 0.5 - c.y;
        for (int i = 0; i < row.count; ++i) {
            const double dx = double(row.x + i) + 0.5 - c.x;
            const double r = std::sqrt(dx * dx + dy * dy);
            double sx = dx, sy = dy;
            if (r < radius)
                map(dx, dy, r, sx, sy);
            row.sx[i] = c.x + sx;
            row.sy[i] = c.y + sy;
        }
    };
    return WarpKernel::apply(fn, image, image.extent(), radialRoi(c, reach));
}

Image bump(const Image& image, Point c, double radius, double scale) {
    if (scale == 0 || !(radius > 0))
        return image;
    const double reach = radius * std::max(1.0, std::abs(1 - scale));
    return radialWarp(image, c, radius, reach,
                      [radius, scale](double dx, double dy, double r, double& sx, double& sy) {
                          const double t = r / radius, q = 1 - t * t;
                          const double f = 1 - scale * q * q;
                          sx = dx * f;
                          sy = dy * f;
                      });
}

Image bumpLinear(const Image& image, Point c, double radius, double angle, double scale) {
    if (scale == 0 || !(radius > 0))
        return image;
    const double ux = std::cos(angle), uy = std::sin(angle);
    auto fn = [c, radius, scale, ux, uy](const WarpRow& row) {
        const double dy = double(row.y) + 0.5 - c.y;
        for (int i = 0; i < row.count; ++i) {
            const double dx = double(row.x + i) + 0.5 - c.x;
            const double along = dx * ux + dy * uy, across = -dx * uy + dy * ux;
            const double t = std::abs(across) / radius;
            double a = across;
            if (t < 1) {
                const double q = 1 - t * t;
                a = across * (1 - scale * q * q);
            }
            row.sx[i] = c.x + along * ux - a * uy;
            row.sy[i] = c.y + along * uy + a * ux;
        }
    };
    const double reach = radius * std::max(1.0, std::abs(scale)) + 1;
    return WarpKernel::apply(fn, image, image.extent(), [reach](const Rect& r) { return r.grown(reach); });
}

Image circularWrap(const Image& image, Point c, double radius, double angle) {
    const Rect e = image.extent();
    if (e.isEmpty() || e.isInfinite())
        return image;
    radius = std::max(radius, 0.0);
    const double W = e.width(), H = e.height(), mid = e.midX();
    // Inside the circle: a point well outside the picture, which samples as transparent.
    const double outX = e.x0 - 4, outY = e.y0 - 4;
    auto fn = [=](const WarpRow& row) {
        const double dy = double(row.y) + 0.5 - c.y;
        for (int i = 0; i < row.count; ++i) {
            const double dx = double(row.x + i) + 0.5 - c.x;
            const double r = std::sqrt(dx * dx + dy * dy);
            if (r < radius) {
                row.sx[i] = outX;
                row.sy[i] = outY;
                continue;
            }
            double psi = std::atan2(dy, dx) - (kPi / 2 + angle);
            psi = psi - 2 * kPi * std::ceil((psi - kPi) / (2 * kPi)); // into (-pi, pi]
            row.sx[i] = mid - psi * W / (2 * kPi);
            row.sy[i] = e.y0 + (r - radius);
        }
    };
    const double half = radius + H;
    return WarpKernel::apply(fn, image, Rect{c.x - half, c.y - half, c.x + half, c.y + half},
                             [e](const Rect&) { return e; });
}

// Shift by the scaled luminance gradient of a second picture (displacement map or texture).
// Each gradient component is kept within [-0.5, 0.5] (its range for luminance in 0..1), so the
// region read never exceeds the declared one.
template <class Lum> void gradientShift(const KernelTile& t, double scale, Lum lum) {
    const Bitmap& src = *t.inputs[0];
    for (int64_t y = t.rect.y0; y < t.rect.y1; ++y) {
        float* o = outPixel(*t.out, t.rect.x0, y);
        const double py = double(y) + 0.5;
        for (int64_t x = t.rect.x0; x < t.rect.x1; ++x, o += 4) {
            const double px = double(x) + 0.5;
            const double gx = std::clamp((lum(px + 1, py) - lum(px - 1, py)) / 2, -0.5, 0.5);
            const double gy = std::clamp((lum(px, py + 1) - lum(px, py - 1)) / 2, -0.5, 0.5);
            src.sample(px + scale * gx, py + scale * gy, o);
        }
    }
}

Image displacement(const Image& image, const Image& map, double scale) {
    if (scale == 0 || image.extent().isEmpty())
        return image;
    auto fn = [scale](const KernelTile& t) {
        const Bitmap& m = *t.inputs[1];
        gradientShift(t, scale, [&m](double x, double y) {
            const float* p = m.pixel(int64_t(std::floor(x)), int64_t(std::floor(y)));
            return p ? double(luma(p)) : 0.0;
        });
    };
    const double reach = std::ceil(0.71 * std::abs(scale)) + 1;
    auto roi = [reach](int k, const Rect& r) { return k == 0 ? r.grown(reach) : r.grown(1); };
    return GeneralKernel::apply(fn, {image, map}, image.extent(), roi);
}

Image glass(const Image& image, const Image& texture, Point c, double scale) {
    const Rect te = texture.extent();
    if (scale == 0 || image.extent().isEmpty() || te.isEmpty())
        return image;
    const bool infinite = te.isInfinite();
    auto fn = [scale, c, te, infinite](const KernelTile& t) {
        const Bitmap& tex = *t.inputs[1];
        const double tw = te.width(), th = te.height();
        gradientShift(t, scale, [&](double x, double y) {
            float v[4];
            if (infinite)
                tex.sample(x - c.x, y - c.y, v);
            else
                tex.sample(te.x0 + fmodPos(x - (c.x - tw / 2), tw), te.y0 + fmodPos(y - (c.y - th / 2), th),
                           v);
            return double(luma(v));
        });
    };
    const double reach = std::ceil(0.71 * std::abs(scale)) + 1;
    auto roi = [reach, te, infinite, c](int k, const Rect& r) {
        if (k == 0)
            return r.grown(reach);
        return infinite ? r.grown(2).translated(-c.x, -c.y) : te;
    };
    return GeneralKernel::apply(fn, {image, texture}, image.extent(), roi);
}

Image hole(const Image& image, Point c, double radius) {
    if (!(radius > 0) || radius == 0.1)
        return image;
    auto fn = [c, radius](const WarpRow& row) {
        const double dy = double(row.y) + 0.5 - c.y;
        const double r2 = radius * radius;
        for (int i = 0; i < row.count; ++i) {
            const double dx = double(row.x + i) + 0.5 - c.x;
            const double r = std::sqrt(dx * dx + dy * dy);
            if (r < radius) {
                row.sx[i] = c.x;
                row.sy[i] = c.y;
            } else {
                const double k = (r - r2 / r) / r;
                row.sx[i] = c.x + dx * k;
                row.sy[i] = c.y + dy * k;
            }
        }
    };
    auto roi = [c](const Rect& r) { return r.united(Rect{c.x, c.y, c.x, c.y}.grown(0.5)).grown(1); };
    return WarpKernel::apply(fn, image, image.extent(), roi);
}

Image pinch(const Image& image, Point c, double radius, double scale) {
    if (scale == 0 || !(radius > 0))
        return image;
    // Above scale 1 the centre reaches arbitrarily far; the stretch is bounded to keep reads finite.
    static constexpr double kMaxStretch = 1e4;
    const double reach = scale > 1 ? radius * kMaxStretch : radius;
    return radialWarp(
        image, c, radius, reach, [radius, scale](double dx, double dy, double r, double& sx, double& sy) {
            if (r == 0) {
                sx = sy = 0;
                return;
            }
            const double f = std::min(std::pow(std::sin(kPi * r / radius / 2), -scale), kMaxStretch);
            sx = dx * f;
            sy = dy * f;
        });
}

Image twirl(const Image& image, Point c, double radius, double angle) {
    if (angle == 0 || !(radius > 0))
        return image;
    return radialWarp(image, c, radius, radius,
                      [radius, angle](double dx, double dy, double r, double& sx, double& sy) {
                          const double u = 1 - r / radius;
                          const double a = angle * u * u;
                          const double ca = std::cos(a), sa = std::sin(a);
                          sx = dx * ca - dy * sa;
                          sy = dx * sa + dy * ca;
                      });
}

InputSpec centerSpec() {
    return vectorInput("inputCenter", Vector{150, 150}, "Center");
}

} // namespace

void registerDistortionFilters() {
    defineBuiltin({"CIBumpDistortion",
                   "Bump Distortion",
                   kDistortionCategories,
                   {imageInput(), centerSpec(),
                    numberSpec("inputRadius", "Radius", 300, 0, 600, 0, {}, attr::TypeDistance),
                    numberSpec("inputScale", "Scale", 0.5, -1, 1, {}, 0)},
                   [](const Inputs& in) -> Image {
                       Image image = in.image("inputImage");
                       if (!image)
                           return {};
                       return bump(image, point(in, "inputCenter"), number(in, "inputRadius", 300),
                                   number(in, "inputScale", 0.5));
                   }});
    defineBuiltin({"CIBumpDistortionLinear",
                   "Bump Distortion Linear",
                   kDistortionCategories,
                   {imageInput(), centerSpec(),
                    numberSpec("inputRadius", "Radius", 300, 0, 600, 0, 0, attr::TypeDistance),
                    numberSpec("inputAngle", "Angle", 0, 0, 2 * kPi, {}, 0, attr::TypeAngle),
                    numberSpec("inputScale", "Scale", 0.5, 0, 1, -1, 1)},
                   [](const Inputs& in) -> Image {
                       Image image = in.image("inputImage");
                       if (!image)
                           return {};
                       return bumpLinear(image, point(in, "inputCenter"), number(in, "inputRadius", 300),
                                         number(in, "inputAngle", 0), number(in, "inputScale", 0.5));
                   }});
    defineBuiltin({"CICircularWrap",
                   "Circular Wrap Distortion",
                   kDistortionCategories,
                   {imageInput(), centerSpec(),
                    numberSpec("inputRadius", "Radius", 150, 0, 600, 0, {}, attr::TypeDistance),
                    numberSpec("inputAngle", "Angle", 0, -kPi, kPi, {}, 0, attr::TypeAngle)},
                   [](const Inputs& in) -> Image {
                       Image image = in.image("inputImage");
                       if (!image)
                           return {};
                       return circularWrap(image, point(in, "inputCenter"),
                                           std::min(number(in, "inputRadius", 150), 1e7),
                                           number(in, "inputAngle", 0));
                   }});
    defineBuiltin({"CIDisplacementDistortion",
                   "Displacement Distortion",
                   kDistortionCategories,
                   {imageInput(), imageInput("inputDisplacementImage", "Displacement Image"),
                    numberSpec("inputScale", "Scale", 50, 0, 200, 0, 0, attr::TypeDistance)},
                   [](const Inputs& in) -> Image {
                       Image image = in.image("inputImage");
                       Image map = in.image("inputDisplacementImage");
                       if (!image || !map)
                           return {};
                       return displacement(image, map, std::clamp(number(in, "inputScale", 50), -1e6, 1e6));
                   }});
    defineBuiltin({"CIGlassDistortion",
                   "Glass Distortion",
                   kDistortionCategories,
                   {imageInput(), imageInput("inputTexture", "Texture"), centerSpec(),
                    numberSpec("inputScale", "Scale", 200, 0.01, 500, 0, 0, attr::TypeDistance)},
                   [](const Inputs& in) -> Image {
                       Image image = in.image("inputImage");
                       Image texture = in.image("inputTexture");
                       if (!image || !texture)
                           return {};
                       return glass(image, texture, point(in, "inputCenter"),
                                    std::clamp(number(in, "inputScale", 200), -1e6, 1e6));
                   }});
    defineBuiltin({"CIHoleDistortion",
                   "Hole Distortion",
                   kDistortionCategories,
                   {imageInput(), centerSpec(),
                    numberSpec("inputRadius", "Radius", 150, 0.01, 1000, 0.01, 0.1, attr::TypeDistance)},
                   [](const Inputs& in) -> Image {
                       Image image = in.image("inputImage");
                       if (!image)
                           return {};
                       return hole(image, point(in, "inputCenter"), number(in, "inputRadius", 150));
                   }});
    defineBuiltin({"CIPinchDistortion",
                   "Pinch Distortion",
                   kDistortionCategories,
                   {imageInput(), centerSpec(),
                    numberSpec("inputRadius", "Radius", 300, 0, 1000, 0, 0, attr::TypeDistance),
                    numberSpec("inputScale", "Scale", 0.5, 0, 2, 0, 0)},
                   [](const Inputs& in) -> Image {
                       Image image = in.image("inputImage");
                       if (!image)
                           return {};
                       return pinch(image, point(in, "inputCenter"), number(in, "inputRadius", 300),
                                    number(in, "inputScale", 0.5));
                   }});
    defineBuiltin({"CITwirlDistortion",
                   "Twirl Distortion",
                   kDistortionCategories,
                   {imageInput(), centerSpec(),
                    numberSpec("inputRadius", "Radius", 300, 0, 500, 0, 300, attr::TypeDistance),
                    numberSpec("inputAngle", "Angle", kPi, -4 * kPi, 4 * kPi, {}, 0, attr::TypeAngle)},
                   [](const Inputs& in) -> Image {
                       Image image = in.image("inputImage");
                       if (!image)
                           return {};
                       return twirl(image, point(in, "inputCenter"), number(in, "inputRadius", 300),
                                    number(in, "inputAngle", kPi));
                   }});
    defineBuiltin(
        {"CIVortexDistortion",
         "Vortex Distortion",
         kDistortionCategories,
         {imageInput(), centerSpec(),
          numberSpec("inputRadius", "Radius", 300, 0, 800, 0, 0, attr::TypeDistance),
          numberSpec("inputAngle", "Angle", 56.548667764616276, -30 * kPi, 30 * kPi, {}, 0, attr::TypeAngle)},
         [](const Inputs& in) -> Image {
             Image image = in.image("inputImage");
             if (!image)
                 return {};
             return twirl(image, point(in, "inputCenter"), number(in, "inputRadius", 300),
                          number(in, "inputAngle", 56.548667764616276));
         }});
}

} // namespace ci::builtin
