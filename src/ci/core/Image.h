#pragma once

#include "Geometry.h"

#include <map>
#include <memory>
#include <string>

namespace ci {

class Bitmap;
class CompactPixels;
class Node;
class Value;
using Dictionary = std::map<std::string, Value>;

/// An immutable, cheap-to-copy image recipe. Nothing is computed until a Context renders a
/// rectangle of it. Outside its extent an image reads as transparent black.
///
/// A default-constructed Image is null: it stands for "no image" (a filter without output,
/// a failed operation). An image with an empty extent is a real, empty image.
class Image {
  public:
    Image() = default;
    explicit Image(std::shared_ptr<const Node> node) : node_(std::move(node)) {}

    /// Wraps a bitmap; the extent is the bitmap's rectangle.
    static Image fromBitmap(Bitmap bitmap);
    static Image fromBitmap(std::shared_ptr<const Bitmap> bitmap);
    /// Wraps compact pixels, converted as they are read; the extent is their rectangle.
    static Image fromPixels(std::shared_ptr<const CompactPixels> pixels);
    /// A colour (premultiplied, linear working space) over the infinite plane.
    static Image constant(float r, float g, float b, float a);
    /// A real image with nothing in it.
    static Image empty();

    bool isNull() const { return !node_; }
    explicit operator bool() const { return bool(node_); }

    /// The extent; the empty rectangle for a null image.
    Rect extent() const;

    /// Restricted to rect (intersection of extents). Pixels belong to the result when their
    /// centres lie inside it.
    Image cropped(const Rect& rect) const;
    /// Mapped through the transform, sampled bilinearly (pre-filtered when shrinking more than
    /// twofold). The extent is the transformed bounding box. A singular transform gives an empty image.
    Image transformed(const Affine& t) const;
    Image translated(double dx, double dy) const { return transformed(Affine::translation(dx, dy)); }
    /// Infinite extent; the edge pixels repeat outwards.
    Image clampedToExtent() const;
    /// This image placed over the background (source-over).
    Image composited(const Image& over) const;

    /// Applies the filter of that name with these inputs, this image as "inputImage".
    /// An unknown filter name or an input of the wrong kind gives a null image and a console line.
    Image applyingFilter(const std::string& name, const Dictionary& inputs) const;

    const std::shared_ptr<const Node>& node() const { return node_; }
    bool operator==(const Image& o) const { return node_ == o.node_; }

  private:
    std::shared_ptr<const Node> node_;
};

} // namespace ci
