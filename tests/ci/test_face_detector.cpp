#include "ci/core/Context.h"
#include "ci/core/Value.h"
#include "ci/face/FaceDetector.h"
#include "ci/face/FaceSearch.h"
#include "support/TestSupport.h"
#include "test_face_support.h"

#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include <iostream>
#include <thread>

namespace {

using gwtest::loadPhoto;

using Detail = ci::FaceDetector::Detail;

// The picture in grey as the detector searches it.
ci::face::GrayImage grey(const ci::Image& image) {
    const ci::Context ctx;
    auto buf = ctx.renderSRGB(image, image.extent(), 8);
    ci::face::GrayImage g;
    if (!buf)
        return g;
    g.width = buf->width;
    g.height = buf->height;
    g.pixels.resize(size_t(g.width) * size_t(g.height));
    for (size_t i = 0; i < g.pixels.size(); ++i) {
        const uint8_t* p = buf->data.data() + 4 * i;
        g.pixels[i] = uint8_t((77 * p[0] + 150 * p[1] + 29 * p[2] + 128) >> 8);
    }
    return g;
}

// The same faces; scores equal within tolerance (the processor's fused multiply-adds round
// differently from separate ones).
bool sameBoxes(const std::vector<ci::face::FaceBox>& a, const std::vector<ci::face::FaceBox>& b,
               double tolerance = 0) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].left != b[i].left || a[i].top != b[i].top || a[i].right != b[i].right ||
            a[i].bottom != b[i].bottom || std::abs(a[i].score - b[i].score) > tolerance ||
            a[i].pose != b[i].pose)
            return false;
    return true;
}

} // namespace

TEST(FaceDetector, FindsTheAstronautsFaceWithEyesAndMouthInPlace) {
    auto detector = ci::FaceDetector::make();
    ASSERT_TRUE(detector);
    ci::Image photo = loadPhoto("astronaut.png");
    ASSERT_FALSE(photo.isNull());

    auto faces = detector->features(photo, Detail::Landmarks);
    ASSERT_EQ(faces.size(), 1u);
    const ci::FaceFeature& f = faces[0];
    // The face sits in the upper middle of the picture (y grows upwards).
    EXPECT_GT(f.bounds.width(), 60);
    EXPECT_LT(f.bounds.width(), 160);
    EXPECT_GT(f.bounds.midX(), 170);
    EXPECT_LT(f.bounds.midX(), 270);
    EXPECT_GT(f.bounds.midY(), 330);
    EXPECT_LT(f.bounds.midY(), 430);
    EXPECT_GT(f.score, 0);
    ASSERT_TRUE(f.hasLeftEyePosition && f.hasRightEyePosition && f.hasMouthPosition && f.hasFaceAngle);
    for (const ci::Point& p : {f.leftEyePosition, f.rightEyePosition, f.mouthPosition})
        EXPECT_TRUE(f.bounds.grown(5).contains(p)) << p.x << "," << p.y;
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

    // Without landmarks asked for: the same face, nothing else.
    auto plain = detector->features(photo);
    ASSERT_EQ(plain.size(), 1u);
    EXPECT_EQ(plain[0].bounds, f.bounds);
    EXPECT_TRUE(plain[0].landmarks.empty());
    EXPECT_FALSE(plain[0].hasLeftEyePosition || plain[0].hasFaceAngle);

    // Positions follow the image's own coordinates: a moved picture moves its face with it.
    auto moved = detector->features(photo.translated(100, -40), Detail::Landmarks);
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_NEAR(moved[0].bounds.x(), f.bounds.x() + 100, 1e-6);
    EXPECT_NEAR(moved[0].mouthPosition.y, f.mouthPosition.y - 40, 1e-6);

    // The picture reduced or enlarged: the face is found where it is, surest of all. (The round
    // mission patch on the sleeve is face enough for the frontal filter at some sizes, as it is
    // for dlib's own detector, and may come second.)
    for (double scale : {0.455, 3.0}) {
        auto scaled = detector->features(photo.transformed(ci::Affine::scale(scale, scale)));
        ASSERT_GE(scaled.size(), 1u) << scale;
        EXPECT_LE(scaled.size(), 2u) << scale;
        EXPECT_NEAR(scaled[0].bounds.midX() / scale, f.bounds.midX(), 8) << scale;
        EXPECT_NEAR(scaled[0].bounds.midY() / scale, f.bounds.midY(), 8) << scale;
    }
}

