#pragma once

// The automatic enhancement of a picture: an analysis of the image that proposes configured
// filters, each needing only its "inputImage".

#include "ci/core/Filter.h"
#include "ci/core/Geometry.h"
#include "ci/core/Image.h"

#include <functional>
#include <memory>
#include <vector>

namespace ci {

/// Finds the faces of an image: their bounds in the image's engine coordinates.
using FaceFinder = std::function<std::vector<Rect>(const Image&)>;

/// Installs the face detector the analysis uses (the face module does this). Without one the
/// analysis works from the histogram alone and proposes no face balance.
void setAutoAdjustFaceFinder(FaceFinder finder);

/// The filters the analysis proposes for the image, in the order to chain them (face balance,
/// vibrance, tone curve, highlight and shadow). Empty for a null image, an infinite or empty
/// extent, or a picture that needs nothing.
std::vector<std::shared_ptr<Filter>> autoAdjustmentFilters(const Image& image);

/// The same analysis with the face regions (engine coordinates of the image) given instead of
/// detected.
std::vector<std::shared_ptr<Filter>> autoAdjustmentFilters(const Image& image,
                                                           const std::vector<Rect>& faces);

} // namespace ci
