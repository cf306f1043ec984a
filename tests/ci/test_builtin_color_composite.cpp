#include "test_builtin_color_support.h"

#include "ci/core/Context.h"
#include "ci/core/Filter.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>

using namespace ci;
using namespace colortest;

namespace {

Image solid(Rect r, Px p) {
    return Image::constant(p[0], p[1], p[2], p[3]).cropped(r);
}

Px blend(const std::string& name, Px s, Px d) {
    Image out = row({s}).applyingFilter(name, {{"inputBackgroundImage", row({d})}});
    EXPECT_FALSE(out.isNull()) << name;
    return pixelAt(out, 0, 0);
}

const char* kModes[] = {
    "CIColorBurnBlendMode", "CIColorDodgeBlendMode", "CIDarkenBlendMode",      "CIDifferenceBlendMode",
    "CIDivideBlendMode",    "CIExclusionBlendMode",  "CIHardLightBlendMode",   "CIHueBlendMode",
    "CILightenBlendMode",   "CILinearBurnBlendMode", "CILinearDodgeBlendMode", "CILuminosityBlendMode",
    "CIMultiplyBlendMode",  "CIOverlayBlendMode",    "CIPinLightBlendMode",    "CISaturationBlendMode",
    "CIScreenBlendMode",    "CISoftLightBlendMode",  "CISubtractBlendMode"};

} // namespace

TEST(BuiltinColorComposite, SeparableBlendModesOnOpaquePixels) {
    // B(Cb, Cs) with the background Cb = 0.6 and the source Cs = 0.3 (then 0.8), both opaque.
    struct Case {
        const char* name;
        float low, high; // results for Cs = 0.3 and Cs = 0.8
    };
    const float b = 0.6f;
    auto soft = [](float cb, float cs) {
        float d = cb <= 0.25f ? ((16 * cb - 12) * cb + 4) * cb : std::sqrt(cb);
        return cs <= 0.5f ? cb - (1 - 2 * cs) * cb * (1 - cb) : cb + (2 * cs - 1) * (d - cb);
    };
    const Case cases[] = {
        {"CIMultiplyBlendMode", 0.18f, 0.48f},
        {"CIScreenBlendMode", 0.72f, 0.92f},
        {"CIOverlayBlendMode", 1 - 2 * 0.4f * 0.7f, 1 - 2 * 0.4f * 0.2f},
        {"CIHardLightBlendMode", 2 * 0.6f * 0.3f, 1 - 2 * 0.4f * 0.2f},
        {"CISoftLightBlendMode", soft(b, 0.3f), soft(b, 0.8f)},
        {"CIDarkenBlendMode", 0.3f, 0.6f},
        {"CILightenBlendMode", 0.6f, 0.8f},
        {"CIColorDodgeBlendMode", 0.6f / 0.7f, 1.f},
        {"CIColorBurnBlendMode", 0.f, 1 - 0.4f / 0.8f},
        {"CIDifferenceBlendMode", 0.3f, 0.2f},
        {"CIExclusionBlendMode", 0.9f - 2 * 0.18f, 1.4f - 2 * 0.48f},
        {"CIDivideBlendMode", 2.f, 0.75f},
        {"CILinearBurnBlendMode", -0.1f, 0.4f},
        {"CILinearDodgeBlendMode", 0.9f, 1.4f},
        {"CIPinLightBlendMode", 0.6f, 0.6f},
        {"CISubtractBlendMode", 0.3f, -0.2f},
    };
    for (const Case& c : cases) {
        expectPx(blend(c.name, grey(0.3f, 1), grey(b, 1)), grey(c.low, 1), 1e-5f,
                 std::string(c.name) + " low");
        expectPx(blend(c.name, grey(0.8f, 1), grey(b, 1)), grey(c.high, 1), 1e-5f,
                 std::string(c.name) + " high");
    }
    // Division by zero and the edges of dodge and burn stay finite and defined.
    expectPx(blend("CIDivideBlendMode", grey(0, 1), grey(0.5f, 1)), grey(1, 1), 0, "divide by zero");
    expectPx(blend("CIDivideBlendMode", grey(0, 1), grey(0, 1)), grey(0, 1), 0, "zero by zero");
    expectPx(blend("CIColorDodgeBlendMode", grey(1, 1), grey(0.5f, 1)), grey(1, 1), 0, "dodge by white");
    expectPx(blend("CIColorDodgeBlendMode", grey(1, 1), grey(0, 1)), grey(0, 1), 0, "dodge black by white");
    expectPx(blend("CIColorBurnBlendMode", grey(0, 1), grey(1, 1)), grey(1, 1), 0, "burn white by black");
}

