#include "test_builtin_color_support.h"

#include "ci/builtin/ColorPipeline.h"
#include "ci/core/Context.h"
#include "ci/core/Filter.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <numbers>
#include <vector>

using namespace ci;
using namespace colortest;

namespace {

// One row of premultiplied pixels, placed at (x0, y0).

// A mix of ordinary, translucent, transparent and out-of-range pixels.
const std::vector<Px> kSample = {
    straight(0.2f, 0.5f, 0.8f, 1), straight(0.9f, 0.1f, 0.3f, 0.5f), {0, 0, 0, 0},
    straight(1, 1, 1, 1),          straight(0.04f, 0.02f, 0.0f, 1),  straight(1.7f, -0.2f, 0.5f, 0.25f)};

const char* kFamily[] = {"CIColorControls",   "CIExposureAdjust", "CIGammaAdjust",
                         "CIHueAdjust",       "CIVibrance",       "CITemperatureAndTint",
                         "CIToneCurve",       "CIColorMatrix",    "CIHighlightShadowAdjust",
                         "CIWhitePointAdjust"};

// Settings away from the defaults, one per filter, none of which touches alpha.
Dictionary changed(const std::string& name) {
    if (name == "CIColorControls")
        return {{"inputSaturation", 1.4}, {"inputBrightness", 0.1}, {"inputContrast", 1.5}};
    if (name == "CIExposureAdjust")
        return {{"inputEV", 1.5}};
    if (name == "CIGammaAdjust")
        return {{"inputPower", 2.2}};
    if (name == "CIHueAdjust")
        return {{"inputAngle", 1.0}};
    if (name == "CIVibrance")
        return {{"inputAmount", 0.7}};
    if (name == "CITemperatureAndTint")
        return {{"inputNeutral", Vector{4000, 20}}};
    if (name == "CIToneCurve")
        return {{"inputPoint1", Vector{0.25, 0.35}}, {"inputPoint3", Vector{0.75, 0.7}}};
    if (name == "CIColorMatrix")
        return {{"inputRVector", Vector{0.5, 0.5, 0, 0}}, {"inputBiasVector", Vector{0.1, 0, 0, 0}}};
    if (name == "CIHighlightShadowAdjust")
        return {{"inputShadowAmount", 0.6}, {"inputHighlightAmount", 0.5}};
    if (name == "CIWhitePointAdjust")
        return {{"inputColor", Color{1, 0.8, 0.6, 1}}};
    return {};
}

} // namespace

TEST(BuiltinColorAdjustment, DefaultsAreIdentities) {
    const Image src = row(kSample);
    for (const char* name : kFamily) {
        auto f = Filter::make(name);
        ASSERT_NE(f, nullptr) << name;
        f->setValue("inputImage", src);
        auto got = render(f->outputImage());
        ASSERT_EQ(got.size(), kSample.size()) << name;
        for (size_t i = 0; i < got.size(); ++i) {
            // The tone curve works on [0, 1] unless asked to extrapolate.
            if (std::string(name) == "CIToneCurve" && i == 5)
                continue;
            expectPx(got[i], kSample[i], 1e-6f, std::string(name) + " pixel " + std::to_string(i));
        }
        // setDefaults restores the identity after a change.
        for (const auto& [k, v] : changed(name))
            f->setValue(k, v);
        f->setDefaults();
        for (const auto& [k, v] : changed(name))
            EXPECT_FALSE(f->value(k).isNone()) << name << " " << k;
        f->setValue("inputImage", src);
        auto again = render(f->outputImage());
        ASSERT_EQ(again.size(), kSample.size());
        expectPx(again[0], kSample[0], 1e-6f, std::string(name) + " after setDefaults");
    }
    // The tone curve on the diagonal with extrapolation passes extended values through too.
    Px wide = one(row({kSample[5]}), "CIToneCurve", {{"inputExtrapolate", true}});
    expectPx(wide, kSample[5], 1e-5f, "extrapolated diagonal");
}

