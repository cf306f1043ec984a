#pragma once

namespace ci::face {

// The linear HOG filters of dlib's frontal face detector, compiled in at build time (see
// tools/frontal_face_filters.cpp): five poses (frontal, looking left, looking right, frontal
// tilted left, frontal tilted right), each 10 x 10 cells of 31 features.
inline constexpr int kFrontalPoses = 5;
inline constexpr int kFrontalPlanes = 31;
inline constexpr int kFrontalSide = 10;

/// Weights indexed [pose][plane][row][column].
extern const float kFrontalWeights[kFrontalPoses * kFrontalPlanes * kFrontalSide * kFrontalSide];
/// A window is a face of a pose when its response exceeds that pose's threshold.
extern const float kFrontalThresholds[kFrontalPoses];
/// Two detections are the same face when their intersection over union exceeds the first, or
/// when either covers more than the second share of the other.
extern const double kFrontalOverlapIou;
extern const double kFrontalOverlapCovered;

} // namespace ci::face
