// Face privacy actions, landmark outlines, smooth paths, masks and the feature filters.

#include "filters/FilterTestSupport.h"

#include "ci/face/FaceDetector.h"
#include "ci/test_face_support.h"
#include "filters/Registry.h"
#include "filters/faces/EnhanceFilters.h"
#include "filters/faces/FacialFeatures.h"
#include "filters/faces/SmoothPath.h"

#include <QImage>

#include <algorithm>
#include <cmath>
#include <thread>

using namespace filters::faces;

namespace {

using gwtest::loadPhoto;

const ci::Image& astronaut() {
    static const ci::Image image = loadPhoto("astronaut.png");
    return image;
}

const ci::Image& chelsea() {
    static const ci::Image image = loadPhoto("chelsea.png");
    return image;
}

double distance(ci::Point a, double x, double y) {
    return std::hypot(a.x - x, a.y - y);
}

bool inside(const ci::Rect& r, ci::Point p) {
    return p.x >= r.x0 && p.x <= r.x1 && p.y >= r.y0 && p.y <= r.y1;
}

} // namespace

TEST(FacePrivacy, ChangesOnlyTheDiscsOverTheFaces) {
    ftest::ensureRegistered();
    const ci::Image photo = astronaut();
    const auto faces = ci::FaceDetector::make()->features(photo);
    ASSERT_EQ(faces.size(), 1u);
    const ci::Rect b = faces[0].bounds;
    const ci::Point centre{b.x0 + b.width() / 2, b.y0 + b.height() / 2};
    const double r1 = std::min(b.width(), b.height()) / 1.5 + 1.0;
    const ci::Bitmap source = ftest::render(photo);

    for (const char* name : {"IMFacePixellate", "IMFaceBlur"}) {
        auto action = filters::makeFilter(name);
        action->setValue("inputImage", photo);
        action->setValue("inputSize", 12.0);
        const ci::Image out = action->outputImage();
        ASSERT_FALSE(out.isNull()) << name;
        EXPECT_EQ(out.extent(), photo.extent()) << name;
        const ci::Bitmap pixels = ftest::render(out);
        double outsideChange = 0, insideChange = 0;
        for (int64_t y = 0; y < 512; ++y)
            for (int64_t x = 0; x < 512; ++x) {
                const auto a = ftest::pixelAt(pixels, x, y), s = ftest::pixelAt(source, x, y);
                double d = 0;
                for (int c = 0; c < 4; ++c)
                    d = std::max(d, double(std::abs(a[c] - s[c])));
                const double r = distance(centre, x + 0.5, y + 0.5);
                if (r > r1 + 0.5)
                    outsideChange = std::max(outsideChange, d);
                else if (r < r1 - 2)
                    insideChange += d;
            }
        EXPECT_LT(outsideChange, 1e-6) << name;
        EXPECT_GT(insideChange, 100.0) << name;
    }
}

TEST(FacePrivacy, HidesEveryFaceOfAGroupAndNothingElse) {
    ftest::ensureRegistered();
    const facetest::Group& group = facetest::twelveMegapixelGroup();
    const ci::Context ctx;
    for (const char* name : {"IMFaceBlur", "IMFacePixellate"}) {
        auto action = filters::makeFilter(name);
        action->setValue("inputImage", group.image);
        const ci::Image out = action->outputImage();
        ASSERT_FALSE(out.isNull()) << name;
        EXPECT_EQ(out.extent(), group.image.extent()) << name;
        // Within each face, nearly every pixel changes: the face is hidden whatever its size.
        for (const facetest::PlacedFace& f : group.faces) {
            const double r = 0.45 * f.size;
            const ci::Rect around = ci::Rect::make(f.centre.x - r, f.centre.y - r, 2 * r, 2 * r).roundedOut();
            const auto before = ctx.render(group.image, around), after = ctx.render(out, around);
            ASSERT_TRUE(before && after);
            int inside = 0, changed = 0;
            for (int64_t y = before->rect().y0; y < before->rect().y1; ++y)
                for (int64_t x = before->rect().x0; x < before->rect().x1; ++x) {
                    if (distance(f.centre, x + 0.5, y + 0.5) > r)
                        continue;
                    ++inside;
                    const float *a = before->pixel(x, y), *b = after->pixel(x, y);
                    changed += std::max({std::abs(a[0] - b[0]), std::abs(a[1] - b[1]),
                                         std::abs(a[2] - b[2])}) > 0.002f;
                }
            EXPECT_GT(changed, 0.9 * inside) << name << ": face of " << f.size << " px tilted " << f.angle;
        }
        // Far from the faces, nothing changes.
        const ci::Rect corner = ci::Rect::make(3600, 0, 400, 300);
        EXPECT_EQ(gwtest::maxDifference(*ctx.render(out, corner), *ctx.render(group.image, corner)), 0.0)
            << name;
    }
}

