#pragma once

// The automatic enhancement of a picture: an analysis of the image that proposes configured
// filters, each needing only its "inputImage".

#include "ci/core/Filter.h"
#include "ci/core/Geometry.h"
#include "ci/core/Image.h"

#include <memory>
#include <vector>

namespace ci {

/// The filters the analysis proposes for the image, in the order to chain them (face balance,
/// vibrance, tone curve, highlight and shadow). Faces are found with the face detector (face
/// balance is left out when its models are missing). Empty for a null image, an infinite or
/// empty extent, or a picture that needs nothing.
std::vector<std::shared_ptr<Filter>> autoAdjustmentFilters(const Image& image);

/// The image itself, or, when it is the result of several kernels and the memory budget has
/// ample room, its pixels rendered once: the adjustment reads its input three times (for faces,
/// for statistics and for the adjusted result), and each reading of a recipe computes it again.
/// The pixels are the same either way.
Image renderedForRereading(const Image& image);

/// The same analysis with the face bounds (engine coordinates of the image) given instead of
/// detected.
std::vector<std::shared_ptr<Filter>> autoAdjustmentFilters(const Image& image,
                                                           const std::vector<Rect>& faces);

} // namespace ci
