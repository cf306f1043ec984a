#include "filters/faces/FacialFeatures.h"

#include "ci/core/Console.h"
#include "ci/face/FaceDetector.h"

#include <numeric>

namespace filters::faces {

namespace {

std::vector<int> range(int first, int last) {
    std::vector<int> r(size_t(last - first + 1));
    std::iota(r.begin(), r.end(), first);
    return r;
}

// The regions in the 68-point markup (0-16 jaw, 17-26 brows, 27-35 nose, 36-47 eyes, 48-67 lips).
const std::vector<int> kFaceContour = range(0, 16);
const std::vector<int> kLeftEye = range(36, 41);
const std::vector<int> kRightEye = range(42, 47);
const std::vector<int> kLeftEyebrow = range(17, 21);
const std::vector<int> kRightEyebrow = range(22, 26);
// From the bridge down the right wing, along the nostrils and back up the left wing.
const std::vector<int> kNose = {27, 31, 32, 33, 34, 35};
const std::vector<int> kNoseCrest = range(27, 30);
// From the bridge through the nose tip and the middle of both lips to the chin.
const std::vector<int> kMedianLine = {27, 28, 29, 30, 33, 51, 62, 66, 57, 8};
const std::vector<int> kOuterLips = range(48, 59);
const std::vector<int> kInnerLips = range(60, 67);

Points centre(const Points& outline) {
    if (outline.empty())
        return {};
    ci::Point sum{0, 0};
    for (const ci::Point& p : outline) {
        sum.x += p.x;
        sum.y += p.y;
    }
    return {ci::Point{sum.x / double(outline.size()), sum.y / double(outline.size())}};
}

} // namespace

Points FaceDetection::landmarkPoints(const std::vector<ci::Point>& landmarks, const std::vector<int>& region,
                                     ci::Point origin) {
    if (landmarks.size() < 68) {
        ci::console("No landmarks returned");
        return {};
    }
    Points points;
    points.reserve(region.size());
    for (int i : region)
        points.push_back({landmarks[size_t(i)].x - origin.x, landmarks[size_t(i)].y - origin.y});
    return points;
}

std::vector<FacialFeatures> FaceDetection::detectFaces(const ci::Image& image) {
    ci::console("in detectFaces");
    const auto detector = ci::FaceDetector::make();
    if (!detector || !image)
        return {};
    const std::vector<ci::FaceFeature> found = detector->features(image, ci::FaceDetector::Detail::Landmarks);
    if (found.empty())
        return {};
    ci::console("Found " + std::to_string(found.size()) + " faces. Orientation:up");
    ci::console("after this");
    ci::console("in detectLandmarks");

    const ci::Rect extent = image.extent();
    const ci::Point origin{extent.x0, extent.y0};
    std::vector<FacialFeatures> faces;
    for (const ci::FaceFeature& f : found) {
        FacialFeatures face;
        face.faceBounds = ci::Rect::make(f.bounds.x0 - origin.x, f.bounds.y0 - origin.y, f.bounds.width(),
                                         f.bounds.height());
        auto points = [&](const std::vector<int>& region) {
            return landmarkPoints(f.landmarks, region, origin);
        };
        face.faceContour = points(kFaceContour);
        face.leftEye = points(kLeftEye);
        face.rightEye = points(kRightEye);
        face.leftEyebrow = points(kLeftEyebrow);
        face.rightEyebrow = points(kRightEyebrow);
        face.nose = points(kNose);
        face.noseCrest = points(kNoseCrest);
        face.medianLine = points(kMedianLine);
        face.outerLips = points(kOuterLips);
        face.innerLips = points(kInnerLips);
        face.leftPupil = centre(face.leftEye);
        face.rightPupil = centre(face.rightEye);
        faces.push_back(std::move(face));
    }
    return faces;
}

} // namespace filters::faces
