#pragma once

#include "ci/core/Geometry.h"
#include "ci/core/Image.h"

#include <memory>
#include <vector>

namespace ci {

/// One detected face, in engine coordinates (origin bottom-left, y up) of the image searched.
struct FaceFeature {
    Rect bounds;
    /// The eye on the image's left of an upright face (the subject's right eye), and the other one.
    Point leftEyePosition, rightEyePosition;
    Point mouthPosition;
    bool hasLeftEyePosition = false, hasRightEyePosition = false, hasMouthPosition = false;
    /// In-plane rotation in degrees, counter-clockwise positive, 0 when the eyes are level.
    double faceAngle = 0;
    bool hasFaceAngle = false;
    bool hasTrackingID = false, hasTrackingFrameCount = false;
    int trackingID = 0, trackingFrameCount = 0;
    bool hasSmile = false, leftEyeClosed = false, rightEyeClosed = false;
    /// The 68 landmark points in the usual 300-W markup order (0-16 jaw, 17-26 brows, 27-35 nose,
    /// 36-41 and 42-47 the image-left and image-right eye, 48-59 outer lip, 60-67 inner lip).
    std::vector<Point> landmarks;
};

/// Finds upright frontal faces and their landmarks. The models load once per process; one
/// detector may be used from several threads at once.
class FaceDetector {
  public:
    /// A detector, or nullptr when the landmark model cannot be loaded.
    static std::shared_ptr<FaceDetector> make();

    /// The faces of the image, in no particular order. An image without a finite, non-empty
    /// extent has none.
    std::vector<FaceFeature> features(const Image& image) const;

    struct Models;
    explicit FaceDetector(std::shared_ptr<const Models> models) : models_(std::move(models)) {}

  private:
    std::shared_ptr<const Models> models_;
};

} // namespace ci
