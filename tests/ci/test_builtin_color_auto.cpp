#include "support/TestSupport.h"

#include "ci/builtin/AutoAdjust.h"
#include "ci/core/Context.h"
#include "ci/core/Filter.h"
#include "ci/core/Memory.h"
#include "ci/core/Node.h"
#include "ci/face/FaceDetector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

using namespace ci;

namespace {

using gwtest::loadPhoto;

// A grey picture whose square-root luma is spread evenly over [lo, hi] (top to bottom), tinted
// by (tr, tg, tb) in sRGB terms.
Image picture(int w, int h, double lo, double hi, float tint = 0) {
    Bitmap bm(IRect{0, 0, w, h});
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            double p = lo + (hi - lo) * (double(x + y * w) + 0.5) / double(w * h);
            float v = float(p * p);
            float* px = bm.pixel(x, y);
            px[0] = srgbDecode(std::min(1.f, srgbEncode(v) + tint));
            px[1] = v;
            px[2] = srgbDecode(std::max(0.f, srgbEncode(v) - tint));
            px[3] = 1;
        }
    return Image::fromBitmap(std::move(bm));
}

std::shared_ptr<Filter> find(const std::vector<std::shared_ptr<Filter>>& list, const std::string& name) {
    for (const auto& f : list)
        if (f->name() == name)
            return f;
    return nullptr;
}

Vector point(const Filter& curve, int i) {
    const Value v = curve.value("inputPoint" + std::to_string(i));
    return v.toVector() ? *v.toVector() : Vector{};
}

// Largest distance of the proposed tone curve from the diagonal (0 when none is proposed).
double curveStrength(const std::vector<std::shared_ptr<Filter>>& list) {
    auto c = find(list, "CIToneCurve");
    if (!c)
        return 0;
    double worst = 0;
    for (int i = 0; i < 5; ++i) {
        const Vector v = point(*c, i);
        worst = std::max(worst, std::fabs(v.y() - v.x()));
    }
    return worst;
}

Image applyAll(Image img, const std::vector<std::shared_ptr<Filter>>& list) {
    for (const auto& f : list) {
        f->setValue("inputImage", img);
        img = f->outputImage();
    }
    return img;
}

} // namespace

TEST(BuiltinColorAuto, FlatPictureGetsAStretchingCurve) {
    // Large enough that the analysis works on a reduced copy.
    const Image flat = picture(900, 600, 0.35, 0.65);
    auto list = autoAdjustmentFilters(flat);
    auto curve = find(list, "CIToneCurve");
    ASSERT_NE(curve, nullptr);
    const Vector q1 = point(*curve, 1), q3 = point(*curve, 3);
    EXPECT_DOUBLE_EQ(q1.x(), 0.25);
    EXPECT_LT(q1.y(), 0.25 - 0.02); // darker shadows
    EXPECT_GT(q3.y(), 0.75 + 0.02); // brighter highlights
    // Grey pictures get no vibrance, and nothing needs faces.
    EXPECT_EQ(find(list, "CIVibrance"), nullptr);
    EXPECT_EQ(find(list, "CIFaceBalance"), nullptr);
    // The chain is ready to use; a second analysis of the result asks for less.
    Image once = applyAll(flat, list);
    ASSERT_FALSE(once.isNull());
    EXPECT_EQ(once.extent(), flat.extent());
    EXPECT_LT(curveStrength(autoAdjustmentFilters(once)), curveStrength(list));
}

TEST(BuiltinColorAuto, WellExposedPictureGetsLittleOrNothing) {
    EXPECT_TRUE(autoAdjustmentFilters(picture(256, 256, 0.0, 1.0)).empty());
    // A dark picture gets its shadows opened and its median lifted.
    auto dark = autoAdjustmentFilters(picture(200, 200, 0.0, 0.4));
    auto hs = find(dark, "CIHighlightShadowAdjust");
    ASSERT_NE(hs, nullptr);
    EXPECT_GT(*hs->value("inputShadowAmount").toNumber(), 0.05);
    auto curve = find(dark, "CIToneCurve");
    ASSERT_NE(curve, nullptr);
    EXPECT_GT(point(*curve, 2).y(), 0.5);
    // Order: vibrance, tone curve, highlight and shadow.
    auto tinted = autoAdjustmentFilters(picture(200, 200, 0.0, 0.4, 0.08f));
    ASSERT_GE(tinted.size(), 3u);
    EXPECT_EQ(tinted[0]->name(), "CIVibrance");
    EXPECT_EQ(tinted[1]->name(), "CIToneCurve");
    EXPECT_EQ(tinted[2]->name(), "CIHighlightShadowAdjust");
    EXPECT_GT(*tinted[0]->value("inputAmount").toNumber(), 0.0);
}

