#pragma once

// Engine geometry. Origin at the bottom-left, y grows upwards. Pixel (i, j) covers
// [i, i+1) x [j, j+1) and is sampled at its centre (i + 0.5, j + 0.5).

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

namespace ci {

struct Point {
    double x = 0;
    double y = 0;
};

/// Integer pixel rectangle [x0, x1) x [y0, y1).
struct IRect {
    int64_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;

    int64_t width() const { return x1 > x0 ? x1 - x0 : 0; }
    int64_t height() const { return y1 > y0 ? y1 - y0 : 0; }
    /// Pixel count, saturating at INT64_MAX (edges may lie 2^40 from the origin).
    int64_t area() const {
        int64_t a = 0;
        return __builtin_mul_overflow(width(), height(), &a) ? std::numeric_limits<int64_t>::max() : a;
    }
    bool isEmpty() const { return x1 <= x0 || y1 <= y0; }
    IRect intersected(const IRect& o) const;
    IRect united(const IRect& o) const;
    bool contains(const IRect& o) const { return o.x0 >= x0 && o.y0 >= y0 && o.x1 <= x1 && o.y1 <= y1; }
    bool operator==(const IRect&) const = default;
};

/// Real-valued rectangle stored by its edges; any edge may be infinite.
/// An empty rectangle has max <= min on some axis.
struct Rect {
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0;

    /// From origin and size; a negative size is standardised (the rectangle flips).
    static Rect make(double x, double y, double w, double h);
    static Rect infinite();
    static Rect empty() { return Rect{0, 0, 0, 0}; }
    static Rect fromIRect(const IRect& r) {
        return Rect{double(r.x0), double(r.y0), double(r.x1), double(r.y1)};
    }

    double x() const { return x0; }
    double y() const { return y0; }
    double width() const { return x1 > x0 ? x1 - x0 : 0; }
    double height() const { return y1 > y0 ? y1 - y0 : 0; }
    double midX() const { return (x0 + x1) / 2; }
    double midY() const { return (y0 + y1) / 2; }

    bool isEmpty() const { return !(x1 > x0) || !(y1 > y0); }
    /// True when any edge is unbounded (or so large that it stands for unbounded).
    bool isInfinite() const;
    bool contains(const Point& p) const { return p.x >= x0 && p.x < x1 && p.y >= y0 && p.y < y1; }

    Rect intersected(const Rect& o) const;
    Rect united(const Rect& o) const;
    /// Widened by dx on the left and right and dy at the bottom and top (negative shrinks).
    Rect grown(double dx, double dy) const;
    Rect grown(double m) const { return grown(m, m); }
    Rect translated(double dx, double dy) const { return Rect{x0 + dx, y0 + dy, x1 + dx, y1 + dy}; }
    /// Floors the minimum edges and ceils the maximum edges.
    Rect roundedOut() const;
    /// The pixels whose centres lie inside this rectangle. Infinite edges are clipped to
    /// a very large bound so the result stays representable.
    IRect coveredPixels() const;
    /// The pixels that this rectangle touches (rounded out).
    IRect roundedOutPixels() const;

    bool operator==(const Rect&) const = default;
    std::string toString() const;
};

/// Affine transform (a, b, c, d, tx, ty): x' = a x + c y + tx, y' = b x + d y + ty.
struct Affine {
    double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;

    static Affine identity() { return {}; }
    static Affine translation(double x, double y) { return {1, 0, 0, 1, x, y}; }
    static Affine scale(double sx, double sy) { return {sx, 0, 0, sy, 0, 0}; }
    /// Counter-clockwise rotation by angle radians (y up).
    static Affine rotation(double angle);

    Point map(const Point& p) const { return {a * p.x + c * p.y + tx, b * p.x + d * p.y + ty}; }
    /// Bounding box of the four mapped corners; infinite stays infinite.
    Rect mapRect(const Rect& r) const;
    /// This transform followed by next.
    Affine then(const Affine& next) const;
    std::optional<Affine> inverted() const;
    double determinant() const { return a * d - b * c; }
    bool isIdentity() const { return a == 1 && b == 0 && c == 0 && d == 1 && tx == 0 && ty == 0; }
    bool operator==(const Affine&) const = default;
};

} // namespace ci