TEST(BuiltinColorAdjustment, HandComputedPixels) {
    // Colour controls: saturation to grey, then brightness and contrast, at half alpha.
    {
        Px p = one(row({straight(1, 0, 0, 0.5f)}), "CIColorControls", {{"inputSaturation", 0.0}});
        expectPx(p, straight(0.2126f, 0.2126f, 0.2126f, 0.5f), 1e-5f, "saturation 0");
        p = one(row({straight(0.2f, 0.2f, 0.2f, 0.5f)}), "CIColorControls",
                {{"inputBrightness", 0.1}, {"inputContrast", 2.0}});
        expectPx(p, straight(0.1f, 0.1f, 0.1f, 0.5f), 1e-5f, "brightness and contrast");
    }
    // Exposure: one stop doubles, unclamped.
    expectPx(one(row({straight(0.3f, 0.6f, 0.9f, 0.5f)}), "CIExposureAdjust", {{"inputEV", 1.0}}),
             straight(0.6f, 1.2f, 1.8f, 0.5f), 1e-5f, "exposure");
    // Gamma: a power of the unpremultiplied colour, sign kept.
    expectPx(one(row({straight(0.5f, -0.5f, 0.81f, 0.5f)}), "CIGammaAdjust", {{"inputPower", 2.0}}),
             straight(0.25f, -0.25f, 0.6561f, 0.5f), 1e-5f, "gamma");
    expectPx(one(row({straight(0.5f, 0.f, 0.25f, 1)}), "CIGammaAdjust", {{"inputPower", 0.5}}),
             straight(0.70710678f, 0.f, 0.5f, 1), 1e-5f, "gamma below 1");
    // Hue: a third of a turn takes red to green and keeps grey.
    expectPx(one(row({straight(1, 0, 0, 1)}), "CIHueAdjust", {{"inputAngle", 2 * std::numbers::pi / 3}}),
             straight(0, 1, 0, 1), 1e-5f, "hue red");
    expectPx(one(row({straight(0.4f, 0.4f, 0.4f, 0.5f)}), "CIHueAdjust", {{"inputAngle", 120.0}}),
             straight(0.4f, 0.4f, 0.4f, 0.5f), 1e-5f, "hue grey");
    // White point: white goes to the (linearised) colour.
    {
        float d = srgbDecode(0.5f);
        expectPx(
            one(row({straight(1, 1, 1, 1)}), "CIWhitePointAdjust", {{"inputColor", Color{1, 0.5, 0.5, 1}}}),
            straight(1, d, d, 1), 1e-5f, "white point");
    }
    // Colour matrix on the unpremultiplied colour; a negative alpha flows out unclamped.
    expectPx(one(row({straight(0.5f, 0.25f, 1, 1)}), "CIColorMatrix",
                 {{"inputAVector", Vector{0, 0, 0, -0.5}}, {"inputBiasVector", Vector{0.1, 0, 0, 0}}}),
             straight(0.6f, 0.25f, 1, -0.5f), 1e-5f, "matrix negative alpha");
    expectPx(one(row({straight(0.5f, 0.25f, 1, 0.5f)}), "CIColorMatrix",
                 {{"inputRVector", Vector{0, 1, 0, 0}}, {"inputGVector", Vector{0, 0, 0, 1}}}),
             straight(0.25f, 0.5f, 1, 0.5f), 1e-5f, "matrix swizzle");
}

