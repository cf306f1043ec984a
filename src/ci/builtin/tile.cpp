#include "Builtins.h"

#include "ci/core/Filter.h"
#include "ci/core/Kernel.h"
#include "spatial_support.h"

#include <array>
#include <functional>

namespace ci::builtin {

using namespace spatial;

namespace {

const std::vector<std::string> kTileCategories = {"CICategoryTileEffect", "CICategoryVideo",
                                                  "CICategoryStillImage", "CICategoryBuiltIn"};

const double kSqrt3 = std::sqrt(3.0);

// Folds a point of the rotated local frame into the source cell; false: transparent.
using Fold = std::function<bool(double& x, double& y)>;

// out(p) = I(c + Rot(theta) f(Rot(-theta)(p - c))); reads only the source cell (cellMin..cellMax in
// the local frame), whatever the output rectangle.
Image tiled(const Image& image, Point c, double theta, Fold fold, Point cellMin, Point cellMax) {
    const double ct = std::cos(theta), st = std::sin(theta);
    auto fn = [c, ct, st, fold](const WarpRow& row) {
        const double py = double(row.y) + 0.5 - c.y;
        for (int i = 0; i < row.count; ++i) {
            const double px = double(row.x + i) + 0.5 - c.x;
            double qx = ct * px + st * py, qy = -st * px + ct * py;
            if (!fold(qx, qy)) {
                row.sx[i] = row.sy[i] = NAN; // samples as transparent
                continue;
            }
            row.sx[i] = c.x + ct * qx - st * qy;
            row.sy[i] = c.y + st * qx + ct * qy;
        }
    };
    auto map = [&](double x, double y) { return Point{c.x + ct * x - st * y, c.y + st * x + ct * y}; };
    const Rect cell = boundingBox({map(cellMin.x, cellMin.y), map(cellMax.x, cellMin.y),
                                   map(cellMin.x, cellMax.y), map(cellMax.x, cellMax.y)})
                          .grown(1);
    return WarpKernel::apply(fn, image, Rect::infinite(), [cell](const Rect&) { return cell; });
}

Image transparentPlane() {
    return Image::constant(0, 0, 0, 0);
}

struct TileParams {
    Point c;
    double theta, w, alpha;
};

TileParams params(const Inputs& in) {
    return {point(in, "inputCenter"), number(in, "inputAngle", 0), number(in, "inputWidth", 100),
            number(in, "inputAcuteAngle", kPi / 2)};
}

bool usableWidth(double w) {
    return w > 1e-6 && w < 1e12;
}

// The acute-angle lattice: e1 = (w, 0), e2 = w (cos alpha, sin alpha).
Image lattice(const Image& image, const TileParams& p, bool mirrorU, bool mirrorV) {
    const double w = p.w, ca = std::cos(p.alpha), sa = std::sin(p.alpha);
    if (!usableWidth(w) || std::abs(sa) < 1e-6)
        return transparentPlane();
    Fold fold = [w, ca, sa, mirrorU, mirrorV](double& x, double& y) {
        const double v = y / (w * sa), u = (x - v * w * ca) / w;
        const double fu = mirrorU ? mirror(u) : fract(u), fv = mirrorV ? mirror(v) : fract(v);
        x = w * (fu + fv * ca);
        y = w * fv * sa;
        return true;
    };
    const double xs[4] = {0, w, w * ca, w + w * ca}, ys[2] = {std::min(0.0, w * sa), std::max(0.0, w * sa)};
    return tiled(image, p.c, p.theta, fold, {*std::min_element(xs, xs + 4), ys[0]},
                 {*std::max_element(xs, xs + 4), ys[1]});
}

// Hexagon (flat top, side w) around q: returns q relative to its centre.
void hexLocal(double& x, double& y, double w) {
    const double a = (2.0 / 3.0) * x / w, b = (-x / 3 + kSqrt3 / 3 * y) / w, cc = -a - b;
    double ra = std::round(a), rb = std::round(b), rc = std::round(cc);
    const double da = std::abs(ra - a), db = std::abs(rb - b), dc = std::abs(rc - cc);
    if (da > db && da > dc)
        ra = -rb - rc;
    else if (db > dc)
        rb = -ra - rc;
    x -= 1.5 * w * ra;
    y -= kSqrt3 * w * (rb + ra / 2);
}

Image sixfold(const Image& image, const TileParams& p, bool reflect) {
    const double w = p.w;
    if (!usableWidth(w))
        return transparentPlane();
    Fold fold = [w, reflect](double& x, double& y) {
        hexLocal(x, y, w);
        const double psi = std::atan2(y, x);
        const double k = std::floor(psi / (kPi / 3));
        if (reflect) {
            double beta = psi - k * kPi / 3;
            if (int64_t(k) % 2 != 0)
                beta = kPi / 3 - beta;
            const double r = std::hypot(x, y);
            x = r * std::cos(beta);
            y = r * std::sin(beta);
        } else {
            const double a = -k * kPi / 3, ca = std::cos(a), sa = std::sin(a);
            const double nx = x * ca - y * sa, ny = x * sa + y * ca;
            x = nx;
            y = ny;
        }
        return true;
    };
    return tiled(image, p.c, p.theta, fold, {0, 0}, {w, w * kSqrt3 / 2});
}

std::vector<InputSpec> tileInputs(bool acute) {
    std::vector<InputSpec> v = {imageInput(), vectorInput("inputCenter", Vector{150, 150}, "Center"),
                                numberSpec("inputAngle", "Angle", 0, -kPi, kPi, {}, 0, attr::TypeAngle)};
    if (acute)
        v.push_back(
            numberSpec("inputAcuteAngle", "Acute Angle", kPi / 2, -kPi, kPi, {}, kPi / 2, attr::TypeAngle));
    v.push_back(numberSpec("inputWidth", "Width", 100, 1, 200, 0, 100, attr::TypeDistance));
    return v;
}

void defineTile(const char* name, const char* display, bool acute,
                std::function<Image(const Image&, const TileParams&)> make) {
    defineBuiltin({name, display, kTileCategories, tileInputs(acute), [make](const Inputs& in) -> Image {
                       Image image = in.image("inputImage");
                       if (!image)
                           return {};
                       if (image.extent().isEmpty())
                           return transparentPlane();
                       return make(image, params(in));
                   }});
}

Image kaleidoscope(const Image& image, Point c, double angle, double count) {
    if (!(count > 0) || count > 1e6)
        count = 1;
    const double b = kPi / count;
    auto fn = [c, angle, b](const WarpRow& row) {
        const double dy = double(row.y) + 0.5 - c.y;
        for (int i = 0; i < row.count; ++i) {
            const double dx = double(row.x + i) + 0.5 - c.x;
            const double r = std::hypot(dx, dy);
            const double m = fmodPos(std::atan2(dy, dx) - angle, 2 * b);
            const double psi = (m <= b ? m : 2 * b - m) + angle;
            row.sx[i] = c.x + r * std::cos(psi);
            row.sy[i] = c.y + r * std::sin(psi);
        }
    };
    auto roi = [c](const Rect& r) {
        const double mx = std::max(std::abs(r.x0 - c.x), std::abs(r.x1 - c.x));
        const double my = std::max(std::abs(r.y0 - c.y), std::abs(r.y1 - c.y));
        const double rmax = std::hypot(mx, my);
        return Rect{c.x - rmax, c.y - rmax, c.x + rmax, c.y + rmax}.grown(1);
    };
    return WarpKernel::apply(fn, image, Rect::infinite(), roi);
}

Image triangleKaleidoscope(const Image& image, Point P, double size, double rotation, double decay) {
    if (!(size > 1e-6) || size > 1e12)
        return transparentPlane();
    struct Edge {
        double nx, ny, d; // inward unit normal and offset: signed distance = n . p - d
    };
    Point v[3];
    for (int k = 0; k < 3; ++k) {
        const double a = rotation + kPi / 2 + 2 * kPi * k / 3;
        v[k] = {P.x + size / kSqrt3 * std::cos(a), P.y + size / kSqrt3 * std::sin(a)};
    }
    std::array<Edge, 3> edges;
    for (int k = 0; k < 3; ++k) {
        const Point a = v[k], b = v[(k + 1) % 3];
        double nx = -(b.y - a.y), ny = b.x - a.x;
        const double len = std::hypot(nx, ny);
        nx /= len;
        ny /= len;
        if (nx * (P.x - a.x) + ny * (P.y - a.y) < 0) {
            nx = -nx;
            ny = -ny;
        }
        edges[k] = {nx, ny, nx * a.x + ny * a.y};
    }
    // Reflects a point into the triangle; the number of reflections, or -1 when 32 do not suffice.
    auto foldPoint = [edges](double& x, double& y) -> int {
        for (int n = 0; n <= 32; ++n) {
            int worst = -1;
            double wd = 0;
            for (int k = 0; k < 3; ++k) {
                const double s = edges[k].nx * x + edges[k].ny * y - edges[k].d;
                if (s < wd) {
                    wd = s;
                    worst = k;
                }
            }
            if (worst < 0)
                return n;
            if (n == 32)
                break;
            x -= 2 * wd * edges[worst].nx;
            y -= 2 * wd * edges[worst].ny;
        }
        return -1;
    };
    const Rect cell = boundingBox({v[0], v[1], v[2]}).grown(1);
    const float fdecay = float(decay);
    auto fn = [foldPoint, fdecay](const KernelTile& t) {
        const Bitmap& src = *t.inputs[0];
        for (int64_t y = t.rect.y0; y < t.rect.y1; ++y) {
            float* o = outPixel(*t.out, t.rect.x0, y);
            for (int64_t x = t.rect.x0; x < t.rect.x1; ++x, o += 4) {
                double sx = double(x) + 0.5, sy = double(y) + 0.5;
                const int n = foldPoint(sx, sy);
                if (n < 0) {
                    o[0] = o[1] = o[2] = o[3] = 0;
                    continue;
                }
                src.sample(sx, sy, o);
                // Bounded so that a huge decay cannot overflow into infinities.
                const float k = float(std::clamp(std::pow(double(fdecay), n), -1e30, 1e30));
                for (int ch = 0; ch < 4; ++ch)
                    o[ch] *= k;
            }
        }
    };
    return GeneralKernel::apply(fn, {image}, Rect::infinite(), [cell](int, const Rect&) { return cell; });
}

} // namespace

void registerTileFilters() {
    defineTile("CIEightfoldReflectedTile", "Eightfold Reflected Tile", false,
               [](const Image& img, const TileParams& p) {
                   const double w = p.w;
                   if (!usableWidth(w))
                       return transparentPlane();
                   return tiled(img, p.c, p.theta,
                                [w](double& x, double& y) {
                                    double a = w * mirror(x / w), b = w * mirror(y / w);
                                    if (b > a)
                                        std::swap(a, b);
                                    x = a;
                                    y = b;
                                    return true;
                                },
                                {0, 0}, {w, w});
               });
    defineTile("CIFourfoldReflectedTile", "Fourfold Reflected Tile", true,
               [](const Image& img, const TileParams& p) { return lattice(img, p, true, true); });
    defineTile(
        "CIFourfoldRotatedTile", "Fourfold Rotated Tile", false, [](const Image& img, const TileParams& p) {
            const double w = p.w;
            if (!usableWidth(w))
                return transparentPlane();
            return tiled(img, p.c, p.theta,
                         [w](double& x, double& y) {
                             const double gx = fmodPos(x + w, 2 * w) - w, gy = fmodPos(y + w, 2 * w) - w;
                             if (gx >= 0 && gy >= 0) {
                                 x = gx, y = gy;
                             } else if (gx < 0 && gy >= 0) {
                                 x = gy, y = -gx;
                             } else if (gx < 0 && gy < 0) {
                                 x = -gx, y = -gy;
                             } else {
                                 x = -gy, y = gx;
                             }
                             return true;
                         },
                         {0, 0}, {w, w});
        });
    defineTile("CIFourfoldTranslatedTile", "Fourfold Translated Tile", true,
               [](const Image& img, const TileParams& p) { return lattice(img, p, false, false); });
    defineTile("CIGlideReflectedTile", "Glide Reflected Tile", false,
               [](const Image& img, const TileParams& p) {
                   const double w = p.w;
                   if (!usableWidth(w))
                       return transparentPlane();
                   return tiled(img, p.c, p.theta,
                                [w](double& x, double& y) {
                                    const double i = std::floor(x / w);
                                    const double fx = w * fract(x / w);
                                    double fy = w * fract(y / w);
                                    if (std::fmod(std::abs(i), 2.0) == 1)
                                        fy = w - fy;
                                    x = fx;
                                    y = fy;
                                    return true;
                                },
                                {0, 0}, {w, w});
               });
    defineTile("CIParallelogramTile", "Parallelogram Tile", true,
               [](const Image& img, const TileParams& p) { return lattice(img, p, true, false); });
    defineTile("CISixfoldReflectedTile", "Sixfold Reflected Tile", false,
               [](const Image& img, const TileParams& p) { return sixfold(img, p, true); });
    defineTile("CISixfoldRotatedTile", "Sixfold Rotated Tile", false,
               [](const Image& img, const TileParams& p) { return sixfold(img, p, false); });
    defineTile("CITriangleTile", "Triangle Tile", false, [](const Image& img, const TileParams& p) {
        const double w = p.w;
        if (!usableWidth(w))
            return transparentPlane();
        return tiled(img, p.c, p.theta,
                     [w](double& x, double& y) {
                         const double h = w * kSqrt3 / 2;
                         const double v = y / h, u = x / w - v / 2;
                         double a = fract(u), b = fract(v);
                         if (a + b > 1) {
                             a = 1 - a;
                             b = 1 - b;
                         }
                         x = a * w + b * w / 2;
                         y = b * h;
                         return true;
                     },
                     {0, 0}, {w, w * kSqrt3 / 2});
    });

    defineBuiltin({"CIKaleidoscope",
                   "Kaleidoscope",
                   kTileCategories,
                   {imageInput(), numberSpec("inputCount", "Count", 6, 1, 64, 1),
                    vectorInput("inputCenter", Vector{150, 150}, "Center"),
                    numberSpec("inputAngle", "Angle", 0, -kPi, kPi, {}, 0, attr::TypeAngle)},
                   [](const Inputs& in) -> Image {
                       Image image = in.image("inputImage");
                       if (!image)
                           return {};
                       if (image.extent().isEmpty())
                           return transparentPlane();
                       return kaleidoscope(image, point(in, "inputCenter"), number(in, "inputAngle", 0),
                                           number(in, "inputCount", 6));
                   }});
    defineBuiltin(
        {"CITriangleKaleidoscope",
         "Triangle Kaleidoscope",
         kTileCategories,
         {imageInput(), vectorInput("inputPoint", Vector{150, 150}, "Point"),
          numberSpec("inputSize", "Size", 700, 0, 1000, {}, {}, attr::TypeDistance),
          numberSpec("inputRotation", "Rotation", 5.924285296593801, 0, 2 * kPi, {}, {}, attr::TypeAngle),
          numberSpec("inputDecay", "Decay", 0.85, 0, 1)},
         [](const Inputs& in) -> Image {
             Image image = in.image("inputImage");
             if (!image)
                 return {};
             if (image.extent().isEmpty())
                 return transparentPlane();
             return triangleKaleidoscope(image, point(in, "inputPoint"), number(in, "inputSize", 700),
                                         number(in, "inputRotation", 5.924285296593801),
                                         number(in, "inputDecay", 0.85));
         }});
}

} // namespace ci::builtin
