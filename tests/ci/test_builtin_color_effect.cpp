#include "test_builtin_color_support.h"

#include "ci/core/Context.h"
#include "ci/core/Filter.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>

using namespace ci;
using namespace colortest;

namespace {

float D(float x) {
    return srgbDecode(x);
}
float E(float x) {
    return srgbEncode(x);
}

const char* kEffects[] = {"CIColorInvert",      "CIMaskToAlpha",     "CIMinimumComponent",
                          "CIMaximumComponent", "CIColorMonochrome", "CISepiaTone",
                          "CIFalseColor",       "CIVignette",        "CIVignetteEffect"};

const char* kLooks[] = {"CIPhotoEffectChrome", "CIPhotoEffectFade",    "CIPhotoEffectInstant",
                        "CIPhotoEffectMono",   "CIPhotoEffectNoir",    "CIPhotoEffectProcess",
                        "CIPhotoEffectTonal",  "CIPhotoEffectTransfer"};

} // namespace

TEST(BuiltinColorEffect, HandComputedPixels) {
    const Px c = straight(0.2f, 0.5f, 0.8f, 0.5f);
    expectPx(one(row({c}), "CIColorInvert"), straight(0.8f, 0.5f, 0.2f, 0.5f), 1e-6f, "invert");
    expectPx(one(row({straight(1, 1, 1, 0.5f)}), "CIMaskToAlpha"), {0.5f, 0.5f, 0.5f, 0.5f}, 1e-6f,
             "mask white");
    expectPx(one(row({straight(0.5f, 0.5f, 0.5f, 1)}), "CIMaskToAlpha"), {0.5f, 0.5f, 0.5f, 0.5f}, 1e-6f,
             "mask grey");
    expectPx(one(row({straight(0, 0, 0, 1)}), "CIMaskToAlpha"), {0, 0, 0, 0}, 0, "mask black");
    expectPx(one(row({c}), "CIMinimumComponent"), {0.1f, 0.1f, 0.1f, 0.5f}, 1e-6f, "minimum");
    expectPx(one(row({c}), "CIMaximumComponent"), {0.4f, 0.4f, 0.4f, 0.5f}, 1e-6f, "maximum");

    // Monochrome: white at full intensity is plain greyscale; the default tints the luma.
    const float y = 0.2126f * 0.2f + 0.7152f * 0.5f + 0.0722f * 0.8f;
    expectPx(one(row({c}), "CIColorMonochrome", {{"inputColor", Color{1, 1, 1, 1}}}), straight(y, y, y, 0.5f),
             1e-6f, "monochrome white");
    expectPx(one(row({c}), "CIColorMonochrome", {{"inputIntensity", 0.5}}),
             straight(0.5f * (0.2f + y * D(0.6f)), 0.5f * (0.5f + y * D(0.45f)), 0.5f * (0.8f + y * D(0.3f)),
                      0.5f),
             1e-6f, "monochrome half");

    // Sepia on sRGB-encoded values.
    {
        float P[3] = {E(0.2f), E(0.5f), E(0.8f)};
        float ys = 0.299f * P[0] + 0.587f * P[1] + 0.114f * P[2];
        expectPx(one(row({c}), "CISepiaTone"), straight(D(1.2f * ys), D(ys), D(0.8f * ys), 0.5f), 1e-4f,
                 "sepia");
    }
    // False colour: black and white take the end colours (linearised); alpha multiplies in.
    expectPx(one(row({straight(0, 0, 0, 1)}), "CIFalseColor"), straight(D(0.3f), 0, 0, 1), 1e-6f,
             "false black");
    expectPx(one(row({straight(1, 1, 1, 0.5f)}), "CIFalseColor", {{"inputColor1", Color{0, 1, 0, 0.5}}}),
             straight(0, 1, 0, 0.25f), 1e-6f, "false white");
}

