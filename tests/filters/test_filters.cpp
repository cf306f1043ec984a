#include "FilterTestSupport.h"

#include "filters/ChannelFilters.h"

#include <thread>

using ftest::apply;
using ftest::pixelAt;
using ftest::render;

namespace {

// A colourful opaque picture with a gradient in every channel.
ci::Image gradient(int w = 24, int h = 16, int x0 = 0, int y0 = 0) {
    return ftest::picture(
        w, h,
        [w, h](int x, int y, float* p) {
            p[0] = 0.1f + 0.8f * x / w;
            p[1] = 0.1f + 0.8f * y / h;
            p[2] = 0.5f - 0.3f * x / w;
            p[3] = 1.0f;
        },
        x0, y0);
}

double difference(const ci::Image& a, const ci::Image& b) {
    return gwtest::maxDifference(render(a), render(b));
}

} // namespace

TEST(ContrastAndOpacity, Behaviour) {
    const ci::Image in = gradient();
    EXPECT_LT(difference(apply("ContrastFilter", in), in), 1e-6);
    // 8 passes unclamped: far stronger than the advertised maximum 4.
    const ci::Bitmap eight = render(apply("ContrastFilter", in, {{"inputContrast", 8.0}}));
    const ci::Bitmap four = render(apply("ContrastFilter", in, {{"inputContrast", 4.0}}));
    const auto p8 = pixelAt(eight, 0, 0), p4 = pixelAt(four, 0, 0);
    EXPECT_LT(p8[0], p4[0]);

    const ci::Image half = ftest::solid(4, 4, 0.3f, 0.2f, 0.1f, 0.5f);
    EXPECT_LT(difference(apply("OpacityFilter", half, {{"inputOpacity", 1.0}}), half), 1e-6);
    // Alpha halved, straight colour unchanged.
    EXPECT_PIXEL_NEAR(pixelAt(render(apply("OpacityFilter", half, {{"inputOpacity", 0.5}})), 1, 1), 0.15f,
                      0.1f, 0.05f, 0.25f, 1e-6);
    const ci::Image background = ftest::solid(4, 4, 0.0f, 0.5f, 1.0f, 1.0f);
    EXPECT_PIXEL_NEAR(pixelAt(render(apply("OpacityFilter", half,
                                           {{"inputOpacity", 0.0}, {"inputBackgroundImage", background}})),
                              2, 2),
                      0.0f, 0.5f, 1.0f, 1.0f, 1e-6);

    // One object read twice uses each time its own opacity.
    auto opacity = filters::makeFilter("OpacityFilter");
    opacity->setValue("inputImage", half);
    opacity->setValue("inputOpacity", 0.5);
    const ci::Image first = opacity->outputImage();
    opacity->setValue("inputOpacity", 0.2);
    const ci::Image second = opacity->outputImage();
    EXPECT_NEAR(pixelAt(render(first), 0, 0)[3], 0.25f, 1e-6);
    EXPECT_NEAR(pixelAt(render(second), 0, 0)[3], 0.1f, 1e-6);
}

TEST(UnsharpMask, StartValuesThresholdAndExtent) {
    const ci::Image in = gradient(20, 12, 3, -4);
    // Start values: amount 0, radius 0, threshold 0.
    const ci::Image out = apply("UnsharpMaskFilter", in);
    EXPECT_EQ(out.extent(), in.extent());
    EXPECT_LT(difference(out, in), 1e-5);

    // A thin bright line on grey: sharpened where it differs from its blur by more than the
    // threshold, untouched elsewhere.
    const ci::Image line = ftest::picture(21, 21, [](int x, int, float* p) {
        const float v = x == 10 ? 0.8f : 0.4f;
        p[0] = p[1] = p[2] = v;
        p[3] = 1;
    });
    const ci::Bitmap sharp = render(apply(
        "UnsharpMaskFilter", line, {{"inputAmount", 1.0}, {"inputRadius", 2.0}, {"inputThreshold", 0.05}}));
    EXPECT_GT(pixelAt(sharp, 10, 10)[0], 0.8f);
    EXPECT_LT(pixelAt(sharp, 9, 10)[0], 0.4f);
    EXPECT_NEAR(pixelAt(sharp, 2, 10)[0], 0.4f, 1e-6);
    const ci::Bitmap high = render(apply(
        "UnsharpMaskFilter", line, {{"inputAmount", 1.0}, {"inputRadius", 2.0}, {"inputThreshold", 5.0}}));
    EXPECT_NEAR(pixelAt(high, 10, 10)[0], 0.8f, 1e-6);
}

