#include "filters/faces/SmoothPath.h"

#include "ci/core/Console.h"
#include "filters/actions/ActionFilter.h"

#include <QImage>
#include <QPainter>

#include <cmath>
#include <sstream>

namespace filters::faces {

namespace {

ci::Point operator+(ci::Point a, ci::Point b) {
    return {a.x + b.x, a.y + b.y};
}
ci::Point operator-(ci::Point a, ci::Point b) {
    return {a.x - b.x, a.y - b.y};
}
ci::Point operator*(ci::Point a, double f) {
    return {a.x * f, a.y * f};
}

// Masks beyond this many pixels are refused rather than allocated.
constexpr double kMaxMaskPixels = double(1) * (1 << 30);

} // namespace

void BezierPath::moveTo(ci::Point p) {
    elements_.push_back({Kind::MoveTo, {p, {}, {}}});
    current_ = p;
}

void BezierPath::lineTo(ci::Point p) {
    elements_.push_back({Kind::LineTo, {p, {}, {}}});
    current_ = p;
}

void BezierPath::curveTo(ci::Point end, ci::Point control1, ci::Point control2) {
    elements_.push_back({Kind::CurveTo, {control1, control2, end}});
    current_ = end;
}

void BezierPath::quadCurveTo(ci::Point end, ci::Point control) {
    curveTo(end, current_ + (control - current_) * (2.0 / 3.0), end + (control - end) * (2.0 / 3.0));
}

void BezierPath::close() {
    elements_.push_back({Kind::Close, {}});
}

void BezierPath::append(const BezierPath& other) {
    elements_.insert(elements_.end(), other.elements_.begin(), other.elements_.end());
    current_ = other.current_;
}

void BezierPath::addSmoothCurve(const std::vector<ci::Point>& p) {
    const size_t k = p.size();
    if (k < 2)
        return;
    moveTo(p[0]);
    for (size_t i = 1; i < k; ++i) {
        const ci::Point a = p[i - 1], b = p[i];
        const ci::Point tA = (i >= 2 ? b - p[i - 2] : b - a) * 0.5;
        const ci::Point tB = (i + 1 < k ? p[i + 1] - a : b - a) * 0.5;
        curveTo(b, a + tA * (1.0 / 3.0), b - tB * (1.0 / 3.0));
    }
}

QPainterPath BezierPath::painterPath() const {
    QPainterPath path;
    path.setFillRule(Qt::WindingFill);
    for (const Element& e : elements_) {
        switch (e.kind) {
        case Kind::MoveTo:
            path.moveTo(e.points[0].x, e.points[0].y);
            break;
        case Kind::LineTo:
            path.lineTo(e.points[0].x, e.points[0].y);
            break;
        case Kind::CurveTo:
            path.cubicTo(e.points[0].x, e.points[0].y, e.points[1].x, e.points[1].y, e.points[2].x,
                         e.points[2].y);
            break;
        case Kind::Close:
            path.closeSubpath();
            break;
        }
    }
    return path;
}

std::string BezierPath::describe() const {
    std::ostringstream out;
    out << "Path {";
    for (const Element& e : elements_) {
        switch (e.kind) {
        case Kind::MoveTo:
            out << " moveto (" << e.points[0].x << ", " << e.points[0].y << ")";
            break;
        case Kind::LineTo:
            out << " lineto (" << e.points[0].x << ", " << e.points[0].y << ")";
            break;
        case Kind::CurveTo:
            out << " curveto (" << e.points[2].x << ", " << e.points[2].y << ")";
            break;
        case Kind::Close:
            out << " closepath";
            break;
        }
    }
    out << " }";
    return out.str();
}

BezierPath smoothPath(const std::vector<std::vector<ci::Point>>& regions) {
    BezierPath path;
    for (const auto& region : regions) {
        if (region.empty())
            continue;
        std::vector<ci::Point> loop = region;
        loop.push_back(region.front());
        BezierPath outline;
        outline.addSmoothCurve(loop);
        outline.close();
        path.append(outline);
    }
    ci::console(path.describe());
    return path;
}

ci::Image maskImage(const BezierPath& path, double width, double height) {
    const std::optional<int64_t> w = actions::wholeNumber(width), h = actions::wholeNumber(height);
    if (!w || !h)
        return {};
    if (*w <= 0 || *h <= 0 || double(*w) * double(*h) > kMaxMaskPixels) {
        ci::console("Could not create CG context");
        return {};
    }
    QImage canvas(int(*w), int(*h), QImage::Format_RGBA8888_Premultiplied);
    if (canvas.isNull()) {
        ci::console("Could not create CG context");
        return {};
    }
    canvas.fill(Qt::transparent);
    {
        QPainter painter(&canvas);
        painter.setRenderHint(QPainter::Antialiasing);
        // The picture's rows run top down; the path's y runs upwards.
        painter.translate(0, double(*h));
        painter.scale(1, -1);
        painter.fillPath(path.painterPath(), Qt::white);
    }
    return actions::engineImage(canvas);
}

} // namespace filters::faces