TEST(BuiltinColorAdjustment, PerceptualFiltersFollowTheirFormulas) {
    auto D = [](float x) { return srgbDecode(x); };
    // Vibrance on an sRGB-encoded reddish colour (hue 0, outside the skin band).
    {
        float P[3] = {0.5f, 0.25f, 0.25f};
        float y = 0.2126f * P[0] + 0.7152f * P[1] + 0.0722f * P[2];
        float gain = 1 + 1.0f * 0.75f * 0.75f;
        Px want = straight(D(y + (P[0] - y) * gain), D(y + (P[1] - y) * gain), D(y + (P[2] - y) * gain), 1);
        expectPx(one(row({straight(D(P[0]), D(P[1]), D(P[2]), 1)}), "CIVibrance", {{"inputAmount", 1.0}}),
                 want, 1e-4f, "vibrance");
        // Greys never change; a negative amount desaturates uniformly.
        expectPx(one(row({straight(0.3f, 0.3f, 0.3f, 1)}), "CIVibrance", {{"inputAmount", 1.0}}),
                 straight(0.3f, 0.3f, 0.3f, 1), 1e-5f, "vibrance grey");
        Px grey = one(row({straight(0.8f, 0.2f, 0.1f, 1)}), "CIVibrance", {{"inputAmount", -1.0}});
        EXPECT_NEAR(grey[0], grey[1], 1e-5f);
        EXPECT_NEAR(grey[1], grey[2], 1e-5f);
    }
    // Highlight and shadow on a grey: the shadow lift Y^(2^-(shadow (1-Y)^2)).
    {
        float P = 0.2f;
        float y1 = std::pow(P, std::exp2(-1.f * (1 - P) * (1 - P)));
        Px p = one(row({straight(D(P), D(P), D(P), 0.5f)}), "CIHighlightShadowAdjust",
                   {{"inputShadowAmount", 1.0}});
        expectPx(p, straight(D(y1), D(y1), D(y1), 0.5f), 1e-4f, "shadow lift");
        float Q = 0.9f;
        float y2 = 1 - std::pow(1 - Q, std::exp2(-0.7f * Q * Q));
        p = one(row({straight(D(Q), D(Q), D(Q), 1)}), "CIHighlightShadowAdjust",
                {{"inputHighlightAmount", 0.3}});
        expectPx(p, straight(D(y2), D(y2), D(y2), 1), 1e-4f, "highlight pull");
        EXPECT_LT(p[0], D(Q));
        // Below black (left by an earlier sharpening) there is no tone to move: unchanged, not blown up.
        p = one(row({straight(-0.3f, -0.3f, 0.02f, 1)}), "CIHighlightShadowAdjust",
                {{"inputShadowAmount", -0.01}, {"inputHighlightAmount", 0.68}});
        expectPx(p, straight(-0.3f, -0.3f, 0.02f, 1), 1e-4f, "below black");
        // A saturated blue with red below black, as contrast leaves dark skies, has whatever
        // luma the red's deficit leaves it. From luma below zero to an in-gamut blue's, its lift
        // grows steadily from none to that blue's: no pixel turns dark, none flares up.
        const float blue = 0.3f;
        const float ceiling = one(row({straight(0, 0, D(blue), 1)}), "CIHighlightShadowAdjust",
                                  {{"inputShadowAmount", 0.5}})[2];
        float last = 0;
        for (int step = -10; step <= 217; ++step) {
            const float luma = step * 1e-4f, red = (0.0722f * blue - luma) / 0.2126f;
            const Px in = straight(-D(std::max(red, 0.f)), 0, D(blue), 1);
            p = one(row({in}), "CIHighlightShadowAdjust", {{"inputShadowAmount", 0.5}});
            EXPECT_GE(p[2], std::max(in[2], last) * (1 - 1e-5f)) << luma;
            EXPECT_LE(p[2], ceiling * (1 + 1e-5f)) << luma;
            last = p[2];
        }
        // With a radius the mask is the blurred luma: on a flat picture it is the pixel's own.
        Bitmap flat(IRect{0, 0, 8, 8});
        flat.fill(D(P), D(P), D(P), 1);
        auto out = render(Image::fromBitmap(std::move(flat))
                              .applyingFilter("CIHighlightShadowAdjust",
                                              {{"inputShadowAmount", 1.0}, {"inputRadius", 1.0}}));
        ASSERT_EQ(out.size(), 64u);
        expectPx(out[27], straight(D(y1), D(y1), D(y1), 1), 1e-4f, "shadow lift with radius");
        // Next to a bright area the blurred mask is brighter, so a dark pixel is lifted less.
        Bitmap half(IRect{0, 0, 40, 4});
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 40; ++x) {
                float v = D(x < 20 ? P : 0.9f);
                std::fill(half.pixel(x, y), half.pixel(x, y) + 3, v);
                half.pixel(x, y)[3] = 1;
            }
        const Image edge = Image::fromBitmap(std::move(half));
        auto sharp = render(edge.applyingFilter("CIHighlightShadowAdjust", {{"inputShadowAmount", 1.0}}));
        auto wide = render(edge.applyingFilter("CIHighlightShadowAdjust",
                                               {{"inputShadowAmount", 1.0}, {"inputRadius", 1.0}}));
        ASSERT_EQ(wide.size(), 160u);
        EXPECT_LT(wide[19][0], sharp[19][0] - 1e-3f);
        EXPECT_GT(wide[19][0], D(P));
    }
    // Tone curve in the square-root encoding: a straight line of slope 1/2 quarters the value.
    {
        Dictionary half = {{"inputPoint0", Vector{0, 0}},
                           {"inputPoint1", Vector{0.25, 0.125}},
                           {"inputPoint2", Vector{0.5, 0.25}},
                           {"inputPoint3", Vector{0.75, 0.375}},
                           {"inputPoint4", Vector{1, 0.5}}};
        expectPx(one(row({straight(0.36f, 0.64f, 0.04f, 0.5f)}), "CIToneCurve", half),
                 straight(0.09f, 0.16f, 0.01f, 0.5f), 1e-5f, "tone curve line");
        // Without extrapolation values leave [0, 1] clamped; with it the end slope continues.
        Px clamped = one(row({straight(4.f, -1.f, 0.f, 1)}), "CIToneCurve", half);
        expectPx(clamped, straight(0.25f, 0.f, 0.f, 1), 1e-5f, "tone curve clamps");
        Dictionary ex = half;
        ex["inputExtrapolate"] = true;
        expectPx(one(row({straight(4.f, 0.f, 0.f, 1)}), "CIToneCurve", ex), straight(1.f, 0, 0, 1), 1e-5f,
                 "tone curve extrapolates");
        // Points inside (0, 1) leave flat ends; unsorted points are sorted; the spline passes the knots.
        Dictionary inner = {{"inputPoint0", Vector{0.8, 0.9}},
                            {"inputPoint1", Vector{0.2, 0.1}},
                            {"inputPoint2", Vector{0.5, 0.6}},
                            {"inputPoint3", Vector{0.35, 0.3}},
                            {"inputPoint4", Vector{0.65, 0.8}}};
        auto px = render(row({straight(0.01f, 0.25f, 0.95f, 1), straight(0.1225f, 0.4225f, 0.5f, 1)})
                             .applyingFilter("CIToneCurve", inner));
        ASSERT_EQ(px.size(), 2u);
        expectPx(px[0], straight(0.01f, 0.36f, 0.81f, 1), 1e-5f, "flat ends and knot");
        expectPx(px[1], straight(0.09f, 0.64f, px[1][2], 1), 1e-5f, "knots");
    }
}