TEST(UnsharpMask, NoBrightBandAlongTheBorders) {
    // A flat picture has nothing to sharpen, right up to its edges. Blurring it without its
    // edges extended would mix in the transparent surroundings and lift every border pixel.
    const ci::Image flat = ftest::solid(64, 48, 0.3f, 0.3f, 0.3f);
    const ci::Image out = apply("UnsharpMaskFilter", flat,
                                {{"inputAmount", 2.0}, {"inputRadius", 20.0}, {"inputThreshold", 0.0}});
    EXPECT_EQ(out.extent(), flat.extent());
    EXPECT_LT(difference(out, flat), 1e-4);

    const ci::Image clarity = apply("ClarityFilter", flat, {{"inputClarity", 1.0}});
    ASSERT_FALSE(clarity.isNull());
    const ci::Bitmap bm = render(clarity, flat.extent());
    EXPECT_TRUE(ftest::allFinite(bm));
    EXPECT_NEAR(pixelAt(bm, 0, 0)[0], pixelAt(bm, 32, 24)[0], 1e-3);
}

TEST(BandShifters, StartValuesAndFrontEnds) {
    const ci::Image in = gradient();
    // Only an image: hues unchanged, saturation factor 0 turns grey at the largest channel.
    EXPECT_LT(difference(apply("ShiftHues", in), in), 1e-5);
    const ci::Bitmap grey = render(apply("ShiftSaturations", in));
    const ci::Bitmap src = render(in);
    for (int x : {0, 7, 23}) {
        const auto s = pixelAt(src, x, 5);
        const float mx = std::max({s[0], s[1], s[2]});
        EXPECT_PIXEL_NEAR(pixelAt(grey, x, 5), mx, mx, mx, 1.0f, 1e-5);
    }
    // ShiftHues turns a band: pure-ish blue by half a turn becomes yellow.
    const ci::Image blue = ftest::solid(2, 2, 0.27f, 0.27f, 0.9f);
    EXPECT_PIXEL_NEAR(pixelAt(render(apply("ShiftHues", blue, {{"inputBlue", 0.5}})), 0, 0), 0.9f, 0.9f,
                      0.27f, 1.0f, 1e-4);
    const ci::Image transparent = ftest::solid(2, 2, 0, 0, 0, 0);
    EXPECT_PIXEL_NEAR(pixelAt(render(apply("MultiBandHSV", transparent)), 1, 1), 0, 0, 0, 1, 1e-6);
}

TEST(ChannelFilters, ToneCurve) {
    const ci::Image in = gradient();
    EXPECT_LT(difference(apply("RGBChannelToneCurve", in), in), 2e-3);
    EXPECT_PIXEL_NEAR(pixelAt(render(apply("RGBChannelToneCurve", ftest::solid(2, 2, 0, 0, 0, 0))), 0, 0), 0,
                      0, 0, 1, 1e-6);
    // A curve on red only leaves green and blue alone.
    const ci::Bitmap red =
        render(apply("RGBChannelToneCurve", in, {{"inputRedYvalues", ci::Vector{0.2, 0.4, 0.6, 0.8, 1.0}}}));
    const ci::Bitmap src = render(in);
    EXPECT_GT(pixelAt(red, 3, 3)[0], pixelAt(src, 3, 3)[0] + 0.01f);
    EXPECT_NEAR(pixelAt(red, 3, 3)[1], pixelAt(src, 3, 3)[1], 2e-3);
    EXPECT_NEAR(pixelAt(red, 3, 3)[2], pixelAt(src, 3, 3)[2], 2e-3);
    // Short and long vectors: missing values read 0, extra values are ignored.
    const ci::Image shortCurve =
        apply("RGBChannelToneCurve", in, {{"inputGreenXvalues", ci::Vector{0, 0.5, 1}}});
    EXPECT_FALSE(shortCurve.isNull());
    EXPECT_TRUE(ftest::allFinite(render(shortCurve)));
    EXPECT_LT(difference(apply("RGBChannelToneCurve", in,
                               {{"inputBlueYvalues", ci::Vector{0, 0.25, 0.5, 0.75, 1, 7, 9}}}),
                         in),
              2e-3);
}

