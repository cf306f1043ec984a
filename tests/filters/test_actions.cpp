// The geometry actions, the action factory and the keyed-input contract of the actions.

#include "filters/FilterTestSupport.h"

#include "filters/Registry.h"

#include <mutex>

namespace {

const std::vector<std::string> kActionNames = {"IMCropAction",           "IMFlipHorizontallyAction",
                                               "IMFlipVerticallyAction", "IMResizeAction",
                                               "IMRotateAction",         "IMScaleAction",
                                               "IMWatermarkImageAction", "IMWatermarkImageFillAction",
                                               "IMWatermarkTextAction",  "IMWatermarkTextFillAction",
                                               "IMFacePixellate",        "IMFaceBlur"};

class ActionConstructor : public ci::FilterConstructor {
  public:
    std::shared_ptr<ci::Filter> filterWithName(const std::string& name) override {
        return filters::makeFilter(name);
    }
};

void registerActions() {
    static std::once_flag once;
    std::call_once(once, [] {
        ftest::ensureRegistered();
        for (const auto& name : kActionNames)
            ci::FilterRegistry::registerFilterName(name, std::make_shared<ActionConstructor>(),
                                                   ci::Attributes::object());
    });
}

ci::Image act(const std::string& name, const ci::Image& image, const ci::Dictionary& inputs = {}) {
    registerActions();
    return image.applyingFilter(name, inputs);
}

// Each pixel knows where it came from: red x / w, green y / h.
ci::Image ramp(int w, int h) {
    return ftest::picture(w, h, [w, h](int x, int y, float* p) {
        p[0] = (float(x) + 0.5f) / float(w);
        p[1] = (float(y) + 0.5f) / float(h);
        p[2] = 0.25f;
        p[3] = 1.0f;
    });
}

void expectExtent(const ci::Image& image, double x, double y, double w, double h, double tol = 1e-9) {
    ASSERT_FALSE(image.isNull());
    const ci::Rect e = image.extent();
    EXPECT_NEAR(e.x0, x, tol);
    EXPECT_NEAR(e.y0, y, tol);
    EXPECT_NEAR(e.width(), w, tol);
    EXPECT_NEAR(e.height(), h, tol);
}

} // namespace

TEST(ActionFactory, MakesEachActionByItsExactNameOnly) {
    for (const auto& name : kActionNames) {
        auto a = filters::makeFilter(name);
        auto b = filters::makeFilter(name);
        ASSERT_NE(a, nullptr) << name;
        EXPECT_NE(a, b) << name;
        // No input image: no output, for every action.
        EXPECT_TRUE(a->outputImage().isNull()) << name;
    }
    for (const char* other :
         {"CropAction", "imcropaction", "IMCropAction ", "IMFacePixellateAction", "FaceBlurAction", ""})
        EXPECT_EQ(filters::makeFilter(other), nullptr) << other;

    // Two objects of one name keep their own inputs.
    auto first = filters::makeFilter("IMScaleAction");
    auto second = filters::makeFilter("IMScaleAction");
    first->setValue("inputFactor", 0.5);
    EXPECT_EQ(first->value("inputFactor").toNumber(), 0.5);
    EXPECT_EQ(second->value("inputFactor").toNumber(), 1.0);
}

TEST(ActionFactory, StartValuesOfTheInputs) {
    auto resize = filters::makeFilter("IMResizeAction");
    EXPECT_EQ(resize->value("inputWidth").toNumber(), 0.0);
    EXPECT_EQ(resize->value("inputMaintainRatio").toBool(), true);
    EXPECT_EQ(filters::makeFilter("IMRotateAction")->value("inputAngle").toNumber(), 0.0);
    EXPECT_TRUE(filters::makeFilter("IMCropAction")->value("inputRectangleStart").isNone());

    auto mark = filters::makeFilter("IMWatermarkImageAction");
    EXPECT_EQ(mark->value("inputOpacity").toNumber(), 0.5);
    EXPECT_EQ(mark->value("inputAdaptive").toBool(), true);
    EXPECT_EQ(mark->value("inputSize").toNumber(), 100.0);
    auto fill = filters::makeFilter("IMWatermarkImageFillAction");
    EXPECT_EQ(fill->value("inputAngle").toNumber(), 45.0);

    auto text = filters::makeFilter("IMWatermarkTextAction");
    EXPECT_EQ(*text->value("inputWatermark").toString(), "");
    EXPECT_EQ(*text->value("inputFont").toString(), "");
    EXPECT_EQ(text->value("inputFontSize").toNumber(), 14.0);
    EXPECT_EQ(*text->value("inputFontColor").toColor(), (ci::Color{1, 1, 1, 1}));

    EXPECT_EQ(filters::makeFilter("IMFaceBlur")->value("inputSize").toNumber(), 15.0);
    EXPECT_EQ(filters::makeFilter("IMFacePixellate")->value("inputSize").toNumber(), 15.0);
}

