// The watermark actions: placement, adaptive size, opacity, the fill pattern and text.

#include "filters/FilterTestSupport.h"

#include "filters/Registry.h"
#include "filters/actions/WatermarkActions.h"

#include <QFont>

#include <algorithm>
#include <mutex>
#include <thread>

using filters::actions::boldSystemFont14;
using filters::actions::textWatermarkImage;
using filters::actions::watermarkOrigin;

namespace {

ci::Image act(const std::string& name, const ci::Image& image, const ci::Dictionary& inputs) {
    auto action = filters::makeFilter(name);
    EXPECT_NE(action, nullptr);
    action->setValue("inputImage", image);
    for (const auto& [key, value] : inputs)
        action->setValue(key, value);
    return action->outputImage();
}

const ci::Image kBlack = ftest::solid(1000, 800, 0, 0, 0);
const ci::Image kWhiteMark = ftest::solid(200, 100, 1, 1, 1);

// The rectangle where the rendered picture holds ink (any channel above the threshold).
struct Ink {
    int64_t x0 = INT64_MAX, y0 = INT64_MAX, x1 = INT64_MIN, y1 = INT64_MIN;
    double maxRed = 0, maxGreen = 0, maxBlue = 0;
    bool any() const { return x1 >= x0; }
    int64_t width() const { return x1 - x0 + 1; }
    int64_t height() const { return y1 - y0 + 1; }
};

Ink inkOf(const ci::Bitmap& bm, float threshold = 0.05f) {
    Ink ink;
    for (int64_t y = bm.rect().y0; y < bm.rect().y1; ++y)
        for (int64_t x = bm.rect().x0; x < bm.rect().x1; ++x) {
            const float* p = bm.pixel(x, y);
            if (std::max({p[0], p[1], p[2]}) <= threshold)
                continue;
            ink.x0 = std::min(ink.x0, x);
            ink.x1 = std::max(ink.x1, x);
            ink.y0 = std::min(ink.y0, y);
            ink.y1 = std::max(ink.y1, y);
            ink.maxRed = std::max(ink.maxRed, double(p[0]));
            ink.maxGreen = std::max(ink.maxGreen, double(p[1]));
            ink.maxBlue = std::max(ink.maxBlue, double(p[2]));
        }
    return ink;
}

} // namespace

TEST(WatermarkPlacement, NineCellsWithPaddingAndTheOriginForOtherCodes) {
    const std::pair<int64_t, ci::Point> expected[] = {
        {0, {10, 680}}, {1, {410, 680}}, {2, {790, 680}}, {3, {10, 370}}, {4, {410, 370}}, {5, {790, 370}},
        {6, {10, 20}},  {7, {410, 20}},  {8, {790, 20}},  {9, {0, 0}},    {-1, {0, 0}}};
    for (const auto& [code, at] : expected) {
        const ci::Point p = watermarkOrigin(1000, 800, 200, 100, 10, 20, code);
        EXPECT_EQ(p.x, at.x) << code;
        EXPECT_EQ(p.y, at.y) << code;
    }
    // Exact arithmetic: halves stay halves.
    const ci::Point centre = watermarkOrigin(101, 51, 10, 10, 0, 0, 4);
    EXPECT_EQ(centre.x, 45.5);
    EXPECT_EQ(centre.y, 20.5);
}