TEST(BuiltinColorEffect, Vignettes) {
    Bitmap bm(IRect{0, 0, 100, 100});
    bm.fill(0.5f, 0.5f, 0.5f, 1);
    const Image src = Image::fromBitmap(std::move(bm));
    auto at = [](const Image& img, int x, int y) {
        auto b = Context().render(img, Rect::make(x, y, 1, 1));
        const float* p = b->pixel(x, y);
        return Px{p[0], p[1], p[2], p[3]};
    };
    auto smooth = [](double e0, double e1, double x) {
        double t = std::clamp((x - e0) / (e1 - e0), 0.0, 1.0);
        return t * t * (3 - 2 * t);
    };
    // CIVignette: centre untouched, corner darkened by the smoothstep of the relative distance.
    Image v = src.applyingFilter("CIVignette", {{"inputIntensity", 1.0}});
    EXPECT_EQ(v.extent(), src.extent());
    expectPx(at(v, 50, 50), {0.5f, 0.5f, 0.5f, 1}, 1e-6f, "vignette centre");
    const double rho = std::hypot(49.5, 49.5) / (0.5 * std::hypot(100, 100));
    const float k = float(1 - smooth(0.3, 1.2, rho));
    expectPx(at(v, 0, 0), {0.5f * k, 0.5f * k, 0.5f * k, 1}, 1e-5f, "vignette corner");
    // Radius 0 darkens everywhere without NaN; an infinite input is returned as it is.
    expectPx(at(src.applyingFilter("CIVignette", {{"inputIntensity", 0.5}, {"inputRadius", 0.0}}), 50, 50),
             {0.25f, 0.25f, 0.25f, 1}, 1e-6f, "vignette radius 0");
    Image inf = src.clampedToExtent();
    EXPECT_EQ(inf.applyingFilter("CIVignette", {{"inputIntensity", 1.0}}), inf);

    // CIVignetteEffect with a hard edge (falloff 0) at radius 10 around (20, 20).
    Dictionary hard = {{"inputCenter", Vector{20, 20}}, {"inputRadius", 10.0}, {"inputFalloff", 0.0}};
    Image dark = src.applyingFilter("CIVignetteEffect", hard);
    expectPx(at(dark, 20, 20), {0.5f, 0.5f, 0.5f, 1}, 1e-6f, "inside the circle");
    expectPx(at(dark, 40, 20), {0, 0, 0, 1}, 1e-6f, "outside the circle");
    Dictionary light = hard;
    light["inputIntensity"] = -0.5;
    expectPx(at(src.applyingFilter("CIVignetteEffect", light), 40, 20), {0.75f, 0.75f, 0.75f, 1}, 1e-6f,
             "towards white");
    // A soft edge: the smoothstep between radius (1 - falloff) and (1 + falloff).
    Image soft = src.applyingFilter("CIVignetteEffect", {{"inputCenter", Vector{20.5, 20.5}},
                                                         {"inputRadius", 10.0},
                                                         {"inputFalloff", 0.5},
                                                         {"inputIntensity", 0.8}});
    const float ks = float(1 - 0.8 * smooth(5, 15, 10));
    expectPx(at(soft, 30, 20), {0.5f * ks, 0.5f * ks, 0.5f * ks, 1}, 1e-5f, "soft edge");
    // -0 with radius 0 and falloff 0 is the identity; radius 0 otherwise darkens all, no NaN.
    Image same = src.applyingFilter("CIVignetteEffect",
                                    {{"inputIntensity", -0.0}, {"inputRadius", 0.0}, {"inputFalloff", 0.0}});
    expectPx(at(same, 3, 3), {0.5f, 0.5f, 0.5f, 1}, 0, "negative zero");
    expectPx(
        at(src.applyingFilter("CIVignetteEffect", {{"inputRadius", 0.0}, {"inputFalloff", 0.0}}), 20, 20),
        {0, 0, 0, 1}, 0, "radius 0");
}