TEST(FaceDetector, FindsEveryFaceOfAGroupFromThirtyToTwoHundredPixelsUprightOrTilted) {
    const facetest::Group& group = facetest::twelveMegapixelGroup();
    ASSERT_EQ(group.image.extent(), ci::Rect::make(0, 0, 4000, 3000));
    const auto found = ci::FaceDetector::make()->features(group.image);
    size_t matched = 0;
    for (const facetest::PlacedFace& f : group.faces) {
        const auto n = std::count_if(found.begin(), found.end(),
                                     [&](const ci::FaceFeature& d) { return facetest::isFace(d.bounds, f); });
        EXPECT_EQ(n, 1) << "face of " << f.size << " px tilted " << f.angle;
        matched += size_t(n);
    }
    std::cout << "group of faces: present " << group.faces.size() << ", found " << matched << ", false "
              << found.size() - matched << "\n";
    EXPECT_EQ(found.size(), matched) << "false faces";

    // Asked only for faces of 100 pixels and more, the search finds those and no others.
    const auto large = ci::FaceDetector::make()->features(group.image, ci::FaceDetector::Detail::Bounds, 100);
    for (const facetest::PlacedFace& f : group.faces) {
        const auto n = std::count_if(large.begin(), large.end(),
                                     [&](const ci::FaceFeature& d) { return facetest::isFace(d.bounds, f); });
        if (f.size >= 120 || f.size < 80) {
            EXPECT_EQ(n, f.size >= 120 ? 1 : 0) << "face of " << f.size << " px";
        }
    }
    for (const ci::FaceFeature& d : large)
        EXPECT_GE(d.bounds.width(), 80);
}

TEST(FaceDetector, FindsATurnedFaceWhereverItSits) {
    // The astronaut's face softened, reduced and turned, so that it scores near the threshold,
    // pasted on grey at 27 places 32 pixels apart and at each 13 pixels further right and down:
    // whether it is found must not depend on how it falls on the search's cells.
    const ci::Image astronaut = loadPhoto("astronaut.png");
    ASSERT_FALSE(astronaut.isNull());
    const ci::Point face{223, 385}; // the astronaut's face box: 88 pixels around this centre
    const ci::Image head = astronaut.cropped(ci::Rect::make(face.x - 70, face.y - 70, 140, 140));
    const ci::Image soft =
        head.applyingFilter("CIGaussianBlur", {{"inputRadius", 1.5}}).cropped(head.extent());
    const ci::Image grey = ci::Image::constant(0.2, 0.2, 0.2, 1);
    auto detector = ci::FaceDetector::make();
    for (double angle : {-20.0, -15.0, 15.0, 20.0}) {
        int found = 0, placed = 0;
        for (int i = 0; i < 27; ++i)
            for (double odd : {0.0, 13.0}) {
                const facetest::PlacedFace f{{100 + 32.0 * i + odd, 110 + odd}, 80, angle};
                const ci::Affine t = ci::Affine::translation(-face.x, -face.y)
                                         .then(ci::Affine::rotation(angle * 3.14159265358979323846 / 180))
                                         .then(ci::Affine::scale(f.size / 88, f.size / 88))
                                         .then(ci::Affine::translation(f.centre.x, f.centre.y));
                const ci::Image picture =
                    soft.transformed(t).composited(grey).cropped(ci::Rect::make(0, 0, 1100, 220));
                const auto faces = detector->features(picture);
                const bool hit = faces.size() == 1 && facetest::isFace(faces[0].bounds, f);
                EXPECT_TRUE(hit) << "turned " << angle << " at " << f.centre.x << "," << f.centre.y << ": "
                                 << faces.size() << " faces";
                found += hit;
                ++placed;
            }
        std::cout << "turned " << angle << ": found at " << found << " of " << placed << " places\n";
    }
}