TEST(BuiltinColorAdjustment, VibranceSparesSkinTonesAroundTheHueWheel) {
    // Every hue in steps of 2.5 degrees, at saturations inside and outside the skin band, against
    // the formula with the full HSV hue, in double precision.
    auto expected = [](const std::array<double, 3>& P, double amount) {
        const double y = 0.2126 * P[0] + 0.7152 * P[1] + 0.0722 * P[2];
        const double mx = std::max({P[0], P[1], P[2]}), mn = std::min({P[0], P[1], P[2]});
        const double d = mx - mn, sat = std::clamp(d, 0.0, 1.0);
        double h = 0;
        if (d > 0) {
            if (mx == P[0])
                h = 60 * std::fmod((P[1] - P[2]) / d + 6, 6.0);
            else if (mx == P[1])
                h = 60 * ((P[2] - P[0]) / d + 2);
            else
                h = 60 * ((P[0] - P[1]) / d + 4);
        }
        const double skin = std::clamp(1 - std::abs(h - 25) / 20, 0.0, 1.0) *
                            std::clamp(1 - std::abs(sat - 0.35) / 0.30, 0.0, 1.0);
        const double gain = 1 + amount * (1 - sat) * (1 - sat) * (1 - 0.7 * skin);
        std::array<double, 3> out;
        for (int k = 0; k < 3; ++k)
            out[k] = srgbDecode(float(y + (P[k] - y) * gain));
        return out;
    };
    std::vector<Px> pixels;
    std::vector<std::array<double, 3>> encoded;
    for (const double sat : {0.1, 0.35, 0.5, 0.8})
        for (double h = 0; h < 360; h += 2.5) {
            // HSV with value 0.9: the sector's rising or falling component.
            const double v = 0.9, c = sat, x = c * (1 - std::abs(std::fmod(h / 60, 2.0) - 1)), m = v - c;
            const int sector = int(h / 60);
            const double rgb[6][3] = {{c, x, 0}, {x, c, 0}, {0, c, x}, {0, x, c}, {x, 0, c}, {c, 0, x}};
            const std::array<double, 3> P = {rgb[sector][0] + m, rgb[sector][1] + m, rgb[sector][2] + m};
            encoded.push_back(P);
            pixels.push_back(
                straight(srgbDecode(float(P[0])), srgbDecode(float(P[1])), srgbDecode(float(P[2])), 1));
        }
    const std::vector<Px> got = render(row(pixels).applyingFilter("CIVibrance", {{"inputAmount", 0.8}}));
    ASSERT_EQ(got.size(), pixels.size());
    for (size_t i = 0; i < got.size(); ++i) {
        const auto want = expected(encoded[i], 0.8);
        for (int k = 0; k < 3; ++k)
            EXPECT_NEAR(got[i][size_t(k)], want[size_t(k)], 2e-6) << "colour " << i << " channel " << k;
    }
    // The band is there: a skin tone (hue 25, saturation 0.35) gains less than a blue of the same
    // saturation.
    const size_t skinTone = 1 * 144 + 10, blue = 1 * 144 + 96;
    auto spread = [](const Px& p) { return std::max({p[0], p[1], p[2]}) - std::min({p[0], p[1], p[2]}); };
    EXPECT_LT(spread(got[skinTone]) / spread(pixels[skinTone]),
              0.9 * spread(got[blue]) / spread(pixels[blue]));
}