TEST(ChannelFilters, BrightnessContrastAberrationBlur) {
    const ci::Image in = gradient();
    const ci::Bitmap src = render(in);
    EXPECT_LT(difference(apply("RGBChannelBrightnessAndContrast", in), in), 1e-5);
    const ci::Bitmap bright =
        render(apply("RGBChannelBrightnessAndContrast", in, {{"inputRedBrightness", 0.5}}));
    EXPECT_NEAR(pixelAt(bright, 4, 4)[0], pixelAt(src, 4, 4)[0] + 0.5f, 1e-5);
    EXPECT_NEAR(pixelAt(bright, 4, 4)[1], pixelAt(src, 4, 4)[1], 1e-6);
    EXPECT_NEAR(pixelAt(bright, 4, 4)[2], pixelAt(src, 4, 4)[2], 1e-6);
    const ci::Bitmap blueContrast =
        render(apply("RGBChannelBrightnessAndContrast", in, {{"inputBlueContrast", 2.0}}));
    EXPECT_NEAR(pixelAt(blueContrast, 4, 4)[0], pixelAt(src, 4, 4)[0], 1e-6);
    EXPECT_GT(std::fabs(pixelAt(blueContrast, 4, 4)[2] - pixelAt(src, 4, 4)[2]), 0.01f);

    // Offsets: red straight up by the radius, green and blue 0.333 and 0.666 of a turn on.
    const ci::Affine red = filters::ChromaticAberration::channelOffset(0, 0, 2);
    const ci::Affine green = filters::ChromaticAberration::channelOffset(1, 0, 2);
    const ci::Affine blue = filters::ChromaticAberration::channelOffset(2, 0, 2);
    EXPECT_NEAR(red.tx, 0, 1e-12);
    EXPECT_NEAR(red.ty, 2, 1e-12);
    EXPECT_NEAR(green.tx, 1.7341, 1e-4);
    EXPECT_NEAR(green.ty, -0.9964, 1e-4);
    EXPECT_NEAR(blue.tx, -1.7278, 1e-4);
    EXPECT_NEAR(blue.ty, -1.0072, 1e-4);
    const ci::Affine turned = filters::ChromaticAberration::channelOffset(1, 6.283185307179586, 2);
    EXPECT_NEAR(turned.tx, green.tx, 1e-9);
    EXPECT_NEAR(turned.ty, green.ty, 1e-9);

    EXPECT_LT(difference(apply("ChromaticAberration", in, {{"inputRadius", 0.0}, {"inputAngle", 1.3}}), in),
              1e-5);
    const ci::Image fringed = apply("ChromaticAberration", in);
    EXPECT_EQ(fringed.extent(), in.extent());
    const ci::Bitmap f = render(fringed);
    EXPECT_NEAR(pixelAt(f, 10, 0)[0], 0.0f, 1e-6);
    EXPECT_NEAR(pixelAt(f, 10, 1)[0], 0.0f, 1e-6);
    EXPECT_NEAR(pixelAt(f, 10, 2)[0], pixelAt(src, 10, 0)[0], 1e-5);

    EXPECT_LT(difference(apply("RGBChannelGaussianBlur", in,
                               {{"inputRedRadius", 0}, {"inputGreenRadius", 0}, {"inputBlueRadius", 0}}),
                         in),
              1e-4);
    const ci::Image blurred = apply("RGBChannelGaussianBlur", in);
    EXPECT_EQ(blurred.extent(), in.extent());
    EXPECT_TRUE(ftest::allFinite(render(blurred)));
}

