#include "test_builtin_color_support.h"

#include "ci/core/Context.h"
#include "ci/core/Filter.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>

using namespace ci;
using namespace colortest;

namespace {

Image generate(const std::string& name, const Dictionary& d = {}) {
    auto f = Filter::make(name);
    EXPECT_NE(f, nullptr) << name;
    for (const auto& [k, v] : d)
        f->setValue(k, v);
    return f->outputImage();
}

} // namespace

TEST(BuiltinColorGenerator, RadialGradient) {
    Image g = generate("CIRadialGradient");
    ASSERT_FALSE(g.isNull());
    EXPECT_TRUE(g.extent().isInfinite());
    // Defaults: white inside radius 5 around (150, 150), black beyond 100.
    expectPx(pixelAt(g, 150, 150), {1, 1, 1, 1}, 1e-6f, "centre");
    expectPx(pixelAt(g, 400, 150), {0, 0, 0, 1}, 1e-6f, "outside");
    // Half way along the ramp: the mean of the linearised, premultiplied colours.
    Image h = generate("CIRadialGradient", {{"inputCenter", Vector{0.5, 0.5}},
                                            {"inputRadius0", 10.0},
                                            {"inputRadius1", 30.0},
                                            {"inputColor0", Color{1, 0, 0, 1}},
                                            {"inputColor1", Color{0, 0, 1, 0.5}}});
    expectPx(pixelAt(h, 20, 0), {0.5f, 0, 0.25f, 0.75f}, 1e-5f, "middle");
    // Reversed radii reverse the ramp; equal radii give a step; zero radii give no NaN.
    Image r = generate("CIRadialGradient",
                       {{"inputCenter", Vector{0.5, 0.5}}, {"inputRadius0", 30.0}, {"inputRadius1", 10.0}});
    expectPx(pixelAt(r, 5, 0), {0, 0, 0, 1}, 1e-6f, "reversed inside");
    expectPx(pixelAt(r, 40, 0), {1, 1, 1, 1}, 1e-6f, "reversed outside");
    Image step =
        generate("CIRadialGradient",
                 {{"inputCenter", Vector{0.5, 0.5}}, {"inputRadius0", 10.0}, {"inputRadius1", 10.0}});
    expectPx(pixelAt(step, 9, 0), {1, 1, 1, 1}, 0, "step inside");
    expectPx(pixelAt(step, 10, 0), {0, 0, 0, 1}, 0, "step outside");
    Image zero = generate("CIRadialGradient",
                          {{"inputCenter", Vector{0.5, 0.5}}, {"inputRadius0", 0.0}, {"inputRadius1", 0.0}});
    auto b = Context().render(zero, Rect::make(-2, -2, 5, 5));
    ASSERT_TRUE(b.ok());
    for (int i = 0; i < 25 * 4; ++i)
        EXPECT_TRUE(std::isfinite(b->data()[i]));
    expectPx(pixelAt(zero, 0, 0), {0, 0, 0, 1}, 0, "zero radii");
}

TEST(BuiltinColorGenerator, RandomAndConstant) {
    Image noise = generate("CIRandomGenerator");
    ASSERT_FALSE(noise.isNull());
    EXPECT_TRUE(noise.extent().isInfinite());
    const Rect area = Rect::make(-64, 100, 128, 96);
    auto a = Context().render(noise, area);
    auto b = Context(Context::Options{32, 1}).render(generate("CIRandomGenerator"), area);
    ASSERT_TRUE(a.ok() && b.ok());
    // The same noise on every render, whatever the tiling.
    EXPECT_EQ(gwtest::maxDifference(*a, *b), 0.0);
    double sum[4] = {0, 0, 0, 0};
    const size_t n = size_t(a->rect().area());
    for (size_t i = 0; i < n; ++i)
        for (int c = 0; c < 4; ++c) {
            float v = a->data()[4 * i + c];
            ASSERT_GE(v, 0.f);
            ASSERT_LT(v, 1.f);
            sum[c] += v;
        }
    for (int c = 0; c < 4; ++c)
        EXPECT_NEAR(sum[c] / double(n), 0.5, 0.02);
    // Channels and neighbours are independent values.
    EXPECT_NE(a->data()[0], a->data()[1]);
    EXPECT_NE(a->data()[0], a->data()[4]);

    Image c = generate("CIConstantColorGenerator", {{"inputColor", Color{1, 0.5, 0, 0.5}}});
    EXPECT_TRUE(c.extent().isInfinite());
    expectPx(pixelAt(c, -1000, 77), {0.5f, 0.5f * srgbDecode(0.5f), 0, 0.5f}, 1e-6f, "constant");
    expectPx(pixelAt(generate("CIConstantColorGenerator"), 3, 3), {1, 0, 0, 1}, 1e-6f, "default red");
    Image huge = generate("CIConstantColorGenerator", {{"inputColor", Color{1e300, -1e300, 0, 1}}});
    for (float v : pixelAt(huge, 0, 0))
        EXPECT_TRUE(std::isfinite(v));
}