TEST(WatermarkImageAction, DrawsTheMarkInItsCellAtItsOwnSize) {
    for (int code : {0, 4, 8, 12}) {
        const ci::Point at = watermarkOrigin(1000, 800, 200, 100, 10, 20, code);
        const ci::Image out = act("IMWatermarkImageAction", kBlack,
                                  {{"inputWatermark", kWhiteMark},
                                   {"inputPlacement", ci::Vector{10, 20, double(code) + 0.7}},
                                   {"inputOpacity", 1.0},
                                   {"inputAdaptive", false}});
        ASSERT_FALSE(out.isNull()) << code;
        EXPECT_EQ(out.extent(), ci::Rect::make(0, 0, 1000, 800));
        const Ink ink = inkOf(ftest::render(out));
        ASSERT_TRUE(ink.any()) << code;
        EXPECT_EQ(ink.x0, int64_t(at.x)) << code;
        EXPECT_EQ(ink.y0, int64_t(at.y)) << code;
        EXPECT_EQ(ink.width(), 200) << code;
        EXPECT_EQ(ink.height(), 100) << code;
        EXPECT_NEAR(ink.maxRed, 1.0, 1e-5);
    }
    // Padding beyond the room pushes the mark partly off; the picture keeps its size.
    const ci::Image pushed = act("IMWatermarkImageAction", kBlack,
                                 {{"inputWatermark", kWhiteMark},
                                  {"inputPlacement", ci::Vector{900, 0, 6}},
                                  {"inputOpacity", 1.0},
                                  {"inputAdaptive", false}});
    EXPECT_EQ(pushed.extent(), ci::Rect::make(0, 0, 1000, 800));
    EXPECT_EQ(inkOf(ftest::render(pushed)).width(), 100);
}

TEST(WatermarkImageAction, OpacityAdaptiveSizeAndMissingInputs) {
    const ci::Image small = ftest::solid(200, 120, 0, 0, 0);
    const ci::Image mark = ftest::solid(20, 10, 1, 1, 1);
    auto marked = [&](const ci::Image& m, ci::Dictionary more) {
        ci::Dictionary inputs = {{"inputWatermark", m}, {"inputPlacement", ci::Vector{0, 0, 6}}};
        for (auto& [k, v] : more)
            inputs[k] = v;
        return act("IMWatermarkImageAction", small, inputs);
    };
    const ci::Bitmap source = ftest::render(small);
    EXPECT_EQ(gwtest::maxDifference(
                  ftest::render(marked(mark, {{"inputOpacity", 0.0}, {"inputAdaptive", false}})), source),
              0.0);
    const ci::Bitmap half = ftest::render(marked(mark, {{"inputOpacity", 0.5}, {"inputAdaptive", false}}));
    EXPECT_PIXEL_NEAR(ftest::pixelAt(half, 5, 5), 0.5f, 0.5f, 0.5f, 1.0f, 1e-4);

    // Adaptive: the shorter side becomes the size, the other keeps the proportion.
    const Ink tall = inkOf(ftest::render(marked(ftest::solid(5, 20, 1, 1, 1), {{"inputSize", 10.0}})));
    EXPECT_EQ(tall.width(), 10);
    EXPECT_EQ(tall.height(), 40);
    const Ink wide = inkOf(ftest::render(marked(ftest::solid(40, 10, 1, 1, 1), {{"inputSize", 10.0}})));
    EXPECT_EQ(wide.width(), 40);
    EXPECT_EQ(wide.height(), 10);

    // Missing or unusable inputs give no picture.
    EXPECT_TRUE(act("IMWatermarkImageAction", small, {{"inputPlacement", ci::Vector{0, 0, 6}}}).isNull());
    EXPECT_TRUE(act("IMWatermarkImageAction", small, {{"inputWatermark", mark}}).isNull());
    EXPECT_TRUE(marked(mark, {{"inputPlacement", ci::Vector{0, 0, NAN}}}).isNull());
    EXPECT_TRUE(marked(mark, {{"inputPlacement", ci::Vector{0, 0, 1e300}}}).isNull());
    EXPECT_TRUE(marked(mark, {{"inputSize", 0.0}}).isNull());
    EXPECT_TRUE(marked(mark, {{"inputSize", -INFINITY}}).isNull());
}

