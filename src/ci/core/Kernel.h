#pragma once

// The three kinds of per-pixel code. A kernel is a plain function over a row (or a tile) of
// float RGBA premultiplied pixels; applying one only builds a node of the recipe.

#include "Bitmap.h"
#include "Image.h"

#include <functional>
#include <vector>

namespace ci {

/// One row for a colour kernel: `count` pixels starting at pixel (x, y); in[k] points at the
/// pixels of input k at the same places, out at the output pixels (4 floats each).
struct ColorRow {
    const float* const* in;
    float* out;
    int count;
    int64_t x;
    int64_t y;
};

/// Pixel in, pixel out, same place. Consecutive colour kernels are fused by the renderer.
/// With no inputs a colour kernel is a generator.
struct ColorKernel {
    using Function = std::function<void(const ColorRow&)>;
    /// Pixels whose centres lie outside `extent` are transparent whatever the function says.
    static Image apply(Function fn, std::vector<Image> inputs, const Rect& extent);
    /// Extent: the input's extent (one input) or the union of all inputs.
    static Image apply(Function fn, std::vector<Image> inputs);
};

/// One row for a warp kernel: for output pixel centres (x + i + 0.5, y + 0.5), i < count,
/// write the source position into sx[i], sy[i].
struct WarpRow {
    double* sx;
    double* sy;
    int count;
    int64_t x;
    int64_t y;
};

/// Output position to source position; the source is sampled bilinearly (transparent outside
/// its extent).
struct WarpKernel {
    using Function = std::function<void(const WarpRow&)>;
    /// The source region needed for an output rectangle.
    using Roi = std::function<Rect(const Rect&)>;
    static Image apply(Function fn, const Image& input, const Rect& extent, Roi roi);
};

/// A tile for a general kernel: fill every pixel of `rect` in `out` (rows of `out` follow the
/// Bitmap layout of the output region). inputs[k] holds input k over at least the region of
/// interest declared for this tile (transparent outside its extent).
struct KernelTile {
    IRect rect;
    Bitmap* out;
    std::vector<const Bitmap*> inputs;
};

/// Reads any samples inside a declared region of interest.
struct GeneralKernel {
    using Function = std::function<void(const KernelTile&)>;
    /// The region of input k needed for an output rectangle.
    using Roi = std::function<Rect(int input, const Rect&)>;
    /// When `tileable` is false the function is called once for the whole region the render
    /// needs (for work that does not split into independent tiles).
    static Image apply(Function fn, std::vector<Image> inputs, const Rect& extent, Roi roi,
                       bool tileable = true);
};

} // namespace ci
