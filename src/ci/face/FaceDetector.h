#pragma once

#include "ci/core/Context.h"
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
    /// How clearly the search saw a face here (above zero; higher is surer).
    double score = 0;
    /// The 68 landmark points in the usual 300-W markup order (0-16 jaw, 17-26 brows, 27-35 nose,
    /// 36-41 and 42-47 the image-left and image-right eye, 48-59 outer lip, 60-67 inner lip);
    /// empty unless landmarks were asked for.
    std::vector<Point> landmarks;
};

/// Finds upright, turned (up to three-quarter view) and tilted (about +-20 degrees) faces from
/// about 20 pixels between the eyes and the chin, in pictures of any size, and on request their
/// landmarks. One detector may be used from several threads at once.
class FaceDetector {
  public:
    enum class Detail {
        Bounds,   ///< the faces' rectangles only
        Landmarks ///< also the 68 landmarks, the eyes, the mouth and the angle
    };

    /// The detector. Never null: the search needs no files; the landmark model loads on first
    /// use of Detail::Landmarks.
    static std::shared_ptr<FaceDetector> make();

    /// The faces of the image, surest first. An image without a finite, non-empty extent has
    /// none. With Detail::Landmarks the first call in a process waits for the landmark model
    /// (loaded in the background from the moment it is first needed); when the model cannot be
    /// loaded, the faces come without landmarks.
    /// `smallestFace` (pixels of the image, brows to chin) raises the size of the smallest face
    /// searched for above the detector's own (about 24): a search for larger faces only costs a
    /// fraction of the full one.
    std::vector<FaceFeature> features(const Image& image, Detail detail = Detail::Bounds,
                                      double smallestFace = 0) const;
    /// As features(), but a picture that cannot be searched (too large, or failing to render) is
    /// an error rather than a picture without faces.
    Result<std::vector<FaceFeature>> search(const Image& image, Detail detail = Detail::Bounds,
                                            double smallestFace = 0) const;

    /// Starts loading the landmark model in the background, once per process; returns at once.
    static void prepareLandmarks();
};

} // namespace ci