TEST(BuiltinColorAdjustment, TemperatureAndTint) {
    const Image grey = row({straight(0.5f, 0.5f, 0.5f, 1)});
    // A warm source white (3000 K) against daylight: the picture cools.
    Px cool = one(grey, "CITemperatureAndTint", {{"inputNeutral", Vector{3000, 0}}});
    EXPECT_LT(cool[0], cool[2]);
    // And the other way round it warms.
    Px warm = one(grey, "CITemperatureAndTint", {{"inputNeutral", Vector{10000, 0}}});
    EXPECT_GT(warm[0], warm[2]);
    // Equal ends are the identity even away from the default, in both notations.
    expectPx(one(grey, "CITemperatureAndTint",
                 {{"inputNeutral", Vector{4000, 30}}, {"inputTargetNeutral", Vector{4000, 30}}}),
             straight(0.5f, 0.5f, 0.5f, 1), 1e-6f, "equal neutrals");
    // A chromaticity near D65 against 6500 K is nearly neutral (D65 lies a little on the green
    // side of the locus, so green drops slightly).
    Px d65 = one(grey, "CITemperatureAndTint", {{"inputNeutral", Vector{0.3127, 0.3290}}});
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(d65[c], 0.5f, 0.05f);
    EXPECT_LT(d65[1], d65[0]);
    // A positive neutral tint turns the picture magenta.
    Px tint = one(grey, "CITemperatureAndTint", {{"inputNeutral", Vector{6500, 50}}});
    EXPECT_LT(tint[1], tint[0]);
    EXPECT_LT(tint[1], tint[2]);
    // Degenerate neutrals leave the picture alone.
    expectPx(one(grey, "CITemperatureAndTint", {{"inputNeutral", Vector{0, 0}}}),
             straight(0.5f, 0.5f, 0.5f, 1), 0, "zero kelvin");
    expectPx(one(grey, "CITemperatureAndTint", {{"inputTargetNeutral", Vector{-100, 10}}}),
             straight(0.5f, 0.5f, 0.5f, 1), 0, "negative kelvin");
}