TEST(BuiltinColorAuto, FacesAndDegenerateImages) {
    // A warm square "face" on a full-range picture comes first as face balance.
    Bitmap bm(IRect{0, 0, 100, 100});
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 100; ++x) {
            float* p = bm.pixel(x, y);
            bool face = x >= 40 && x < 60 && y >= 40 && y < 60;
            float v = float((x + y * 100) % 100) / 99.f;
            p[0] = face ? srgbDecode(0.8f) : v * v;
            p[1] = face ? srgbDecode(0.6f) : v * v;
            p[2] = face ? srgbDecode(0.5f) : v * v;
            p[3] = 1;
        }
    const Image img = Image::fromBitmap(std::move(bm)).translated(30, 10);
    auto list = autoAdjustmentFilters(img, {Rect::make(70, 50, 20, 20)});
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(list[0]->name(), "CIFaceBalance");
    EXPECT_NEAR(*list[0]->value("inputOrigI").toNumber(), 0.596 * 0.8 - 0.274 * 0.6 - 0.322 * 0.5, 1e-3);
    EXPECT_NEAR(*list[0]->value("inputOrigQ").toNumber(), 0.211 * 0.8 - 0.523 * 0.6 + 0.312 * 0.5, 1e-3);
    EXPECT_DOUBLE_EQ(*list[0]->value("inputStrength").toNumber(), 0.5);
    EXPECT_EQ(find(autoAdjustmentFilters(img, {}), "CIFaceBalance"), nullptr);

    EXPECT_TRUE(autoAdjustmentFilters(Image()).empty());
    EXPECT_TRUE(autoAdjustmentFilters(Image::constant(0.2f, 0.2f, 0.2f, 1)).empty());
    EXPECT_TRUE(autoAdjustmentFilters(Image::empty()).empty());
    Bitmap clear(IRect{0, 0, 10, 10});
    clear.fill(0, 0, 0, 0);
    EXPECT_TRUE(autoAdjustmentFilters(Image::fromBitmap(std::move(clear))).empty());
}

TEST(BuiltinColorAuto, FaceBalanceFilter) {
    Bitmap bm(IRect{0, 0, 2, 1});
    bm.pixel(0, 0)[0] = 0.3f, bm.pixel(0, 0)[1] = 0.2f, bm.pixel(0, 0)[2] = 0.1f, bm.pixel(0, 0)[3] = 0.5f;
    std::fill(bm.pixel(1, 0), bm.pixel(1, 0) + 4, 0.f);
    const Image src = Image::fromBitmap(std::move(bm));
    // Strength 0 is the identity; a face already on the skin axis at the target stays put.
    Image same = src.applyingFilter("CIFaceBalance", {{"inputOrigI", 0.1}, {"inputStrength", 0.0}});
    EXPECT_EQ(same, src);
    // A greenish face (negative I, some Q) is moved: every pixel shifts by the same YIQ amount.
    Image moved = src.applyingFilter("CIFaceBalance",
                                     {{"inputOrigI", -0.05}, {"inputOrigQ", 0.05}, {"inputStrength", 1.0}});
    EXPECT_EQ(moved.extent(), src.extent());
    auto b = Context().render(moved);
    ASSERT_TRUE(b.ok());
    const float* p = b->pixel(0, 0);
    EXPECT_FLOAT_EQ(p[3], 0.5f);
    float P[3];
    for (int c = 0; c < 3; ++c)
        P[c] = srgbEncode(p[c] / p[3]);
    const float in[3] = {srgbEncode(0.6f), srgbEncode(0.4f), srgbEncode(0.2f)};
    const double rho = std::hypot(0.05, 0.05);
    const double dI = rho * (0.8 + 0.4 * 0.5) + 0.05, dQ = -0.05;
    auto I = [](const float* c) { return 0.596 * c[0] - 0.274 * c[1] - 0.322 * c[2]; };
    auto Q = [](const float* c) { return 0.211 * c[0] - 0.523 * c[1] + 0.312 * c[2]; };
    auto Y = [](const float* c) { return 0.299 * c[0] + 0.587 * c[1] + 0.114 * c[2]; };
    EXPECT_NEAR(I(P) - I(in), dI, 1e-4);
    EXPECT_NEAR(Q(P) - Q(in), dQ, 1e-4);
    EXPECT_NEAR(Y(P), Y(in), 1e-4);
    for (int c = 0; c < 4; ++c)
        EXPECT_EQ(b->pixel(1, 0)[c], 0.f);
    EXPECT_TRUE(Filter::make("CIFaceBalance")->outputImage().isNull());
}

