#pragma once

// The node graph behind Image recipes. Internal to the engine: filters build nodes through
// Image and the kernel classes; only the renderer reads them.

#include "Bitmap.h"
#include "Image.h"
#include "Kernel.h"

#include <array>
#include <memory>
#include <vector>

namespace ci {

enum class NodeKind {
    Source,    ///< a bitmap
    Constant,  ///< one colour everywhere
    Crop,      ///< input restricted to a rectangle
    Transform, ///< input mapped by an affine transform, bilinear
    Clamp,     ///< input with its edge pixels repeated outwards
    Color,     ///< colour kernel: same place in, same place out (fused by the renderer)
    Warp,      ///< warp kernel: output position -> source position
    General,   ///< general kernel: any samples inside a region of interest
};

class Node {
  public:
    Node() = default;
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;
    /// Releases the inputs without recursing, so a chain of any length can be let go.
    ~Node();

    NodeKind kind = NodeKind::Constant;
    Rect extent;
    std::vector<Image> inputs;

    std::shared_ptr<const Bitmap> bitmap;         // Source, held as floats
    std::shared_ptr<const CompactPixels> compact; // Source, held compact
    std::array<float, 4> color{};                 // Constant
    Rect cropRect;                                // Crop
    Affine transform, inverse;                    // Transform
    ColorKernel::Function colorFn;                // Color
    WarpKernel::Function warpFn;                  // Warp
    WarpKernel::Roi warpRoi;                      // Warp
    GeneralKernel::Function generalFn;            // General
    GeneralKernel::Roi generalRoi;                // General
    bool tileable = true;                         // General
    bool pixelAligned = false;                    // Clamp: the input's extent lies on whole pixels

    /// The region of input k needed to compute the output rectangle r.
    Rect roi(int k, const Rect& r) const;
    /// True when the node reads its inputs at other places than the one it computes, so the
    /// renderer must hold those inputs as pixel blocks.
    bool readsNeighbours() const {
        return kind == NodeKind::Transform || (kind == NodeKind::Clamp && !pixelAligned) ||
               kind == NodeKind::Warp || kind == NodeKind::General;
    }
};

} // namespace ci