TEST(WatermarkImageFillAction, StaggeredPatternWithTheSquaredOpacity) {
    const ci::Image mark = ftest::solid(100, 50, 1, 1, 1);
    const ci::Image out = act("IMWatermarkImageFillAction", kBlack,
                              {{"inputWatermark", mark}, {"inputAdaptive", false}, {"inputAngle", 0.0}});
    ASSERT_FALSE(out.isNull());
    EXPECT_EQ(out.extent(), ci::Rect::make(0, 0, 1000, 800));
    const ci::Bitmap pixels = ftest::render(out);
    // The picture shows the square from (1000, 800) on: there row 13 of the pattern (from y 780,
    // shifted by 13 thirds of the mark) and its column 4 (from x 913.3) cover the first pixel, and
    // the gap to column 5 lies 13.3 to 33.3 pixels to the right.
    EXPECT_PIXEL_NEAR(ftest::pixelAt(pixels, 0, 0), 0.25f, 0.25f, 0.25f, 1.0f, 1e-4);
    EXPECT_PIXEL_NEAR(ftest::pixelAt(pixels, 20, 0), 0.0f, 0.0f, 0.0f, 1.0f, 1e-6);
    EXPECT_PIXEL_NEAR(ftest::pixelAt(pixels, 40, 0), 0.25f, 0.25f, 0.25f, 1.0f, 1e-4);
    // The row above (from y 40) has its gap a third of a mark further right, and rows are 10
    // pixels apart.
    EXPECT_PIXEL_NEAR(ftest::pixelAt(pixels, 40, 45), 0.25f, 0.25f, 0.25f, 1.0f, 1e-4);
    EXPECT_PIXEL_NEAR(ftest::pixelAt(pixels, 60, 45), 0.0f, 0.0f, 0.0f, 1.0f, 1e-6);
    EXPECT_PIXEL_NEAR(ftest::pixelAt(pixels, 80, 45), 0.25f, 0.25f, 0.25f, 1.0f, 1e-4);
    EXPECT_PIXEL_NEAR(ftest::pixelAt(pixels, 0, 35), 0.0f, 0.0f, 0.0f, 1.0f, 1e-6);

    // At full opacity the marks are opaque; without a mark there is no picture.
    const ci::Bitmap opaque = ftest::render(act(
        "IMWatermarkImageFillAction", kBlack,
        {{"inputWatermark", mark}, {"inputAdaptive", false}, {"inputAngle", 0.0}, {"inputOpacity", 1.0}}));
    EXPECT_PIXEL_NEAR(ftest::pixelAt(opaque, 0, 0), 1.0f, 1.0f, 1.0f, 1.0f, 1e-4);
    EXPECT_TRUE(act("IMWatermarkImageFillAction", kBlack, {}).isNull());
    EXPECT_TRUE(
        act("IMWatermarkImageFillAction", kBlack, {{"inputWatermark", mark}, {"inputAngle", NAN}}).isNull());
}

TEST(WatermarkText, InkOfTheRequestedColourAndSize) {
    QFont font(QStringLiteral("Helvetica"));
    font.setPointSizeF(40);
    const ci::Image red = textWatermarkImage("Glimmerworks", font, ci::Color{1, 0, 0, 1});
    ASSERT_FALSE(red.isNull());
    const Ink ink = inkOf(ftest::render(red));
    ASSERT_TRUE(ink.any());
    EXPECT_GT(ink.maxRed, 0.9);
    EXPECT_LT(ink.maxGreen, 1e-3);
    EXPECT_LT(ink.maxBlue, 1e-3);
    // Cap height to descender of a 40-point face: most of the size, never more than it.
    EXPECT_GT(ink.height(), 0.6 * 40);
    EXPECT_LT(ink.height(), 1.2 * 40);
    // The picture is the line's size: as high as one line of text.
    EXPECT_GE(red.extent().height(), 40);
    EXPECT_LE(red.extent().height(), 60);

    // Twice the size gives about twice the width.
    font.setPointSizeF(80);
    const Ink big = inkOf(ftest::render(textWatermarkImage("Glimmerworks", font, ci::Color{1, 0, 0, 1})));
    EXPECT_NEAR(double(big.width()) / double(ink.width()), 2.0, 0.15);

    // Nothing to draw, or no usable size: no picture.
    EXPECT_TRUE(textWatermarkImage("", font, ci::Color{1, 1, 1, 1}).isNull());
}

