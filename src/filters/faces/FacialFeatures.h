#pragma once

// Faces with their landmark outlines, found for one image at a time.

#include "ci/core/Geometry.h"
#include "ci/core/Image.h"
#include "ci/core/Value.h"

#include <vector>

namespace filters::faces {

using Points = std::vector<ci::Point>;

/// One detected face. Coordinates are image pixels with the origin at the bottom-left corner of
/// the image's extent, y upwards. Left and right are as the image shows them (the eye on the
/// image's left is `leftEye`), matching the engine's face features.
struct FacialFeatures {
    ci::Rect faceBounds;
    Points faceContour;
    Points leftEye;
    Points rightEye;
    Points leftEyebrow;
    Points rightEyebrow;
    Points nose;
    Points noseCrest;
    Points medianLine;
    Points outerLips;
    Points innerLips;
    Points leftPupil;
    Points rightPupil;
    ci::Color skinColor{1.0, 206.0 / 255.0, 180.0 / 255.0, 1.0};
};

class FaceDetection {
  public:
    /// The faces of this image with their twelve outlines, in no particular order. Each call
    /// stands alone: nothing is kept between calls, so concurrent callers never see each other's
    /// faces.
    static std::vector<FacialFeatures> detectFaces(const ci::Image& image);

    /// The points of one landmark region (indices into the 68-point markup) relative to `origin`;
    /// an empty list, with the line "No landmarks returned", when the face has no landmarks.
    static Points landmarkPoints(const std::vector<ci::Point>& landmarks, const std::vector<int>& region,
                                 ci::Point origin);
};

} // namespace filters::faces