TEST(BuiltinColorEffect, PhotoLooks) {
    const float P[3] = {0.3f, 0.6f, 0.9f}; // sRGB-encoded
    const Px c = straight(D(P[0]), D(P[1]), D(P[2]), 0.5f);
    const float y = 0.2126f * P[0] + 0.7152f * P[1] + 0.0722f * P[2];
    auto S = [](float x, float k) { return x + (x * x * (3 - 2 * x) - x) * k; };
    auto grey = [](float v) { return straight(D(v), D(v), D(v), 0.5f); };
    expectPx(one(row({c}), "CIPhotoEffectTonal"), grey(y), 1e-4f, "tonal");
    expectPx(one(row({c}), "CIPhotoEffectMono"), grey(0.05f + 0.9f * y), 1e-4f, "mono");
    expectPx(one(row({c}), "CIPhotoEffectNoir"), grey(S(S(y, 1), 0.5f)), 1e-4f, "noir");
    {
        float q[3];
        for (int k = 0; k < 3; ++k)
            q[k] = S(y + (P[k] - y) * 1.35f, 0.35f);
        expectPx(one(row({c}), "CIPhotoEffectChrome"), straight(D(q[0]), D(q[1]), D(q[2]), 0.5f), 1e-4f,
                 "chrome");
    }
    {
        const float b[3] = {0.04f, 0.02f, 0.0f}, w[3] = {1.0f, 0.96f, 0.85f};
        float q[3];
        for (int k = 0; k < 3; ++k)
            q[k] = S(b[k] + (w[k] - b[k]) * (y + (P[k] - y) * 1.05f), 0.15f);
        expectPx(one(row({c}), "CIPhotoEffectTransfer"), straight(D(q[0]), D(q[1]), D(q[2]), 0.5f), 1e-4f,
                 "transfer");
    }
    // Each look: same extent, alpha kept, transparent stays transparent, values beyond [0, 1]
    // are clamped unless extrapolation is asked for.
    const Image src = row({c, {0, 0, 0, 0}, straight(2, 1, 1, 1), straight(1, 1, 1, 1)}, -4, 7);
    for (const char* name : kLooks) {
        Image out = src.applyingFilter(name, {});
        ASSERT_FALSE(out.isNull()) << name;
        EXPECT_EQ(out.extent(), src.extent()) << name;
        auto px = render(out);
        ASSERT_EQ(px.size(), 4u);
        EXPECT_FLOAT_EQ(px[0][3], 0.5f) << name;
        expectPx(px[1], {0, 0, 0, 0}, 0, std::string(name) + " transparent");
        expectPx(px[2], px[3], 1e-6f, std::string(name) + " clamped");
        auto ex = render(src.applyingFilter(name, {{"inputExtrapolate", true}}));
        EXPECT_GT(std::fabs(ex[2][0] - ex[3][0]), 1e-3f) << name;
        EXPECT_TRUE(Filter::make(name)->outputImage().isNull()) << name;
    }
}

TEST(BuiltinColorEffect, ExtentsTransparencyMissingInputAndExtremes) {
    const Image src = row({straight(0.2f, 0.5f, 0.8f, 1),
                           {0, 0, 0, 0},
                           straight(1e6f, -1e6f, 0.5f, 0.5f),
                           {1e-30f, 0, 0, 1e-30f}},
                          3, 4);
    gwtest::ConsoleCapture quiet; // not every effect has these keys
    for (const char* name : kEffects) {
        Image out = src.applyingFilter(name, {{"inputIntensity", 0.7}, {"inputCenter", Vector{3, 4}}});
        ASSERT_FALSE(out.isNull()) << name;
        EXPECT_EQ(out.extent(), src.extent()) << name;
        auto px = render(out);
        ASSERT_EQ(px.size(), 4u);
        expectPx(px[1], {0, 0, 0, 0}, 0, std::string(name) + " transparent");
        EXPECT_TRUE(Filter::make(name)->outputImage().isNull()) << name;
    }
    const std::vector<std::pair<std::string, Dictionary>> extremes = {
        {"CIColorMonochrome", {{"inputIntensity", 1e30}, {"inputColor", Color{1e20, 0, -1e20, 1}}}},
        {"CISepiaTone", {{"inputIntensity", -1e30}}},
        {"CIFalseColor", {{"inputColor0", Color{1e30, 0, 0, 1e30}}}},
        {"CIVignette", {{"inputIntensity", 1e30}, {"inputRadius", -1e30}}},
        {"CIVignette", {{"inputIntensity", 1.0}, {"inputRadius", 1e30}}},
        {"CIVignetteEffect", {{"inputRadius", 1e30}, {"inputFalloff", 1e30}, {"inputIntensity", -1e30}}},
        {"CIVignetteEffect", {{"inputRadius", -5.0}, {"inputFalloff", -1.0}}},
        {"CIColorInvert", {}},
        {"CIMaskToAlpha", {}},
        {"CIMinimumComponent", {}},
        {"CIMaximumComponent", {}},
    };
    for (const auto& [name, d] : extremes)
        for (const Px& p : render(src.applyingFilter(name, d)))
            for (float v : p)
                EXPECT_TRUE(std::isfinite(v)) << name;
    for (const char* name : kLooks)
        for (const Px& p : render(src.applyingFilter(name, {{"inputExtrapolate", true}})))
            for (float v : p)
                EXPECT_TRUE(std::isfinite(v)) << name;
}