TEST(ActionInputs, UnknownKeysAndWrongKindsDoNotStopAnything) {
    auto scale = filters::makeFilter("IMScaleAction");
    {
        gwtest::ConsoleCapture capture;
        EXPECT_EQ(scale->setValue("inputfactor", 3.0), ci::SetResult::UnknownKey);
        EXPECT_TRUE(capture.contains("Invalid key: inputfactor"));
    }
    EXPECT_EQ(scale->setValue("inputFactor", "two"), ci::SetResult::WrongKind);
    EXPECT_EQ(scale->value("inputFactor").toNumber(), 1.0);

    // Anything but an image clears the image; an absent value restores a number's start value.
    scale->setValue("inputImage", ramp(4, 4));
    EXPECT_FALSE(scale->outputImage().isNull());
    scale->setValue("inputImage", 1.0);
    EXPECT_TRUE(scale->outputImage().isNull());
    scale->setValue("inputFactor", 0.25);
    scale->setValue("inputFactor", ci::Value());
    EXPECT_EQ(scale->value("inputFactor").toNumber(), 1.0);

    // A step given a key its action does not have still renders.
    EXPECT_FALSE(act("IMFlipVerticallyAction", ramp(8, 6), {{"inputAmount", 2.0}}).isNull());
}

TEST(CropAction, KeepsTheRectangleBetweenTwoCornersWhereItLies) {
    const ci::Image image = ftest::solid(1000, 800, 0.2f, 0.4f, 0.6f);
    const ci::Vector a{300, 240}, b{700, 560};
    expectExtent(act("IMCropAction", image, {{"inputRectangleStart", a}, {"inputRectangleEnd", b}}), 300, 240,
                 400, 320);
    expectExtent(act("IMCropAction", image, {{"inputRectangleStart", b}, {"inputRectangleEnd", a}}), 300, 240,
                 400, 320);
    // Mixed corners (top-left and bottom-right) give the same rectangle.
    expectExtent(
        act("IMCropAction", image,
            {{"inputRectangleStart", ci::Vector{300, 560}}, {"inputRectangleEnd", ci::Vector{700, 240}}}),
        300, 240, 400, 320);
    // Only the part on the picture.
    expectExtent(
        act("IMCropAction", image,
            {{"inputRectangleStart", ci::Vector{-100, 600}}, {"inputRectangleEnd", ci::Vector{200, 1200}}}),
        0, 600, 200, 200);

    auto crop = filters::makeFilter("IMCropAction");
    crop->setValue("inputImage", image);
    crop->setValue("inputRectangleStart", a);
    EXPECT_TRUE(crop->outputImage().isNull()) << "without an end point";
    crop->setValue("inputRectangleEnd", ci::Vector{NAN, 10});
    EXPECT_TRUE(crop->outputImage().isNull());
    crop->setValue("inputRectangleEnd", b);
    const ci::Bitmap pixels = ftest::render(crop->outputImage());
    EXPECT_PIXEL_NEAR(ftest::pixelAt(pixels, 500, 400), 0.2f, 0.4f, 0.6f, 1.0f, 1e-6);
}

TEST(FlipActions, MirrorThePictureAndKeepItsSize) {
    const int w = 40, h = 30;
    const ci::Image image = ramp(w, h);
    const ci::Bitmap source = ftest::render(image);

    const ci::Image h1 = act("IMFlipHorizontallyAction", image);
    expectExtent(h1, 0, 0, w, h);
    const ci::Bitmap mirrored = ftest::render(h1);
    for (int y : {0, 13, h - 1})
        for (int x : {0, 7, w - 1})
            EXPECT_PIXEL_NEAR(ftest::pixelAt(mirrored, x, y), ftest::pixelAt(source, w - 1 - x, y)[0],
                              ftest::pixelAt(source, w - 1 - x, y)[1], 0.25f, 1.0f, 1e-5);
    // Twice gives the picture back.
    EXPECT_LT(gwtest::maxDifference(ftest::render(act("IMFlipHorizontallyAction", h1)), source), 1e-5);

    const ci::Image v1 = act("IMFlipVerticallyAction", image);
    expectExtent(v1, 0, 0, w, h);
    const ci::Bitmap upsideDown = ftest::render(v1);
    EXPECT_PIXEL_NEAR(ftest::pixelAt(upsideDown, 3, 0), ftest::pixelAt(source, 3, h - 1)[0],
                      ftest::pixelAt(source, 3, h - 1)[1], 0.25f, 1.0f, 1e-5);

    // A picture that does not start at the origin comes back at the origin.
    expectExtent(act("IMFlipVerticallyAction", image.translated(100, 50)), 0, 0, w, h);
}

