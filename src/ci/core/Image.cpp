#include "Image.h"

#include "Node.h"
#include "Value.h"

#include <algorithm>
#include <cmath>

namespace ci {

Node::~Node() {
    std::vector<Image> pending = std::move(inputs);
    while (!pending.empty()) {
        Image last = std::move(pending.back());
        pending.pop_back();
        // The last owner of an input takes its inputs over before letting it go, so no node
        // dies with inputs of its own. Nodes are made mutable and shared as const.
        if (last.node().use_count() == 1) {
            auto& owned = const_cast<Node&>(*last.node()).inputs;
            for (Image& in : owned)
                pending.push_back(std::move(in));
            owned.clear();
        }
    }
}

Rect Node::roi(int k, const Rect& r) const {
    switch (kind) {
    case NodeKind::Source:
    case NodeKind::Constant:
        return Rect::empty();
    case NodeKind::Crop:
        return r.intersected(cropRect);
    case NodeKind::Color:
        return r;
    case NodeKind::Transform:
        return inverse.mapRect(r).grown(1);
    case NodeKind::Clamp: {
        const Rect e = inputs[0].extent();
        if (e.isEmpty())
            return Rect::empty();
        auto cx = [&](double v) { return std::clamp(v, e.x0 + 0.5, std::max(e.x0 + 0.5, e.x1 - 0.5)); };
        auto cy = [&](double v) { return std::clamp(v, e.y0 + 0.5, std::max(e.y0 + 0.5, e.y1 - 0.5)); };
        // Built from the clamped edges directly: for a one-pixel-thin input the clamped
        // rectangle has no area, yet its neighbourhood is needed.
        return Rect{cx(r.x0) - 1, cy(r.y0) - 1, cx(r.x1) + 1, cy(r.y1) + 1}.intersected(e);
    }
    case NodeKind::Warp:
        return warpRoi ? warpRoi(r) : Rect::infinite();
    case NodeKind::General:
        return generalRoi ? generalRoi(k, r) : Rect::infinite();
    }
    return Rect::empty();
}

Image Image::fromBitmap(Bitmap bitmap) {
    return fromBitmap(std::make_shared<const Bitmap>(std::move(bitmap)));
}

Image Image::fromBitmap(std::shared_ptr<const Bitmap> bitmap) {
    auto n = std::make_shared<Node>();
    n->kind = NodeKind::Source;
    n->extent = Rect::fromIRect(bitmap->rect());
    n->bitmap = std::move(bitmap);
    return Image(std::move(n));
}

Image Image::fromPixels(std::shared_ptr<const CompactPixels> pixels) {
    auto n = std::make_shared<Node>();
    n->kind = NodeKind::Source;
    n->extent = Rect::fromIRect(pixels->rect());
    n->compact = std::move(pixels);
    return Image(std::move(n));
}

Image Image::constant(float r, float g, float b, float a) {
    auto n = std::make_shared<Node>();
    n->kind = NodeKind::Constant;
    n->extent = Rect::infinite();
    n->color = {r, g, b, a};
    return Image(std::move(n));
}

Image Image::empty() {
    auto n = std::make_shared<Node>();
    n->kind = NodeKind::Constant;
    n->extent = Rect::empty();
    return Image(std::move(n));
}

Rect Image::extent() const {
    return node_ ? node_->extent : Rect::empty();
}

Image Image::cropped(const Rect& rect) const {
    if (!node_)
        return Image();
    const Rect e = node_->extent.intersected(rect);
    if (e.isEmpty())
        return empty();
    if (e == node_->extent)
        return *this;
    auto n = std::make_shared<Node>();
    n->kind = NodeKind::Crop;
    n->extent = e;
    n->cropRect = e;
    n->inputs = {*this};
    return Image(std::move(n));
}

namespace {

// The halving of a tile whose source pixels all lie in the input: straight through the rows,
// adding in the same order as the general case below, so the sums are the same.
template <int FX, int FY> void halveInside(const Bitmap& src, const KernelTile& t) {
    constexpr float norm = 1.0f / float(FX * FY);
    const int64_t n = t.rect.width();
    for (int64_t y = t.rect.y0; y < t.rect.y1; ++y) {
        float* o = t.out->pixel(t.rect.x0, y);
        const float* r0 = src.pixel(t.rect.x0 * FX, y * FY);
        const float* r1 = FY == 2 ? src.pixel(t.rect.x0 * FX, y * FY + 1) : r0;
        for (int64_t i = 0; i < n; ++i, o += 4, r0 += 4 * FX, r1 += 4 * FX)
            for (int c = 0; c < 4; ++c) {
                float acc = r0[c];
                if constexpr (FX == 2)
                    acc += r0[4 + c];
                if constexpr (FY == 2) {
                    acc += r1[c];
                    if constexpr (FX == 2)
                        acc += r1[4 + c];
                }
                o[c] = acc * norm;
            }
    }
}

// Halves the image along x and/or y by averaging pixel pairs: the pre-filter for strong
// reductions, so a bilinear sample never skips source pixels.
Image halved(const Image& in, bool alongX, bool alongY) {
    const int fx = alongX ? 2 : 1, fy = alongY ? 2 : 1;
    const Rect e = in.extent();
    const Rect out{e.x0 / fx, e.y0 / fy, e.x1 / fx, e.y1 / fy};
    auto roi = [fx, fy](int, const Rect& r) {
        return Rect{r.x0 * fx, r.y0 * fy, r.x1 * fx, r.y1 * fy}.roundedOut();
    };
    auto fn = [fx, fy](const KernelTile& t) {
        const Bitmap& src = *t.inputs[0];
        const float norm = 1.0f / float(fx * fy);
        if (src.rect().contains(IRect{t.rect.x0 * fx, t.rect.y0 * fy, t.rect.x1 * fx, t.rect.y1 * fy})) {
            if (fx == 2 && fy == 2)
                halveInside<2, 2>(src, t);
            else if (fx == 2)
                halveInside<2, 1>(src, t);
            else
                halveInside<1, 2>(src, t);
            return;
        }
        for (int64_t y = t.rect.y0; y < t.rect.y1; ++y) {
            float* o = t.out->pixel(t.rect.x0, y);
            for (int64_t x = t.rect.x0; x < t.rect.x1; ++x, o += 4) {
                float acc[4] = {0, 0, 0, 0}, p[4];
                for (int j = 0; j < fy; ++j)
                    for (int i = 0; i < fx; ++i) {
                        src.read(x * fx + i, y * fy + j, p);
                        for (int c = 0; c < 4; ++c)
                            acc[c] += p[c];
                    }
                for (int c = 0; c < 4; ++c)
                    o[c] = acc[c] * norm;
            }
        }
    };
    return GeneralKernel::apply(fn, {in}, out, roi);
}

} // namespace

Image Image::transformed(const Affine& t) const {
    if (!node_)
        return Image();
    if (t.isIdentity())
        return *this;
    auto inv = t.inverted();
    if (!inv)
        return empty();
    if (node_->extent.isEmpty())
        return empty();
    Image src = *this;
    Affine m = t;
    // Reduce by two until no axis shrinks by more than half.
    if (!node_->extent.isInfinite()) {
        for (int guard = 0; guard < 64; ++guard) {
            const double sx = std::hypot(m.a, m.b), sy = std::hypot(m.c, m.d);
            const bool rx = sx < 0.5, ry = sy < 0.5;
            if (!rx && !ry)
                break;
            src = halved(src, rx, ry);
            m = Affine::scale(rx ? 2 : 1, ry ? 2 : 1).then(m);
        }
        inv = m.inverted();
        if (!inv)
            return empty();
    }
    auto n = std::make_shared<Node>();
    n->kind = NodeKind::Transform;
    n->extent = m.mapRect(src.extent());
    n->transform = m;
    n->inverse = *inv;
    n->inputs = {src};
    return Image(std::move(n));
}

Image Image::clampedToExtent() const {
    if (!node_)
        return Image();
    if (node_->extent.isInfinite() || node_->extent.isEmpty())
        return *this;
    auto n = std::make_shared<Node>();
    n->kind = NodeKind::Clamp;
    n->extent = Rect::infinite();
    // On whole pixels the clamp repeats edge pixels exactly and can run fused with its input.
    n->pixelAligned = node_->extent == node_->extent.roundedOut();
    n->inputs = {*this};
    return Image(std::move(n));
}

Image Image::composited(const Image& background) const {
    if (!node_ || background.isNull())
        return Image();
    auto over = [](const ColorRow& r) {
        const float* s = r.in[0];
        const float* d = r.in[1];
        for (int i = 0; i < r.count * 4; i += 4) {
            const float k = 1.f - s[i + 3];
            r.out[i] = s[i] + d[i] * k;
            r.out[i + 1] = s[i + 1] + d[i + 1] * k;
            r.out[i + 2] = s[i + 2] + d[i + 2] * k;
            r.out[i + 3] = s[i + 3] + d[i + 3] * k;
        }
    };
    return ColorKernel::apply(over, {*this, background});
}

// ---- Kernels ------------------------------------------------------------------------------

Image ColorKernel::apply(Function fn, std::vector<Image> inputs, const Rect& extent) {
    for (const Image& i : inputs)
        if (i.isNull())
            return Image();
    auto n = std::make_shared<Node>();
    n->kind = NodeKind::Color;
    n->extent = extent.isEmpty() ? Rect::empty() : extent;
    n->colorFn = std::move(fn);
    n->inputs = std::move(inputs);
    return Image(std::move(n));
}

Image ColorKernel::apply(Function fn, std::vector<Image> inputs) {
    Rect e = Rect::empty();
    for (const Image& i : inputs)
        e = e.united(i.extent());
    if (inputs.empty())
        e = Rect::infinite();
    return apply(std::move(fn), std::move(inputs), e);
}

Image WarpKernel::apply(Function fn, const Image& input, const Rect& extent, Roi roi) {
    if (input.isNull())
        return Image();
    auto n = std::make_shared<Node>();
    n->kind = NodeKind::Warp;
    n->extent = extent.isEmpty() ? Rect::empty() : extent;
    n->warpFn = std::move(fn);
    n->warpRoi = std::move(roi);
    n->inputs = {input};
    return Image(std::move(n));
}

Image GeneralKernel::apply(Function fn, std::vector<Image> inputs, const Rect& extent, Roi roi,
                           bool tileable) {
    for (const Image& i : inputs)
        if (i.isNull())
            return Image();
    auto n = std::make_shared<Node>();
    n->kind = NodeKind::General;
    n->extent = extent.isEmpty() ? Rect::empty() : extent;
    n->generalFn = std::move(fn);
    n->generalRoi = std::move(roi);
    n->tileable = tileable;
    n->inputs = std::move(inputs);
    return Image(std::move(n));
}

} // namespace ci