TEST(BuiltinColorAuto, RealPhotos) {
    // The astronaut's face is found and balanced first; the cat gets no face balance.
    const Image astronaut = loadPhoto("astronaut.png");
    ASSERT_FALSE(astronaut.isNull());
    auto list = autoAdjustmentFilters(astronaut);
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(list[0]->name(), "CIFaceBalance");
    // Placed on a large canvas, so that the face is searched on a reduced copy: the same face,
    // measured at the same place of the picture.
    const auto found = FaceDetector::make()->features(astronaut);
    ASSERT_EQ(found.size(), 1u);
    const Rect& b = found[0].bounds;
    const Image canvas = astronaut.translated(1500, -700)
                             .composited(Image::constant(0.3f, 0.3f, 0.3f, 1))
                             .cropped(Rect::make(-200, -900, 3000, 2200));
    auto onCanvas = autoAdjustmentFilters(canvas);
    auto atFace = autoAdjustmentFilters(canvas, {Rect{b.x0 + 1500, b.y0 - 700, b.x1 + 1500, b.y1 - 700}});
    ASSERT_FALSE(onCanvas.empty());
    ASSERT_EQ(onCanvas[0]->name(), "CIFaceBalance");
    for (const char* key : {"inputOrigI", "inputOrigQ"})
        EXPECT_NEAR(*onCanvas[0]->value(key).toNumber(), *atFace[0]->value(key).toNumber(), 0.01) << key;
    const Image cat = loadPhoto("chelsea.png");
    ASSERT_FALSE(cat.isNull());
    auto catList = autoAdjustmentFilters(cat);
    EXPECT_EQ(find(catList, "CIFaceBalance"), nullptr);
    Image flat = cat.applyingFilter("CIColorControls", {{"inputContrast", 0.4}});
    // Flattening the photo's tones makes the proposed curve steeper through the middle.
    auto midSlope = [](const std::vector<std::shared_ptr<Filter>>& l) {
        auto c = find(l, "CIToneCurve");
        return c ? (point(*c, 3).y() - point(*c, 1).y()) / 0.5 : 1.0;
    };
    auto flatList = autoAdjustmentFilters(flat);
    auto flatCurve = find(flatList, "CIToneCurve");
    ASSERT_NE(flatCurve, nullptr);
    EXPECT_LT(point(*flatCurve, 1).y(), 0.25);
    EXPECT_GT(point(*flatCurve, 3).y(), 0.75);
    EXPECT_GT(midSlope(flatList), 1.2);
    EXPECT_GT(midSlope(flatList), midSlope(catList) + 0.05);
    // The whole chain applies cleanly.
    Image adjusted = applyAll(astronaut, list);
    ASSERT_FALSE(adjusted.isNull());
    EXPECT_EQ(adjusted.extent(), astronaut.extent());
}

TEST(BuiltinColorAuto, AnInputComputedByEarlierStepsIsRenderedOnceForItsReadings) {
    const Image photo = loadPhoto("chelsea.png");
    ASSERT_FALSE(photo.isNull());
    const Image worked = photo.applyingFilter("CIColorControls", {{"inputContrast", 0.8}})
                             .applyingFilter("CIVibrance", {{"inputAmount", 0.3}})
                             .applyingFilter("CIGaussianBlur", {{"inputRadius", 2.0}})
                             .cropped(photo.extent());
    auto pixels = [](const Image& i) {
        auto bm = Context().render(i, i.extent());
        EXPECT_TRUE(bm.ok()) << bm.error();
        return bm.ok() ? std::move(*bm) : Bitmap{};
    };
    auto same = [](const Bitmap& a, const Bitmap& b) {
        return a.rect() == b.rect() &&
               std::equal(a.data(), a.data() + a.rect().area() * 4, b.data(), b.data() + b.rect().area() * 4);
    };

    // Held: a source with the same pixels, from which the analysis proposes the same filters, and
    // the adjusted result is the same.
    const Image held = renderedForRereading(worked);
    ASSERT_NE(held.node(), worked.node());
    EXPECT_EQ(held.node()->kind, NodeKind::Source);
    EXPECT_TRUE(same(pixels(held), pixels(worked)));
    const auto fromRecipe = autoAdjustmentFilters(worked), fromHeld = autoAdjustmentFilters(held);
    ASSERT_EQ(fromRecipe.size(), fromHeld.size());
    ASSERT_FALSE(fromRecipe.empty());
    EXPECT_TRUE(same(pixels(applyAll(worked, fromRecipe)), pixels(applyAll(held, fromHeld))));

    // Left as it is: a photo and one step on it (cheap to read again), and any input when the
    // memory budget is tight.
    EXPECT_EQ(renderedForRereading(photo).node(), photo.node());
    const Image oneStep = photo.applyingFilter("CIVibrance", {{"inputAmount", 0.3}});
    EXPECT_EQ(renderedForRereading(oneStep).node(), oneStep.node());
    memory::setLimit(8 * Bitmap::bytesFor(worked.extent().coveredPixels()) - 1);
    EXPECT_EQ(renderedForRereading(worked).node(), worked.node());
    memory::setLimit(0);
}