TEST(FacePrivacy, APictureWithoutFacesComesBackUnchanged) {
    const ci::Image cat = chelsea();
    for (const char* name : {"IMFacePixellate", "IMFaceBlur"}) {
        auto action = filters::makeFilter(name);
        action->setValue("inputImage", cat);
        const ci::Image out = action->outputImage();
        ASSERT_FALSE(out.isNull()) << name;
        EXPECT_EQ(out.extent(), cat.extent());
        EXPECT_EQ(gwtest::maxDifference(ftest::render(out), ftest::render(cat)), 0.0) << name;

        action->setValue("inputSize", NAN);
        EXPECT_TRUE(action->outputImage().isNull()) << name;
        // A picture that cannot be searched fails rather than pass with its faces visible.
        action->setValue("inputSize", 15.0);
        action->setValue("inputImage", ci::Image::constant(0.5, 0.5, 0.5, 1).cropped({0, 0, 40000, 40000}));
        EXPECT_TRUE(action->outputImage().isNull()) << name;
        action->setValue("inputImage", ci::Value());
        action->setValue("inputSize", 15.0);
        EXPECT_TRUE(action->outputImage().isNull()) << name;
    }
}

TEST(FaceDetection, TwelveOutlinesInsideTheFaceOfTheAstronaut) {
    gwtest::ConsoleCapture capture;
    const std::vector<FacialFeatures> faces = FaceDetection::detectFaces(astronaut());
    ASSERT_EQ(faces.size(), 1u);
    EXPECT_TRUE(capture.contains("Found 1 faces. Orientation:up"));
    const FacialFeatures& f = faces[0];
    EXPECT_GT(f.faceBounds.width(), 60);
    // The landmarks may stray a little beyond the detector's box (the jaw, the brows).
    const double margin = 0.15 * f.faceBounds.width();
    const ci::Rect around =
        ci::Rect::make(f.faceBounds.x0 - margin, f.faceBounds.y0 - margin, f.faceBounds.width() + 2 * margin,
                       f.faceBounds.height() + 2 * margin);
    const std::pair<const char*, const Points*> regions[] = {
        {"faceContour", &f.faceContour}, {"leftEye", &f.leftEye},           {"rightEye", &f.rightEye},
        {"leftEyebrow", &f.leftEyebrow}, {"rightEyebrow", &f.rightEyebrow}, {"nose", &f.nose},
        {"noseCrest", &f.noseCrest},     {"medianLine", &f.medianLine},     {"outerLips", &f.outerLips},
        {"innerLips", &f.innerLips},     {"leftPupil", &f.leftPupil},       {"rightPupil", &f.rightPupil}};
    for (const auto& [name, points] : regions) {
        EXPECT_FALSE(points->empty()) << name;
        for (const ci::Point& p : *points)
            EXPECT_TRUE(inside(around, p)) << name << " (" << p.x << ", " << p.y << ")";
    }
    EXPECT_EQ(f.outerLips.size(), 12u);
    EXPECT_EQ(f.innerLips.size(), 8u);
    EXPECT_EQ(f.leftPupil.size(), 1u);
    // y upwards: the eyes above the mouth; the left eye on the image's left.
    EXPECT_GT(f.leftPupil[0].y, f.outerLips[0].y);
    EXPECT_LT(f.leftPupil[0].x, f.rightPupil[0].x);
    EXPECT_EQ(f.skinColor, (ci::Color{1.0, 206.0 / 255.0, 180.0 / 255.0, 1.0}));

    // Coordinates count from the corner of the extent.
    const auto moved = FaceDetection::detectFaces(astronaut().translated(-40, 30));
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_NEAR(moved[0].faceBounds.x0, f.faceBounds.x0, 1.0);
    EXPECT_NEAR(moved[0].outerLips[3].y, f.outerLips[3].y, 1.0);

    EXPECT_TRUE(FaceDetection::detectFaces(chelsea()).empty());
    capture.lines();
    EXPECT_TRUE(FaceDetection::landmarkPoints({}, {1, 2}, {0, 0}).empty());
}