TEST(BuiltinColorComposite, PremultipliedAlphaCompositing) {
    // (1 - ab) cs + (1 - as) cb + as ab B, alpha as + ab - as ab.
    Px out = blend("CIMultiplyBlendMode", grey(0.5f, 0.5f), grey(0.5f, 0.8f));
    expectPx(out, {0.35f, 0.35f, 0.35f, 0.9f}, 1e-5f, "translucent multiply");
    // A transparent source leaves the background; over a transparent background the source shows.
    expectPx(blend("CIColorBurnBlendMode", {0, 0, 0, 0}, grey(0.4f, 0.6f)), grey(0.4f, 0.6f), 1e-6f,
             "transparent source");
    expectPx(blend("CIDifferenceBlendMode", grey(0.4f, 0.6f), {0, 0, 0, 0}), grey(0.4f, 0.6f), 1e-6f,
             "transparent background");
    expectPx(blend("CIScreenBlendMode", {0, 0, 0, 0}, {0, 0, 0, 0}), {0, 0, 0, 0}, 0, "both transparent");
    // A negative source alpha over an opaque background gives Cb + as (B - Cb).
    expectPx(blend("CIMultiplyBlendMode", grey(0.5f, -0.5f), grey(0.8f, 1)), grey(1.0f, 1), 1e-5f,
             "negative source alpha");
    expectPx(blend("CIOverlayBlendMode", grey(0.3f, -0.5f), grey(0.2f, 1)),
             grey(0.2f - 0.5f * (2 * 0.2f * 0.3f - 0.2f), 1), 1e-5f, "negative alpha overlay");
}

TEST(BuiltinColorComposite, NonSeparableBlendModes) {
    // Luminosity of grey onto red: the red is lightened and clipped back into range.
    expectPx(blend("CILuminosityBlendMode", grey(0.5f, 1), straight(1, 0, 0, 1)),
             straight(1, 0.5f - 0.3f * 0.5f / 0.7f, 0.5f - 0.3f * 0.5f / 0.7f, 1), 1e-5f, "luminosity");
    // Saturation of a grey source makes the background grey at its own luma.
    expectPx(blend("CISaturationBlendMode", grey(0.5f, 1), straight(1, 0, 0, 1)), grey(0.3f, 1), 1e-5f,
             "saturation");
    // Hue of green onto red: green at red's saturation and luma (clipped below zero).
    expectPx(blend("CIHueBlendMode", straight(0, 1, 0, 1), straight(1, 0, 0, 1)),
             straight(0, 0.3f + 0.41f * 0.3f / 0.59f, 0, 1), 1e-5f, "hue");
    expectPx(blend("CIHueBlendMode", straight(0, 1, 0, 1), grey(0.5f, 1)), grey(0.5f, 1), 1e-5f,
             "hue onto grey");
}

