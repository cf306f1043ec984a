#include "ci/core/Context.h"
#include "ci/face/FaceDetector.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using gwtest::loadPhoto;

bool inside(const ci::Rect& r, const ci::Point& p) {
    return r.contains(p);
}

} // namespace

TEST(FaceDetector, FindsTheAstronautsFaceWithEyesAndMouthInPlace) {
    auto detector = ci::FaceDetector::make();
    ASSERT_TRUE(detector);
    ci::Image photo = loadPhoto("astronaut.png");
    ASSERT_FALSE(photo.isNull());

    auto faces = detector->features(photo);
    ASSERT_EQ(faces.size(), 1u);
    const ci::FaceFeature& f = faces[0];
    // The face sits in the upper middle of the picture (y grows upwards).
    EXPECT_GT(f.bounds.width(), 60);
    EXPECT_LT(f.bounds.width(), 160);
    EXPECT_GT(f.bounds.midX(), 170);
    EXPECT_LT(f.bounds.midX(), 270);
    EXPECT_GT(f.bounds.midY(), 330);
    EXPECT_LT(f.bounds.midY(), 430);
    ASSERT_TRUE(f.hasLeftEyePosition && f.hasRightEyePosition && f.hasMouthPosition && f.hasFaceAngle);
    for (const ci::Point& p : {f.leftEyePosition, f.rightEyePosition, f.mouthPosition})
        EXPECT_TRUE(inside(f.bounds.grown(5), p)) << p.x << "," << p.y;
    // Left eye on the image's left, both eyes above the mouth, the mouth between them.
    EXPECT_LT(f.leftEyePosition.x + 20, f.rightEyePosition.x);
    EXPECT_GT(f.leftEyePosition.y, f.mouthPosition.y + 20);
    EXPECT_GT(f.rightEyePosition.y, f.mouthPosition.y + 20);
    EXPECT_GT(f.mouthPosition.x, f.leftEyePosition.x);
    EXPECT_LT(f.mouthPosition.x, f.rightEyePosition.x);
    EXPECT_LT(std::abs(f.faceAngle), 15);
    ASSERT_EQ(f.landmarks.size(), 68u);
    EXPECT_LT(f.landmarks[8].y, f.mouthPosition.y);  // the chin below the mouth
    EXPECT_GT(f.landmarks[27].y, f.mouthPosition.y); // the top of the nose above it
    EXPECT_FALSE(f.hasTrackingID || f.hasSmile || f.leftEyeClosed);

    // Positions follow the image's own coordinates: a moved picture moves its face with it.
    auto moved = detector->features(photo.translated(100, -40));
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_NEAR(moved[0].bounds.x(), f.bounds.x() + 100, 1e-6);
    EXPECT_NEAR(moved[0].mouthPosition.y, f.mouthPosition.y - 40, 1e-6);

    // A large picture is searched reduced; the face is still found where it is.
    auto big = detector->features(photo.transformed(ci::Affine::scale(5, 5)));
    ASSERT_EQ(big.size(), 1u);
    EXPECT_NEAR(big[0].leftEyePosition.x / 5, f.leftEyePosition.x, 6);
    EXPECT_NEAR(big[0].mouthPosition.y / 5, f.mouthPosition.y, 6);
}

TEST(FaceDetector, NoFacesInACatOrInDegenerateImagesAndSafeAcrossThreads) {
    auto detector = ci::FaceDetector::make();
    ASSERT_TRUE(detector);
    ci::Image cat = loadPhoto("chelsea.png");
    ASSERT_FALSE(cat.isNull());
    EXPECT_TRUE(detector->features(cat).empty());
    EXPECT_TRUE(detector->features(ci::Image()).empty());
    EXPECT_TRUE(detector->features(ci::Image::empty()).empty());
    EXPECT_TRUE(detector->features(ci::Image::constant(1, 1, 1, 1)).empty());
    EXPECT_TRUE(detector->features(ci::Image::constant(0, 0, 0, 1).cropped({0, 0, 3, 2})).empty());

    // One detector, several threads: every thread sees the same single face.
    ci::Image photo = loadPhoto("astronaut.png");
    std::vector<size_t> counts(4);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < counts.size(); ++i)
        threads.emplace_back([&, i] { counts[i] = detector->features(photo).size(); });
    for (auto& t : threads)
        t.join();
    for (size_t c : counts)
        EXPECT_EQ(c, 1u);
}