TEST(FaceDetection, EveryFaceOfAGroupGetsItsOutlines) {
    const facetest::Group& group = facetest::twelveMegapixelGroup();
    const std::vector<FacialFeatures> faces = FaceDetection::detectFaces(group.image);
    ASSERT_EQ(faces.size(), group.faces.size());
    for (const facetest::PlacedFace& placed : group.faces) {
        const auto f = std::find_if(faces.begin(), faces.end(), [&](const FacialFeatures& d) {
            return facetest::isFace(d.faceBounds, placed);
        });
        ASSERT_NE(f, faces.end()) << "face of " << placed.size << " px";
        // Eyes, brows and lips lie within the face, the eyes above the mouth along the tilt.
        const double margin = 0.2 * placed.size;
        const ci::Rect around = f->faceBounds.grown(margin);
        for (const Points* region :
             {&f->leftEye, &f->rightEye, &f->leftEyebrow, &f->rightEyebrow, &f->outerLips, &f->innerLips}) {
            ASSERT_FALSE(region->empty());
            for (const ci::Point& p : *region)
                EXPECT_TRUE(inside(around, p)) << "face of " << placed.size << " px: " << p.x << ", " << p.y;
        }
        const double a = placed.angle * 3.14159265358979323846 / 180;
        const ci::Point eyes{(f->leftPupil[0].x + f->rightPupil[0].x) / 2,
                             (f->leftPupil[0].y + f->rightPupil[0].y) / 2};
        const ci::Point mouth = f->outerLips[3];
        // Up along the face: (-sin a, cos a).
        EXPECT_GT((eyes.x - mouth.x) * -std::sin(a) + (eyes.y - mouth.y) * std::cos(a), 0.15 * placed.size)
            << "face of " << placed.size << " px";
    }
}

TEST(SmoothPath, CatmullRomSegmentsAndClosedOutlines) {
    BezierPath path;
    path.addSmoothCurve({{0, 0}, {1, 0}, {1, 1}});
    ASSERT_EQ(path.elements().size(), 3u);
    const auto& first = path.elements()[1];
    const auto& second = path.elements()[2];
    ASSERT_EQ(first.kind, BezierPath::Kind::CurveTo);
    EXPECT_NEAR(first.points[0].x, 1.0 / 6, 1e-12);
    EXPECT_NEAR(first.points[0].y, 0.0, 1e-12);
    EXPECT_NEAR(first.points[1].x, 5.0 / 6, 1e-12);
    EXPECT_NEAR(first.points[1].y, -1.0 / 6, 1e-12);
    EXPECT_NEAR(second.points[0].x, 7.0 / 6, 1e-12);
    EXPECT_NEAR(second.points[0].y, 1.0 / 6, 1e-12);
    EXPECT_NEAR(second.points[1].x, 1.0, 1e-12);
    EXPECT_NEAR(second.points[1].y, 5.0 / 6, 1e-12);
    EXPECT_EQ(second.points[2].y, 1.0);

    BezierPath one;
    one.addSmoothCurve({{2, 2}});
    EXPECT_TRUE(one.isEmpty());

    // Three points: three curves back to the first point, then a close; empty lists are skipped;
    // a single point is a degenerate closed subpath.
    gwtest::ConsoleCapture capture;
    const BezierPath outlines = smoothPath({{{0, 0}, {4, 0}, {4, 4}}, {}, {{7, 7}}});
    const auto& e = outlines.elements();
    ASSERT_EQ(e.size(), 5u + 3u);
    EXPECT_EQ(e[0].kind, BezierPath::Kind::MoveTo);
    for (int i = 1; i <= 3; ++i)
        EXPECT_EQ(e[size_t(i)].kind, BezierPath::Kind::CurveTo);
    EXPECT_EQ(e[3].points[2].x, 0.0);
    EXPECT_EQ(e[3].points[2].y, 0.0);
    EXPECT_EQ(e[4].kind, BezierPath::Kind::Close);
    EXPECT_EQ(e[5].kind, BezierPath::Kind::MoveTo);
    EXPECT_EQ(e[7].kind, BezierPath::Kind::Close);
    EXPECT_EQ(capture.lines().size(), 1u);
    EXPECT_TRUE(smoothPath({}).isEmpty());

    // A quadratic segment is sent as the cubic one with control points two thirds of the way.
    BezierPath quad;
    quad.moveTo({0, 0});
    quad.quadCurveTo({3, 0}, {0, 3});
    EXPECT_NEAR(quad.elements()[1].points[0].y, 2.0, 1e-12);
    EXPECT_NEAR(quad.elements()[1].points[1].x, 1.0, 1e-12);
}