TEST(WatermarkTextAction, PlacesTheTextInItsCell) {
    const ci::Image picture = ftest::solid(400, 200, 0, 0, 0);
    auto text = [&](ci::Dictionary more) {
        ci::Dictionary inputs = {{"inputWatermark", "Created with Glimmerworks"},
                                 {"inputFont", "Helvetica"},
                                 {"inputFontSize", 20.0},
                                 {"inputFontColor", ci::Color{0, 0, 1, 1}},
                                 {"inputPlacement", ci::Vector{0, 0, 8}},
                                 {"inputOpacity", 1.0}};
        for (auto& [k, v] : more)
            inputs[k] = v;
        return act("IMWatermarkTextAction", picture, inputs);
    };
    const ci::Image out = text({});
    ASSERT_FALSE(out.isNull());
    EXPECT_EQ(out.extent(), ci::Rect::make(0, 0, 400, 200));
    const Ink ink = inkOf(ftest::render(out));
    ASSERT_TRUE(ink.any());
    EXPECT_GT(ink.maxBlue, 0.9);
    EXPECT_LT(ink.maxRed, 1e-3);
    // Bottom right: the line ends at the right edge and its descenders reach the bottom.
    EXPECT_GT(ink.x1, 390);
    EXPECT_LT(ink.y0, 8);
    EXPECT_LT(ink.y1, 30);

    // A family that is not installed still draws, in fontconfig's nearest face.
    EXPECT_TRUE(inkOf(ftest::render(text({{"inputFont", "No Such Family 12345"}}))).any());
    // Empty text leaves the picture as it is.
    EXPECT_EQ(gwtest::maxDifference(ftest::render(text({{"inputWatermark", ""}})), ftest::render(picture)),
              0.0);
    EXPECT_TRUE(text({{"inputFontSize", 0.0}}).isNull());
    EXPECT_TRUE(text({{"inputFontSize", NAN}}).isNull());
}

TEST(WatermarkTextFillAction, BlackBoldTextWhateverElseIsSet) {
    const ci::Image white = ftest::solid(300, 200, 1, 1, 1);
    const ci::Image out = act("IMWatermarkTextFillAction", white,
                              {{"inputWatermark", "Glimmerworks"},
                               {"inputAdaptive", false},
                               {"inputAngle", 0.0},
                               {"inputOpacity", 1.0},
                               {"inputFontColor", ci::Color{1, 0, 0, 1}},
                               {"inputFont", "Courier"}});
    ASSERT_FALSE(out.isNull());
    EXPECT_EQ(out.extent(), ci::Rect::make(0, 0, 300, 200));
    // Dark, neutral ink: the pixels that lost the most brightness are black.
    const ci::Bitmap pixels = ftest::render(out);
    float darkest = 1;
    bool neutral = true;
    for (int64_t y = 0; y < 200; ++y)
        for (int64_t x = 0; x < 300; ++x) {
            const float* p = pixels.pixel(x, y);
            darkest = std::min(darkest, p[0]);
            neutral = neutral && std::abs(p[0] - p[1]) < 1e-4 && std::abs(p[1] - p[2]) < 1e-4;
        }
    EXPECT_LT(darkest, 0.05f);
    EXPECT_TRUE(neutral);
    EXPECT_EQ(boldSystemFont14().pointSizeF(), 14);
    EXPECT_EQ(boldSystemFont14().weight(), QFont::Bold);
}

TEST(WatermarkText, DrawsTheSameOnSeveralThreadsAtOnce) {
    // Preview, export and the catalogue render on worker threads.
    QFont font(QStringLiteral("Helvetica"));
    font.setPointSizeF(30);
    const ci::Bitmap expected =
        ftest::render(textWatermarkImage("Glimmerworks 123", font, ci::Color{0, 1, 0, 1}));
    std::vector<ci::Bitmap> results(6);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < results.size(); ++i)
        threads.emplace_back([&, i] {
            QFont own(QStringLiteral("Helvetica"));
            own.setPointSizeF(30);
            for (int round = 0; round < 5; ++round)
                results[i] =
                    ftest::render(textWatermarkImage("Glimmerworks 123", own, ci::Color{0, 1, 0, 1}));
        });
    for (auto& t : threads)
        t.join();
    for (const auto& r : results)
        EXPECT_EQ(gwtest::maxDifference(r, expected), 0.0);
}