TEST(FaceDetector, NoFacesInACatALandscapeOrDegenerateImagesAndSafeAcrossThreads) {
    auto detector = ci::FaceDetector::make();
    for (const char* name : {"chelsea.png", "rocket.jpg", "coffee.png"}) {
        ci::Image photo = loadPhoto(name);
        ASSERT_FALSE(photo.isNull()) << name;
        EXPECT_TRUE(detector->features(photo).empty()) << name;
        EXPECT_TRUE(detector->features(photo.transformed(ci::Affine::scale(3, 3))).empty()) << name;
    }
    EXPECT_TRUE(detector->features(ci::Image()).empty());
    EXPECT_TRUE(detector->features(ci::Image::empty()).empty());
    EXPECT_TRUE(detector->features(ci::Image::constant(1, 1, 1, 1)).empty());
    EXPECT_TRUE(detector->features(ci::Image::constant(0, 0, 0, 1).cropped({0, 0, 3, 2})).empty());
    EXPECT_TRUE(detector->features(ci::Image::constant(0.5, 0.5, 0.5, 1).cropped({0, 0, 5000, 7})).empty());
    // A picture too large to search is an error, not a picture without faces.
    const ci::Image huge = ci::Image::constant(0.5, 0.5, 0.5, 1).cropped({0, 0, 40000, 40000});
    EXPECT_FALSE(detector->search(huge).ok());
    EXPECT_TRUE(detector->features(huge).empty());
    auto none = detector->search(loadPhoto("chelsea.png"));
    ASSERT_TRUE(none.ok());
    EXPECT_TRUE(none->empty());

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

TEST(FaceSearch, SameFacesWhateverTheThreadsAndWithoutTheFirstPass) {
    // The group reduced to 1200 x 900: faces from 9 to 60 pixels, plenty of near misses.
    const facetest::Group& group = facetest::twelveMegapixelGroup();
    const ci::face::GrayImage g = grey(group.image.transformed(ci::Affine::scale(0.3, 0.3)));
    ASSERT_EQ(g.width, 1200);
    ci::face::SearchOptions options;
    options.smallestFace = 20;
    options.threshold = -0.6;
    const auto faces = ci::face::searchFaces(g, options);
    EXPECT_GE(faces.size(), 3u);
    for (size_t i = 1; i < faces.size(); ++i)
        EXPECT_GE(faces[i - 1].score, faces[i].score);

    // Every window scored exactly: the same faces, the same scores.
    ci::face::SearchOptions exhaustive = options;
    exhaustive.exhaustive = true;
    EXPECT_TRUE(sameBoxes(ci::face::searchFaces(g, exhaustive), faces));

    // The kernels for older processors.
    ci::face::SearchOptions portable = options;
    portable.withoutAvx2 = true;
    EXPECT_TRUE(sameBoxes(ci::face::searchFaces(g, portable), faces, 1e-4));

    // One thread: the same, to the bit.
    {
        tbb::global_control one(tbb::global_control::max_allowed_parallelism, 1);
        EXPECT_TRUE(sameBoxes(ci::face::searchFaces(g, options), faces));
    }

    // Nothing to search, or nonsense asked.
    EXPECT_TRUE(ci::face::searchFaces(ci::face::GrayImage{}, options).empty());
    ci::face::SearchOptions bad = options;
    bad.smallestFace = 0;
    EXPECT_TRUE(ci::face::searchFaces(g, bad).empty());
    bad = options;
    bad.levelStep = 1;
    EXPECT_TRUE(ci::face::searchFaces(g, bad).empty());
}