TEST(MaskImage, WhiteInsideThePathTransparentElsewhere) {
    BezierPath square;
    square.moveTo({10, 5});
    square.lineTo({30, 5});
    square.lineTo({30, 25});
    square.lineTo({10, 25});
    square.close();
    const ci::Image mask = maskImage(square, 50, 40.7);
    ASSERT_FALSE(mask.isNull());
    EXPECT_EQ(mask.extent(), ci::Rect::make(0, 0, 50, 40));
    const ci::Bitmap pixels = ftest::render(mask);
    // y upwards, as the path is given.
    EXPECT_PIXEL_NEAR(ftest::pixelAt(pixels, 20, 6), 1, 1, 1, 1, 1e-6);
    EXPECT_PIXEL_NEAR(ftest::pixelAt(pixels, 29, 24), 1, 1, 1, 1, 1e-6);
    EXPECT_PIXEL_NEAR(ftest::pixelAt(pixels, 20, 30), 0, 0, 0, 0, 1e-6);
    EXPECT_PIXEL_NEAR(ftest::pixelAt(pixels, 5, 10), 0, 0, 0, 0, 1e-6);
    EXPECT_PIXEL_NEAR(ftest::pixelAt(pixels, 31, 10), 0, 0, 0, 0, 1e-6);

    // A smooth outline covers its own points' inside.
    const ci::Bitmap round =
        ftest::render(maskImage(smoothPath({{{10, 10}, {30, 10}, {30, 30}, {10, 30}}}), 40, 40));
    EXPECT_PIXEL_NEAR(ftest::pixelAt(round, 20, 20), 1, 1, 1, 1, 1e-6);
    EXPECT_PIXEL_NEAR(ftest::pixelAt(round, 2, 2), 0, 0, 0, 0, 1e-6);

    const ci::Bitmap empty = ftest::render(maskImage(BezierPath(), 8, 6));
    EXPECT_EQ(empty.rect(), (ci::IRect{0, 0, 8, 6}));
    for (int64_t i = 0; i < 8 * 6 * 4; ++i)
        EXPECT_EQ(empty.data()[i], 0.0f);

    EXPECT_TRUE(maskImage(square, NAN, 10).isNull());
    EXPECT_TRUE(maskImage(square, 10, INFINITY).isNull());
    EXPECT_TRUE(maskImage(square, 1e300, 10).isNull());
    gwtest::ConsoleCapture capture;
    EXPECT_TRUE(maskImage(square, 0, 10).isNull());
    EXPECT_TRUE(capture.contains("Could not create CG context"));
}

TEST(EnhanceFilters, InputsDefaultsAttributesAndKeys) {
    EnhanceEyesFilter eyes;
    EXPECT_EQ(eyes.value("inputBrightness").toNumber(), 0.01);
    EXPECT_EQ(eyes.value("inputClarity").toNumber(), 0.5);
    eyes.setValue("inputImage", ftest::solid(4, 4, 1, 1, 1));
    eyes.setDefaults();
    EXPECT_EQ(eyes.value("inputBrightness").toNumber(), 0.02);
    EXPECT_EQ(eyes.value("inputVibrance").toNumber(), 0.8);
    EXPECT_EQ(eyes.value("inputClarity").toNumber(), 1.0);
    EXPECT_EQ(eyes.value("inputRadius").toNumber(), 1.6);
    EXPECT_EQ(eyes.value("inputSharpness").toNumber(), 0.6);
    EXPECT_TRUE(eyes.value("inputImage").isNone());

    const ci::Attributes a = eyes.attributes();
    EXPECT_EQ(a[ci::attr::FilterDisplayName], "Enhance Eyes");
    EXPECT_EQ(a["inputBrightness"][ci::attr::SliderMax].get<double>(), 0.05);
    EXPECT_TRUE(a["inputVibrance"][ci::attr::SliderMax].is_number_integer());
    EXPECT_TRUE(a["inputVibrance"][ci::attr::Default].is_number_float());
    EXPECT_EQ(a["inputVibrance"][ci::attr::Default].get<double>(), 0.5);
    EXPECT_EQ(EnhanceLipsFilter().attributes()["inputClarity"][ci::attr::Default].get<double>(), 0.6);

    gwtest::ConsoleCapture capture;
    EnhanceEyebrowsFilter brows;
    brows.setValue("inputAmount", 1.0);
    brows.value("inputAmount");
    EXPECT_TRUE(capture.lines().empty());
    EnhanceLipsFilter lips;
    lips.setValue("inputAmount", 1.0);
    EXPECT_TRUE(capture.contains("Invalid key: inputAmount"));
    EXPECT_TRUE(lips.outputImage().isNull());
    EXPECT_TRUE(capture.contains("NIL input image"));
}