TEST(BuiltinColorAdjustment, ExtentTransparencyAndMissingInput) {
    const Image src = row(kSample, 10, -3);
    for (const char* name : kFamily) {
        Image out = src.applyingFilter(name, changed(name));
        ASSERT_FALSE(out.isNull()) << name;
        EXPECT_EQ(out.extent(), src.extent()) << name;
        auto px = render(out);
        ASSERT_EQ(px.size(), kSample.size()) << name;
        expectPx(px[2], {0, 0, 0, 0}, 0, std::string(name) + " transparent");
        // A real change somewhere, so the settings above are not identities.
        EXPECT_GT(std::fabs(px[0][0] - kSample[0][0]) + std::fabs(px[0][1] - kSample[0][1]) +
                      std::fabs(px[0][2] - kSample[0][2]),
                  1e-3f)
            << name;

        auto f = Filter::make(name);
        for (const auto& [k, v] : changed(name))
            f->setValue(k, v);
        EXPECT_TRUE(f->outputImage().isNull()) << name;
    }
}

TEST(BuiltinColorAdjustment, ExtremeInputsGiveFiniteOutput) {
    const Image src = row({straight(0.5f, 0.2f, 0.9f, 1),
                           {0, 0, 0, 0},
                           straight(0, 0, 0, 1),
                           straight(1e6f, -1e6f, 3, 0.5f),
                           {1e-30f, 0, 0, 1e-30f}});
    const std::vector<std::pair<std::string, Dictionary>> cases = {
        {"CIColorControls", {{"inputSaturation", 1e30}, {"inputBrightness", -1e30}, {"inputContrast", 1e30}}},
        {"CIExposureAdjust", {{"inputEV", 1e6}}},
        {"CIExposureAdjust", {{"inputEV", -1e6}}},
        {"CIGammaAdjust", {{"inputPower", 0.0}}},
        {"CIGammaAdjust", {{"inputPower", -3.0}}},
        {"CIGammaAdjust", {{"inputPower", 1e9}}},
        {"CIHueAdjust", {{"inputAngle", 1e300}}},
        {"CIVibrance", {{"inputAmount", 1e9}}},
        {"CIVibrance", {{"inputAmount", -1e9}}},
        {"CITemperatureAndTint", {{"inputNeutral", Vector{1, 1e9}}}},
        {"CITemperatureAndTint",
         {{"inputNeutral", Vector{1e-9, 0}}, {"inputTargetNeutral", Vector{1e12, 0}}}},
        {"CITemperatureAndTint", {{"inputNeutral", Vector{0.5, 1e-12}}}},
        {"CIToneCurve",
         {{"inputPoint0", Vector{0.5, 0}}, {"inputPoint1", Vector{0.5, 1}}, {"inputPoint2", Vector{0.5, 3}}}},
        {"CIToneCurve", {{"inputPoint1", Vector{0.25, 1e20}}, {"inputExtrapolate", true}}},
        {"CIColorMatrix", {{"inputAVector", Vector{0, 0, 0, 1e30}}, {"inputRVector", Vector{1e30, 0, 0, 0}}}},
        {"CIHighlightShadowAdjust", {{"inputShadowAmount", 1e9}, {"inputHighlightAmount", -1e9}}},
        {"CIHighlightShadowAdjust", {{"inputShadowAmount", -1e9}, {"inputHighlightAmount", 1e9}}},
        {"CIWhitePointAdjust", {{"inputColor", Color{1e30, -1e30, 0, 1}}}},
    };
    for (const auto& [name, d] : cases) {
        Image out = src.applyingFilter(name, d);
        ASSERT_FALSE(out.isNull()) << name;
        for (const Px& p : render(out))
            for (float v : p)
                EXPECT_TRUE(std::isfinite(v)) << name;
    }
}

