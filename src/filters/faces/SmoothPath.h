#pragma once

// Smooth closed outlines through landmark points, and white masks of such outlines.

#include "ci/core/Geometry.h"
#include "ci/core/Image.h"

#include <QPainterPath>

#include <string>
#include <vector>

namespace filters::faces {

/// A path of straight and cubic segments in image pixel coordinates (y upwards).
class BezierPath {
  public:
    enum class Kind { MoveTo, LineTo, CurveTo, Close };
    struct Element {
        Kind kind;
        /// MoveTo and LineTo: the point; CurveTo: control 1, control 2, end point.
        ci::Point points[3];
    };

    void moveTo(ci::Point p);
    void lineTo(ci::Point p);
    void curveTo(ci::Point end, ci::Point control1, ci::Point control2);
    /// A quadratic segment, sent as the equivalent cubic one.
    void quadCurveTo(ci::Point end, ci::Point control);
    void close();
    void append(const BezierPath& other);

    /// A Catmull-Rom curve through the points (half-chord tangents; the end segments use their
    /// own chord). Fewer than two points add nothing.
    void addSmoothCurve(const std::vector<ci::Point>& points);

    const std::vector<Element>& elements() const { return elements_; }
    bool isEmpty() const { return elements_.empty(); }
    /// The same path for the rasteriser, in the same coordinates.
    QPainterPath painterPath() const;
    std::string describe() const;

  private:
    std::vector<Element> elements_;
    ci::Point current_{0, 0};
};

/// One closed smooth subpath per non-empty list (through its points and back to the first);
/// its description goes to the console.
BezierPath smoothPath(const std::vector<std::vector<ci::Point>>& regions);

/// A width x height image at the origin, opaque white where the path is filled (non-zero rule,
/// smooth edges), transparent black elsewhere. Null for sizes that are not finite or do not make
/// at least one pixel.
ci::Image maskImage(const BezierPath& path, double width, double height);

} // namespace filters::faces