TEST(EnhanceFilters, NoFaceGivesTheInputAndAFaceChangesOnlyItsOutlines) {
    EnhanceEyebrowsFilter brows;
    brows.setValue("inputImage", chelsea());
    {
        gwtest::ConsoleCapture capture;
        EXPECT_EQ(brows.outputImage(), chelsea());
        EXPECT_TRUE(capture.contains("here"));
    }
    EXPECT_TRUE(brows.processedImage().isNull());

    ftest::ensureRegistered();
    const ci::Image photo = astronaut();
    const ci::Bitmap source = ftest::render(photo);
    const FacialFeatures face = FaceDetection::detectFaces(photo).at(0);

    EnhanceLipsFilter lips;
    lips.setValue("inputImage", photo);
    lips.setValue("inputVibrance", 2.0);
    const ci::Image out = lips.outputImage();
    ASSERT_FALSE(out.isNull());
    EXPECT_EQ(out.extent(), photo.extent());
    EXPECT_FALSE(lips.processedImage().isNull());
    // Around the lips (with room for the curves and the soft edge) things change; beyond, nothing.
    ci::Rect box = ci::Rect::make(1e9, 1e9, 0, 0);
    double x0 = 1e9, y0 = 1e9, x1 = -1e9, y1 = -1e9;
    for (const ci::Point& p : face.outerLips) {
        x0 = std::min(x0, p.x), y0 = std::min(y0, p.y), x1 = std::max(x1, p.x), y1 = std::max(y1, p.y);
    }
    box = ci::Rect::make(x0 - 4, y0 - 4, x1 - x0 + 8, y1 - y0 + 8);
    const ci::Bitmap pixels = ftest::render(out);
    double outside = 0, changed = 0;
    for (int64_t y = 0; y < 512; ++y)
        for (int64_t x = 0; x < 512; ++x) {
            const auto a = ftest::pixelAt(pixels, x, y), s = ftest::pixelAt(source, x, y);
            const double d = std::max({std::abs(a[0] - s[0]), std::abs(a[1] - s[1]), std::abs(a[2] - s[2])});
            if (inside(box, {x + 0.5, y + 0.5}))
                changed += d;
            else
                outside = std::max(outside, d);
        }
    EXPECT_EQ(outside, 0.0);
    EXPECT_GT(changed, 1.0);

    // The eyes filter works too, its brightness step included.
    EnhanceEyesFilter eyes;
    eyes.setValue("inputImage", photo);
    EXPECT_NE(eyes.outputImage(), photo);
}

TEST(EnhanceFilters, FacesOfOneCallNeverReachAnother) {
    ftest::ensureRegistered();
    const ci::Bitmap cat = ftest::render(chelsea());

    // The same object, first with a face, then without: the second result is the new input.
    EnhanceLipsFilter lips;
    lips.setValue("inputImage", astronaut());
    EXPECT_NE(lips.outputImage(), astronaut());
    lips.setValue("inputImage", chelsea());
    EXPECT_EQ(lips.outputImage(), chelsea());

    // Two threads at once, one picture with a face and one without.
    ci::Image withFace, withoutFace;
    std::thread a([&] {
        EnhanceEyesFilter eyes;
        eyes.setValue("inputImage", astronaut());
        withFace = eyes.outputImage();
    });
    std::thread b([&] {
        EnhanceLipsFilter other;
        other.setValue("inputImage", chelsea());
        withoutFace = other.outputImage();
    });
    a.join();
    b.join();
    EXPECT_NE(withFace, astronaut());
    EXPECT_EQ(gwtest::maxDifference(ftest::render(withoutFace), cat), 0.0);
}