TEST(ColourBalance, TemperatureTintAndWhiteBalance) {
    const ci::Image in = gradient();
    // Equal neutral and target, and a neutral of 0 K, leave the picture alone.
    EXPECT_LT(difference(apply("WhiteBalanceFilter", in, {{"inputTemperature", 6500}, {"inputTint", 0}}), in),
              1e-5);
    EXPECT_LT(difference(apply("IMAdjustTemperature", in), in), 1e-5);
    EXPECT_LT(difference(apply("IMAdjustTint", in), in), 1e-5);
    EXPECT_GT(difference(apply("IMAdjustTemperature", in, {{"inputAmount", 3000}}), in), 1e-3);
    EXPECT_GT(difference(apply("IMAdjustTint", in, {{"inputAmount", 40}}), in), 1e-3);

    // Start values (0.02, 0.05) differ from the defaults (6500, 0).
    auto wb = filters::makeFilter("WhiteBalanceFilter");
    wb->setValue("inputImage", in);
    const ci::Image start = wb->outputImage();
    EXPECT_TRUE(ftest::allFinite(render(start)));
    wb->setDefaults();
    wb->setValue("inputImage", in);
    EXPECT_LT(difference(wb->outputImage(), in), 1e-5);

    for (double t : {0.0, 1e-9, 0.02, 1500.0, -300.0, 1e9})
        for (const char* name : {"WhiteBalanceFilter", "IMAdjustTemperature"}) {
            const std::string key =
                std::string(name) == "WhiteBalanceFilter" ? "inputTemperature" : "inputAmount";
            const ci::Image out = apply(name, in, {{key, t}});
            ASSERT_FALSE(out.isNull()) << name << " " << t;
            EXPECT_TRUE(ftest::allFinite(render(out))) << name << " " << t;
        }
}

TEST(ColourBalance, AutoAdjust) {
    const ci::Image photo = ftest::photo();
    const ci::Image once = apply("AutoAdjustFilter", photo);
    ASSERT_FALSE(once.isNull());
    EXPECT_EQ(once.extent(), photo.extent());
    EXPECT_TRUE(ftest::allFinite(render(once)));
    // A picture with nothing to analyse gets no proposal and comes back as it is.
    const ci::Image clear = ftest::solid(8, 8, 0, 0, 0, 0);
    EXPECT_EQ(apply("AutoAdjustFilter", clear), clear);
    const ci::Image twice = apply("AutoAdjustFilter", once);
    ASSERT_FALSE(twice.isNull());
    EXPECT_TRUE(ftest::allFinite(render(twice)));
}

TEST(SplitToning, PassThroughAndToning) {
    const ci::Image in = gradient();
    const ci::Dictionary off = {{"inputHighlightHue", 0.0},
                                {"inputHighlightSaturation", 0.0},
                                {"inputShadowHue", 0.0},
                                {"inputShadowSaturation", 0.0},
                                {"inputShadowBrightness", 0.9}};
    EXPECT_EQ(apply("SplitToningFilter", in, off), in);
    ci::Dictionary tiny = off;
    tiny["inputShadowHue"] = 0.001;
    EXPECT_EQ(apply("SplitToningFilter", in, tiny), in);
    ci::Dictionary negative = off;
    negative["inputShadowHue"] = -0.01;
    const ci::Image toned = apply("SplitToningFilter", in, negative);
    EXPECT_NE(toned, in);
    EXPECT_GT(difference(toned, in), 1e-3);
    // The start values tone the picture as well.
    EXPECT_GT(difference(apply("SplitToningFilter", in), in), 1e-3);
}

TEST(CentredVignette, CentredOnTheExtent) {
    // The same picture at the origin and moved away: the vignette moves with it.
    const ci::Image atOrigin = gradient(40, 30);
    const ci::Image moved = gradient(40, 30, 100, 50);
    const ci::Dictionary inputs = {{"inputRadius", 0.5}, {"inputIntensity", 1.0}, {"inputFalloff", 0.5}};
    const ci::Bitmap a = render(apply("CenteredVignetteFilter", atOrigin, inputs));
    const ci::Bitmap b = render(apply("CenteredVignetteFilter", moved, inputs));
    double worst = 0;
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x)
            for (int c = 0; c < 4; ++c)
                worst =
                    std::max(worst, double(std::fabs(pixelAt(a, x, y)[c] - pixelAt(b, x + 100, y + 50)[c])));
    EXPECT_LT(worst, 1e-6);
    // The centre is untouched and the corners darkened.
    const ci::Bitmap src = render(atOrigin);
    EXPECT_NEAR(pixelAt(a, 20, 15)[0], pixelAt(src, 20, 15)[0], 1e-5);
    EXPECT_LT(pixelAt(a, 0, 0)[0], pixelAt(src, 0, 0)[0] * 0.5f);
    // Intensity 0 changes nothing; an unbounded picture is passed through.
    EXPECT_LT(difference(apply("CenteredVignetteFilter", atOrigin, {{"inputIntensity", 0.0}}), atOrigin),
              1e-6);
    const ci::Image endless = atOrigin.clampedToExtent();
    EXPECT_EQ(apply("CenteredVignetteFilter", endless), endless);
}