TEST(BuiltinColorComposite, CompositingFiltersAndExtents) {
    const Image fg = solid(Rect::make(0, 0, 2, 2), grey(0.5f, 0.5f));
    const Image bg = solid(Rect::make(1, 1, 2, 2), straight(1, 0, 0, 1));
    // Source over: S + D (1 - as), union extent.
    Image over = fg.applyingFilter("CISourceOverCompositing", {{"inputBackgroundImage", bg}});
    EXPECT_EQ(over.extent(), Rect::make(0, 0, 3, 3));
    expectPx(pixelAt(over, 1, 1), {0.75f, 0.25f, 0.25f, 1}, 1e-6f, "over");
    expectPx(pixelAt(over, 0, 0), grey(0.5f, 0.5f), 1e-6f, "only the source");
    expectPx(pixelAt(over, 2, 2), straight(1, 0, 0, 1), 1e-6f, "only the background");
    expectPx(pixelAt(over, 2, 0), {0, 0, 0, 0}, 0, "neither");
    // Multiply compositing: component product over the intersection.
    Image mul = fg.applyingFilter("CIMultiplyCompositing", {{"inputBackgroundImage", bg}});
    EXPECT_EQ(mul.extent(), Rect::make(1, 1, 1, 1));
    expectPx(pixelAt(mul, 1, 1), {0.25f, 0, 0, 0.5f}, 1e-6f, "multiply compositing");
    // Blend modes: union extent, each side alone where the other is absent.
    for (const char* name : kModes) {
        Image out = fg.applyingFilter(name, {{"inputBackgroundImage", bg}});
        ASSERT_FALSE(out.isNull()) << name;
        EXPECT_EQ(out.extent(), Rect::make(0, 0, 3, 3)) << name;
        expectPx(pixelAt(out, 0, 0), grey(0.5f, 0.5f), 1e-6f, std::string(name) + " source only");
        expectPx(pixelAt(out, 2, 2), straight(1, 0, 0, 1), 1e-6f, std::string(name) + " background only");
        expectPx(pixelAt(out, 0, 2), {0, 0, 0, 0}, 0, std::string(name) + " outside");
        EXPECT_TRUE(fg.applyingFilter(name, {}).isNull()) << name;
        auto f = Filter::make(name);
        f->setValue("inputBackgroundImage", bg);
        EXPECT_TRUE(f->outputImage().isNull()) << name;
    }
    // Blend with mask: the mask's green picks the foreground; extent bg + (fg & mask).
    Bitmap m(IRect{0, 0, 3, 1});
    float* p = m.pixel(0, 0);
    const float mk[12] = {1, 0, 1, 1, 0, 1, 0, 1, 0, 0.25f, 0, 1};
    std::copy(mk, mk + 12, p);
    const Image mask = Image::fromBitmap(std::move(m));
    const Image wide = solid(Rect::make(0, 0, 3, 1), grey(0.8f, 1));
    const Image back = solid(Rect::make(0, 0, 3, 1), grey(0.2f, 0.5f));
    Image bw =
        wide.applyingFilter("CIBlendWithMask", {{"inputBackgroundImage", back}, {"inputMaskImage", mask}});
    EXPECT_EQ(bw.extent(), Rect::make(0, 0, 3, 1));
    expectPx(pixelAt(bw, 0, 0), grey(0.2f, 0.5f), 1e-6f, "mask green 0");
    expectPx(pixelAt(bw, 1, 0), grey(0.8f, 1), 1e-6f, "mask green 1");
    expectPx(pixelAt(bw, 2, 0), {0.25f * 0.8f + 0.75f * 0.1f, 0.275f, 0.275f, 0.25f + 0.75f * 0.5f}, 1e-6f,
             "mask quarter");
    Image partial =
        solid(Rect::make(-5, 0, 10, 1), grey(0.8f, 1))
            .applyingFilter("CIBlendWithMask", {{"inputBackgroundImage", back}, {"inputMaskImage", mask}});
    EXPECT_EQ(partial.extent(), Rect::make(0, 0, 3, 1));
    EXPECT_TRUE(wide.applyingFilter("CIBlendWithMask", {{"inputBackgroundImage", back}}).isNull());
    for (const char* name : {"CISourceOverCompositing", "CIMultiplyCompositing"})
        EXPECT_TRUE(fg.applyingFilter(name, {}).isNull()) << name;
}

TEST(BuiltinColorComposite, ExtremePixelsGiveFiniteOutput) {
    const std::vector<Px> values = {{0, 0, 0, 0},
                                    grey(1, 1),
                                    grey(0, 1),
                                    grey(0.5f, 1e-30f),
                                    {1, 1, 1, 1e-30f},
                                    grey(1e30f, 1),
                                    grey(-1e30f, 0.5f),
                                    grey(0.9999999f, 1),
                                    {0.3f, -0.2f, 5, 1},
                                    grey(0.5f, -0.5f),
                                    {1e-38f, 1e-38f, 0, 1e-38f}};
    std::vector<Px> srcs, dsts;
    for (const Px& s : values)
        for (const Px& d : values) {
            srcs.push_back(s);
            dsts.push_back(d);
        }
    const Image s = row(srcs), d = row(dsts);
    std::vector<std::string> names(std::begin(kModes), std::end(kModes));
    names.insert(names.end(), {"CISourceOverCompositing", "CIMultiplyCompositing"});
    for (const std::string& name : names) {
        auto b = Context().render(s.applyingFilter(name, {{"inputBackgroundImage", d}}), s.extent());
        ASSERT_TRUE(b.ok()) << name;
        for (size_t i = 0; i < srcs.size() * 4; ++i)
            ASSERT_TRUE(std::isfinite(b->data()[i])) << name << " at " << i / 4;
    }
}
