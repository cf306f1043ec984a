#include "Geometry.h"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace ci {

namespace {
// Edges beyond this stand for "unbounded" (the platform's infinite rectangles use values near
// the largest double; a finite pixel grid never comes close).
constexpr double kInfiniteEdge = 1e300;
// Pixel indices are clipped here so that infinite rectangles stay representable.
constexpr double kPixelLimit = double(int64_t(1) << 40);

int64_t clipPixel(double v) {
    return int64_t(std::clamp(v, -kPixelLimit, kPixelLimit));
}
} // namespace

IRect IRect::intersected(const IRect& o) const {
    IRect r{std::max(x0, o.x0), std::max(y0, o.y0), std::min(x1, o.x1), std::min(y1, o.y1)};
    if (r.isEmpty())
        return IRect{};
    return r;
}

IRect IRect::united(const IRect& o) const {
    if (isEmpty())
        return o;
    if (o.isEmpty())
        return *this;
    return IRect{std::min(x0, o.x0), std::min(y0, o.y0), std::max(x1, o.x1), std::max(y1, o.y1)};
}

Rect Rect::make(double x, double y, double w, double h) {
    if (w < 0) {
        x += w;
        w = -w;
    }
    if (h < 0) {
        y += h;
        h = -h;
    }
    return Rect{x, y, x + w, y + h};
}

Rect Rect::infinite() {
    const double inf = std::numeric_limits<double>::infinity();
    return Rect{-inf, -inf, inf, inf};
}

bool Rect::isInfinite() const {
    return !(std::fabs(x0) < kInfiniteEdge) || !(std::fabs(y0) < kInfiniteEdge) ||
           !(std::fabs(x1) < kInfiniteEdge) || !(std::fabs(y1) < kInfiniteEdge);
}

Rect Rect::intersected(const Rect& o) const {
    Rect r{std::max(x0, o.x0), std::max(y0, o.y0), std::min(x1, o.x1), std::min(y1, o.y1)};
    if (r.isEmpty())
        return empty();
    return r;
}

Rect Rect::united(const Rect& o) const {
    if (isEmpty())
        return o;
    if (o.isEmpty())
        return *this;
    return Rect{std::min(x0, o.x0), std::min(y0, o.y0), std::max(x1, o.x1), std::max(y1, o.y1)};
}

Rect Rect::grown(double dx, double dy) const {
    if (isEmpty())
        return *this;
    Rect r{x0 - dx, y0 - dy, x1 + dx, y1 + dy};
    return r.isEmpty() ? empty() : r;
}

Rect Rect::roundedOut() const {
    if (isEmpty())
        return empty();
    return Rect{std::floor(x0), std::floor(y0), std::ceil(x1), std::ceil(y1)};
}

IRect Rect::coveredPixels() const {
    if (isEmpty())
        return IRect{};
    // Pixel i is covered when x0 <= i + 0.5 < x1.
    IRect r{clipPixel(std::ceil(x0 - 0.5)), clipPixel(std::ceil(y0 - 0.5)), clipPixel(std::ceil(x1 - 0.5)),
            clipPixel(std::ceil(y1 - 0.5))};
    return r.isEmpty() ? IRect{} : r;
}

IRect Rect::roundedOutPixels() const {
    if (isEmpty())
        return IRect{};
    IRect r{clipPixel(std::floor(x0)), clipPixel(std::floor(y0)), clipPixel(std::ceil(x1)),
            clipPixel(std::ceil(y1))};
    return r.isEmpty() ? IRect{} : r;
}

std::string Rect::toString() const {
    std::ostringstream s;
    s << "(" << x0 << ", " << y0 << ", " << width() << ", " << height() << ")";
    return s.str();
}

Affine Affine::rotation(double angle) {
    const double c = std::cos(angle), s = std::sin(angle);
    return {c, s, -s, c, 0, 0};
}

Rect Affine::mapRect(const Rect& r) const {
    if (r.isEmpty())
        return Rect::empty();
    if (r.isInfinite()) {
        // Only axis-preserving maps keep a half-infinite rectangle bounded on its finite sides.
        if (b == 0 && c == 0 && a != 0 && d != 0) {
            double xs[2] = {a * r.x0 + tx, a * r.x1 + tx};
            double ys[2] = {d * r.y0 + ty, d * r.y1 + ty};
            return Rect{std::min(xs[0], xs[1]), std::min(ys[0], ys[1]), std::max(xs[0], xs[1]),
                        std::max(ys[0], ys[1])};
        }
        return Rect::infinite();
    }
    const Point p[4] = {map({r.x0, r.y0}), map({r.x1, r.y0}), map({r.x0, r.y1}), map({r.x1, r.y1})};
    Rect out{p[0].x, p[0].y, p[0].x, p[0].y};
    for (const Point& q : p) {
        out.x0 = std::min(out.x0, q.x);
        out.y0 = std::min(out.y0, q.y);
        out.x1 = std::max(out.x1, q.x);
        out.y1 = std::max(out.y1, q.y);
    }
    return out;
}

Affine Affine::then(const Affine& n) const {
    return {a * n.a + b * n.c, a * n.b + b * n.d,          c * n.a + d * n.c,
            c * n.b + d * n.d, tx * n.a + ty * n.c + n.tx, tx * n.b + ty * n.d + n.ty};
}

std::optional<Affine> Affine::inverted() const {
    const double det = determinant();
    if (det == 0 || !std::isfinite(det))
        return std::nullopt;
    const double ia = d / det, ib = -b / det, ic = -c / det, id = a / det;
    return Affine{ia, ib, ic, id, -(ia * tx + ic * ty), -(ib * tx + id * ty)};
}

} // namespace ci