// The sRGB curves the perceptual filters work through, on whole blocks as the kernels call
// them: every lane, every mantissa eighth and power of two of the tables, the two sides of the
// linear part, lanes that need the general path mixed into ordinary ones, and short tails.
TEST(BuiltinColorAdjustment, SRGBCurvesFollowTheirFormulas) {
    using namespace ci::builtin::color;
    auto encoded = [](double x) {
        const double a = std::fabs(x);
        return std::copysign(a <= 0.0031308 ? 12.92 * a : 1.055 * std::pow(a, 1 / 2.4) - 0.055, x);
    };
    auto decoded = [](double x) {
        const double a = std::fabs(x);
        return std::copysign(a <= 0.04045 ? a / 12.92 : std::pow((a + 0.055) / 1.055, 2.4), x);
    };
    std::vector<float> values = {0.f,    -0.f,   0.0031308f, 0.0031309f, 0.04045f, 0.04046f,
                                 1.f,    -0.5f,  15.99f,     16.f,       100.f,    2047.f,
                                 2500.f, 1e-30f, -1e-20f,    3e5f,       -7.f,     0.999999f};
    for (double x = 1e-4; x < 40; x *= 1.0137)
        values.push_back(float(x));
    for (int e = -12; e <= 4; ++e) // both ends of every eighth of every table entry
        for (int j = 0; j <= 8; ++j) {
            const float v = std::ldexp(1.f + j / 8.f, e);
            values.push_back(v);
            values.push_back(std::nextafter(v, 0.f));
        }
    for (size_t start = 0; start < values.size(); start += kBlock) {
        for (int n : {kBlock, 13}) { // a whole block, and one with a tail
            const int count = std::min<int>(n, int(values.size() - start));
            Block enc{}, dec{};
            for (int i = 0; i < count; ++i) {
                const float v = values[start + i];
                enc.r[i] = enc.g[count - 1 - i] = enc.b[i] = v;
                dec.r[i] = dec.g[count - 1 - i] = dec.b[i] = v;
            }
            encode(enc, count, Space::SRGB);
            decode(dec, count, Space::SRGB);
            for (int i = 0; i < count; ++i) {
                const double v = values[start + i];
                const double e = encoded(v), d = decoded(v);
                // Bounds that the general path (processors without AVX2) meets as well; far above
                // white its error grows with the power of two, which no output shows.
                const double far = std::fabs(v) > 16 ? 3 : 1;
                EXPECT_NEAR(enc.r[i], e, far * 3e-7 * std::max(1.0, std::fabs(e))) << "encode " << v;
                EXPECT_NEAR(dec.r[i], d, far * 1.2e-6 * std::max(1.0, std::fabs(d))) << "decode " << v;
                EXPECT_EQ(enc.g[count - 1 - i], enc.r[i]);
                EXPECT_EQ(dec.b[i], dec.r[i]);
            }
        }
    }
    // Not-a-number and infinities go the general way without disturbing their neighbours.
    Block p{};
    const float special[8] = {0.5f, NAN, 0.5f, INFINITY, 0.5f, -INFINITY, 0.5f, 0.5f};
    std::copy(std::begin(special), std::end(special), p.r);
    encode(p, 8, Space::SRGB);
    for (int i : {0, 2, 4, 6, 7})
        EXPECT_NEAR(p.r[i], encoded(0.5), 3e-7);
}