TEST(ResizeAction, CoversTheBoxWithTheRatioAndStretchesWithout) {
    const ci::Image image = ftest::solid(4000, 3000, 0.5f, 0.5f, 0.5f);
    auto resized = [&](double width, double height, bool ratio) {
        return act("IMResizeAction", image,
                   {{"inputWidth", width}, {"inputHeight", height}, {"inputMaintainRatio", ratio}});
    };
    expectExtent(resized(800, 800, true), 0, 0, 1066, 800);
    expectExtent(resized(0, 600, true), 0, 0, 800, 600);
    expectExtent(resized(800, 800, false), 0, 0, 800, 800);
    // Sizes without pixels give no picture, never a failure of the program.
    EXPECT_TRUE(resized(0, 0, true).isNull());
    EXPECT_TRUE(resized(-5, 100, false).isNull());
    EXPECT_TRUE(resized(NAN, 100, false).isNull());
    EXPECT_TRUE(resized(INFINITY, INFINITY, true).isNull());

    // Stretching keeps the colour.
    const ci::Bitmap pixels = ftest::render(resized(800, 800, false));
    EXPECT_PIXEL_NEAR(ftest::pixelAt(pixels, 400, 400), 0.5f, 0.5f, 0.5f, 1.0f, 1e-4);
}

TEST(RotateAction, TurnsClockwiseByWholeDegreesIntoTheBoundingBox) {
    const int w = 400, h = 300;
    const ci::Image image = ramp(w, h);
    const ci::Bitmap source = ftest::render(image);

    const ci::Image quarter = act("IMRotateAction", image, {{"inputAngle", 90.0}});
    expectExtent(quarter, 0, 0, h, w);
    // Clockwise: the top-left corner of the picture goes to the top right.
    const ci::Bitmap turned = ftest::render(quarter);
    const auto topLeft = ftest::pixelAt(source, 0, h - 1);
    EXPECT_PIXEL_NEAR(ftest::pixelAt(turned, h - 1, w - 1), topLeft[0], topLeft[1], 0.25f, 1.0f, 1e-5);
    const auto bottomLeft = ftest::pixelAt(source, 0, 0);
    EXPECT_PIXEL_NEAR(ftest::pixelAt(turned, 0, w - 1), bottomLeft[0], bottomLeft[1], 0.25f, 1.0f, 1e-5);

    // -30 degrees: about 496.41 x 459.81, held in whole pixels, with transparent corners.
    const ci::Image slanted = act("IMRotateAction", image, {{"inputAngle", -30.0}});
    ASSERT_FALSE(slanted.isNull());
    EXPECT_NEAR(slanted.extent().width(), 496.41, 1.0);
    EXPECT_NEAR(slanted.extent().height(), 459.81, 1.0);
    const ci::Bitmap slantedPixels = ftest::render(slanted);
    EXPECT_NEAR(ftest::pixelAt(slantedPixels, 1, 1)[3], 0.0f, 1e-6);
    EXPECT_NEAR(ftest::pixelAt(slantedPixels, 248, 230)[3], 1.0f, 1e-5);

    // The angle is truncated toward zero.
    const ci::Bitmap at45 = ftest::render(act("IMRotateAction", image, {{"inputAngle", 45.0}}));
    const ci::Bitmap at459 = ftest::render(act("IMRotateAction", image, {{"inputAngle", 45.9}}));
    EXPECT_EQ(gwtest::maxDifference(at45, at459), 0.0);
    expectExtent(act("IMRotateAction", image, {{"inputAngle", -30.9}}), 0, 0, slanted.extent().width(),
                 slanted.extent().height());

    // Angles that are no whole number of degrees give no picture.
    EXPECT_TRUE(act("IMRotateAction", image, {{"inputAngle", NAN}}).isNull());
    EXPECT_TRUE(act("IMRotateAction", image, {{"inputAngle", 1e300}}).isNull());
    EXPECT_TRUE(act("IMRotateAction", image, {{"inputAngle", -INFINITY}}).isNull());
    // Huge but whole angles turn like their remainder.
    expectExtent(act("IMRotateAction", image, {{"inputAngle", 3600000000090.0}}), 0, 0, h, w);
}

TEST(ScaleAction, MultipliesBothSides) {
    const ci::Image image = ftest::solid(200, 100, 0.3f, 0.3f, 0.3f);
    expectExtent(act("IMScaleAction", image, {{"inputFactor", 1.0}}), 0, 0, 200, 100, 0.5);
    expectExtent(act("IMScaleAction", image, {{"inputFactor", 0.5}}), 0, 0, 100, 50, 0.5);
    expectExtent(act("IMScaleAction", image), 0, 0, 200, 100, 0.5);
    EXPECT_TRUE(act("IMScaleAction", image, {{"inputFactor", 0.0}}).isNull());
    EXPECT_TRUE(act("IMScaleAction", image, {{"inputFactor", NAN}}).isNull());
}