TEST(FilmGrain, ThresholdsAndMessages) {
    const ci::Image in = gradient();
    gwtest::ConsoleCapture console;
    EXPECT_EQ(apply("FilmGrainFilter", in, {{"inputAmount", 0.9}, {"inputSize", 0.0}}), in);
    EXPECT_EQ(apply("FilmGrainFilter", in, {{"inputAmount", 0.01}, {"inputSize", 0.9}}), in);
    EXPECT_EQ(apply("FilmGrainFilter", in, {{"inputAmount", 0.9}, {"inputSize", 0.01}}), in);
    EXPECT_TRUE(console.lines().empty());
    // Above the thresholds the grain needs the speck filters, which the engine does not have:
    // the picture comes back unchanged with the stage's line.
    EXPECT_EQ(apply("FilmGrainFilter", in, {{"inputAmount", 0.0101}, {"inputSize", 0.5}}), in);
    EXPECT_TRUE(console.contains("NIL white specks image"));
}

TEST(FilmGrain, RendersOnManyThreadsAtOnce) {
    const ci::Image in = gradient();
    std::vector<std::thread> threads;
    std::atomic<int> unchanged{0};
    for (int t = 0; t < 6; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 40; ++i)
                if (apply("FilmGrainFilter", in, {{"inputAmount", 0.3}, {"inputSize", 0.4}}) == in)
                    ++unchanged;
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(unchanged.load(), 240);
}

TEST(FixedLooks, ChainsAndNoNaN) {
    const ci::Image photo = ftest::photo();
    for (const char* name : {"IMFX1", "CZAirFilter", "CZCrystalFilter", "CZVividFilter", "IMTestAction"}) {
        const ci::Image out = apply(name, photo);
        ASSERT_FALSE(out.isNull()) << name;
        const ci::Bitmap bm = render(out, photo.extent());
        EXPECT_TRUE(ftest::allFinite(bm)) << name;
        EXPECT_GT(gwtest::maxDifference(bm, render(photo)), 1e-3) << name;
    }
    // The blur of "Vivid" grows the extent: nothing is cropped.
    EXPECT_GT(apply("CZVividFilter", photo).extent().width(), photo.extent().width());
}

TEST(Kuwahara, ByName) {
    const ci::Image photo = ftest::photo();
    const ci::Image out = apply("FPKuwaharaFilter", photo, {{"inputRadius", 4}});
    EXPECT_EQ(out.extent(), photo.extent());
    EXPECT_TRUE(ftest::allFinite(render(out)));
}

TEST(OwnFilters, NoNaNOnAPhotoWithStartValues) {
    const ci::Image photo = ftest::photo();
    for (const char* name :
         {"IMAdjustTemperature", "IMAdjustTint", "MultiBandHSV", "SplitToningFilter", "FilmGrainFilter",
          "CenteredVignetteFilter", "UnsharpMaskFilter", "ClarityFilter", "RGBChannelToneCurve",
          "RGBChannelBrightnessAndContrast", "ChromaticAberration", "RGBChannelGaussianBlur",
          "WhiteBalanceFilter", "ContrastFilter", "OpacityFilter", "ShiftHues", "ShiftSaturations"}) {
        const ci::Image out = apply(name, photo);
        ASSERT_FALSE(out.isNull()) << name;
        EXPECT_TRUE(ftest::allFinite(render(out, photo.extent()))) << name;
    }
}
