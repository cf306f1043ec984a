#include "FilterTestSupport.h"

#include "filters/Kernels.h"

#include <random>

using namespace filters::kernels;

namespace {

BandShifts identityShifts() {
    BandShifts s;
    s.fill({0.0f, 1.0f, 1.0f});
    return s;
}

std::array<float, 4> hsv(std::array<float, 4> in, const BandShifts& s) {
    std::array<float, 4> out{};
    multiBandHSVPixel(in.data(), s, out.data());
    return out;
}

} // namespace

TEST(ChannelCompositing, TakesOneChannelFromEachImageOverTheUnion) {
    const ci::Image red = ftest::solid(4, 4, 0.1f, 0.2f, 0.3f, 1.0f);
    const ci::Image green = ftest::solid(4, 4, 0.4f, 0.5f, 0.6f, 0.5f, 2, 0);
    const ci::Image blue = ftest::solid(2, 2, 0.7f, 0.8f, 0.9f, 1.0f, 0, 6);
    const ci::Image out = compositeChannels(red, green, blue);
    EXPECT_EQ(out.extent(), (ci::Rect{0, 0, 6, 8}));
    const ci::Bitmap bm = ftest::render(out);
    EXPECT_PIXEL_NEAR(ftest::pixelAt(bm, 2, 1), 0.1f, 0.5f, 0.0f, 1.0f, 1e-6);
    EXPECT_PIXEL_NEAR(ftest::pixelAt(bm, 0, 0), 0.1f, 0.0f, 0.0f, 1.0f, 1e-6);
    EXPECT_PIXEL_NEAR(ftest::pixelAt(bm, 5, 3), 0.0f, 0.5f, 0.0f, 1.0f, 1e-6);
    EXPECT_PIXEL_NEAR(ftest::pixelAt(bm, 1, 7), 0.0f, 0.0f, 0.9f, 1.0f, 1e-6);
    // Inside the union but outside all three: still opaque.
    EXPECT_PIXEL_NEAR(ftest::pixelAt(bm, 5, 7), 0.0f, 0.0f, 0.0f, 1.0f, 1e-6);
}

TEST(UnsharpCombine, SharpensOnlyAboveTheThreshold) {
    const float sharp[4] = {0.75f, 0.5f, 0.5f, 0.5f};
    const float blurred[4] = {0.5f, 0.5f, 0.5f, 1.0f};
    float out[4];

    // Distance exactly equal to the threshold: the pixel passes as it is, alpha included.
    unsharpCombinePixel(sharp, blurred, 2.0f, 0.25f, out);
    EXPECT_PIXEL_NEAR(out, 0.75f, 0.5f, 0.5f, 0.5f, 0.0);

    unsharpCombinePixel(sharp, blurred, 0.5f, 0.2f, out);
    EXPECT_PIXEL_NEAR(out, 0.875f, 0.5f, 0.5f, 1.0f, 1e-6);

    // Clamped to 0..1 and opaque.
    unsharpCombinePixel(sharp, blurred, 2.0f, 0.2f, out);
    EXPECT_PIXEL_NEAR(out, 1.0f, 0.5f, 0.5f, 1.0f, 1e-6);
    const float dark[4] = {0.1f, 0.5f, 0.5f, 1.0f};
    unsharpCombinePixel(dark, blurred, 3.0f, 0.0f, out);
    EXPECT_PIXEL_NEAR(out, 0.0f, 0.5f, 0.5f, 1.0f, 1e-6);

    // Threshold 0: equal pixels pass, amount 0 makes a differing pixel its own colour clamped.
    unsharpCombinePixel(blurred, blurred, 1.0f, 0.0f, out);
    EXPECT_PIXEL_NEAR(out, 0.5f, 0.5f, 0.5f, 1.0f, 0.0);
    const float bright[4] = {1.5f, 0.5f, 0.5f, 0.5f};
    unsharpCombinePixel(bright, blurred, 0.0f, 0.0f, out);
    EXPECT_PIXEL_NEAR(out, 1.0f, 0.5f, 0.5f, 1.0f, 1e-6);
}

TEST(MultiBandHSVKernel, BandCentresComeFromTheReferenceColours) {
    const auto& c = bandCentres();
    EXPECT_FLOAT_EQ(c[0], 0.0f);
    EXPECT_NEAR(c[1], 0.0828158, 1e-6);
    EXPECT_FLOAT_EQ(c[2], 1.0f / 6);
    EXPECT_FLOAT_EQ(c[3], 1.0f / 3);
    EXPECT_FLOAT_EQ(c[4], 0.5f);
    EXPECT_FLOAT_EQ(c[5], 2.0f / 3);
    EXPECT_NEAR(c[6], 0.7494825, 1e-6);
    EXPECT_FLOAT_EQ(c[7], 5.0f / 6);
}

TEST(MultiBandHSVKernel, SelectsAndBlendsBands) {
    // Identity shifts give the colour back, opaque; transparent black turns opaque black.
    EXPECT_PIXEL_NEAR(hsv({0.2f, 0.6f, 0.9f, 1.0f}, identityShifts()), 0.2f, 0.6f, 0.9f, 1.0f, 1e-5);
    EXPECT_PIXEL_NEAR(hsv({0.1f, 0.05f, 0.02f, 0.5f}, identityShifts()), 0.1f, 0.05f, 0.02f, 1.0f, 1e-5);
    EXPECT_PIXEL_NEAR(hsv({0, 0, 0, 0}, identityShifts()), 0, 0, 0, 1, 1e-6);

    // Grey falls in the red band with t = 0: only the red value factor acts.
    BandShifts s = identityShifts();
    s[0] = {0.3f, 4.0f, 0.5f};
    s[1] = {0.5f, 0.0f, 3.0f};
    EXPECT_PIXEL_NEAR(hsv({0.5f, 0.5f, 0.5f, 1.0f}, s), 0.25f, 0.25f, 0.25f, 1.0f, 1e-5);

    // A band centre takes its own shift: yellow turned half a turn becomes blue.
    s = identityShifts();
    s[2] = {0.5f, 1.0f, 1.0f};
    EXPECT_PIXEL_NEAR(hsv({0.9f, 0.9f, 0.27f, 1.0f}, s), 0.27f, 0.27f, 0.9f, 1.0f, 1e-4);

    // Halfway between green (1/3) and aqua (1/2) the two shifts are averaged: hue 5/12 + 0.2.
    s = identityShifts();
    s[3] = {0.1f, 1.0f, 1.0f};
    s[4] = {0.3f, 1.0f, 1.0f};
    EXPECT_PIXEL_NEAR(hsv({0.2f, 1.0f, 0.6f, 1.0f}, s), 0.2f, 0.44f, 1.0f, 1.0f, 1e-4);

    // Above magenta the blend runs towards the red shift, so hue 0 and hue 1 agree.
    s = identityShifts();
    s[0] = {0.0f, 0.0f, 1.0f};
    const auto nearOne = hsv({1.0f, 0.0f, 0.001f, 1.0f}, s); // hue just below 1
    EXPECT_NEAR(nearOne[0], 1.0f, 2e-3);
    EXPECT_NEAR(nearOne[1], 1.0f, 2e-3);
    EXPECT_NEAR(nearOne[2], 1.0f, 2e-3);

    // A hue offset of a whole turn changes nothing; saturation above 1 is not clamped.
    s.fill({1.0f, 1.0f, 1.0f});
    EXPECT_PIXEL_NEAR(hsv({0.2f, 0.6f, 0.9f, 1.0f}, s), 0.2f, 0.6f, 0.9f, 1.0f, 1e-4);
    s.fill({0.0f, 3.0f, 1.0f});
    EXPECT_LT(hsv({0.45f, 0.6f, 0.9f, 1.0f}, s)[0], 0.0f);

    // A colour at or just below black, its largest channel within a few e of zero either way,
    // comes back as it was, like its neighbours a little further from zero.
    for (float top : {0.0f, -3.66e-11f, -1e-10f, -1.09e-9f, 5e-11f, 1e-6f})
        EXPECT_PIXEL_NEAR(hsv({-0.06f, -0.05f, top, 1.0f}, identityShifts()), -0.06f, -0.05f, top, 1.0f,
                          1e-6);
}

TEST(MultiBandHSVKernel, KeepsTheExtentAndNeverYieldsNaN) {
    BandShifts s;
    s.fill({1e30f, 1e30f, 1e30f});
    const ci::Image in = ftest::solid(3, 2, 0.3f, 0.2f, 0.1f, 1.0f, 5, 7);
    const ci::Image out = multiBandHSV(in, s);
    EXPECT_EQ(out.extent(), in.extent());
    s[0][0] = std::numeric_limits<float>::infinity();
    float o[4];
    multiBandHSVPixel(std::array<float, 4>{0.3f, 0.2f, 0.1f, 1.0f}.data(), s, o);
    EXPECT_FALSE(std::isnan(o[0]) || std::isnan(o[1]) || std::isnan(o[2]));
}

TEST(PixelKernels, WholeRowsMatchThePixelRulesExactly) {
    // Rows of 77 pixels: full vector blocks and a ragged tail, with the awkward values mixed in
    // (greys, ties between channels, negatives, values above 1, transparent black).
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> any(-0.25f, 1.5f);
    const float special[] = {0.0f, 0.5f, 1.0f, -0.1f, 2.0f};
    auto fill = [&](int, int, float* px) {
        for (int c = 0; c < 4; ++c)
            px[c] = rng() % 5 == 0 ? special[rng() % 5] : any(rng);
        if (rng() % 7 == 0)
            px[1] = px[0];
    };
    const ci::Image a = ftest::picture(77, 3, fill), b = ftest::picture(77, 3, fill);
    const ci::Bitmap ba = ftest::render(a), bb = ftest::render(b);

    BandShifts s;
    for (auto& band : s)
        band = {any(rng) - 0.5f, any(rng) + 0.5f, any(rng) + 0.5f};
    const ci::Bitmap hsvOut = ftest::render(multiBandHSV(a, s));
    const ci::Bitmap sharpOut = ftest::render(unsharpCombine(a, b, 1.7, 0.3, a.extent()));
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 77; ++x) {
            const auto pa = ftest::pixelAt(ba, x, y), pb = ftest::pixelAt(bb, x, y);
            std::array<float, 4> want{};
            multiBandHSVPixel(pa.data(), s, want.data());
            EXPECT_EQ(ftest::pixelAt(hsvOut, x, y), want) << x << "," << y;
            unsharpCombinePixel(pa.data(), pb.data(), 1.7f, 0.3f, want.data());
            EXPECT_EQ(ftest::pixelAt(sharpOut, x, y), want) << x << "," << y;
        }
}

namespace {

// The kernel as written: every window sample read one by one.
std::array<float, 4> kuwaharaBruteForce(const ci::Bitmap& src, int64_t x, int64_t y, int radius) {
    double sum[4][3] = {}, sq[4][3] = {};
    for (int dx = -radius; dx <= radius; ++dx)
        for (int dy = -radius; dy <= radius; ++dy) {
            float p[4];
            src.read(x + dx, y + dy, p);
            const bool q[4] = {dx <= 0 && dy <= 0, dx >= 0 && dy <= 0, dx <= 0 && dy >= 0,
                               dx >= 0 && dy >= 0};
            for (int j = 0; j < 4; ++j)
                if (q[j])
                    for (int c = 0; c < 3; ++c) {
                        sum[j][c] += p[c];
                        sq[j][c] += double(p[c]) * p[c];
                    }
        }
    const double n = double(radius + 1) * (radius + 1);
    double best = 100;
    std::array<float, 4> out{0, 0, 0, 1};
    for (int j = 0; j < 4; ++j) {
        double var = 0, mean[3];
        for (int c = 0; c < 3; ++c) {
            mean[c] = sum[j][c] / n;
            var += std::fabs(sq[j][c] / n - mean[c] * mean[c]);
        }
        if (var < best) {
            best = var;
            for (int c = 0; c < 3; ++c)
                out[c] = float(mean[c]);
        }
    }
    return out;
}

} // namespace

TEST(KuwaharaKernel, KeepsAStepEdgeSharp) {
    // Black on the left (x < 4), white on the right.
    const ci::Image step = ftest::picture(8, 8, [](int x, int, float* p) {
        const float v = x < 4 ? 0.0f : 1.0f;
        p[0] = p[1] = p[2] = v;
        p[3] = 1;
    });
    const ci::Bitmap bm = ftest::render(kuwahara(step, 2.0));
    EXPECT_PIXEL_NEAR(ftest::pixelAt(bm, 3, 4), 0, 0, 0, 1, 1e-6);
    EXPECT_PIXEL_NEAR(ftest::pixelAt(bm, 4, 4), 1, 1, 1, 1, 1e-6);
    EXPECT_PIXEL_NEAR(ftest::pixelAt(bm, 5, 3), 1, 1, 1, 1, 1e-6);
}

TEST(KuwaharaKernel, MatchesTheSampleBySampleWindowEverywhere) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(0, 1);
    ci::Bitmap src(ci::IRect{-3, 2, 37, 31});
    for (int64_t y = src.rect().y0; y < src.rect().y1; ++y)
        for (int64_t x = src.rect().x0; x < src.rect().x1; ++x) {
            float* p = src.pixel(x, y);
            p[3] = u(rng);
            for (int c = 0; c < 3; ++c)
                p[c] = u(rng) * p[3];
        }
    const ci::Bitmap copy = src.clone();
    const ci::Image in = ci::Image::fromBitmap(std::move(src));
    for (double radius : {1.0, 3.9, 6.0}) {
        const ci::Image out = kuwahara(in, radius);
        EXPECT_EQ(out.extent(), in.extent());
        auto ctx = ci::Context(ci::Context::Options{16, 2});
        auto rendered = ctx.render(out, out.extent());
        ASSERT_TRUE(rendered.ok());
        double worst = 0;
        for (int64_t y = copy.rect().y0; y < copy.rect().y1; ++y)
            for (int64_t x = copy.rect().x0; x < copy.rect().x1; ++x) {
                const auto want = kuwaharaBruteForce(copy, x, y, int(radius));
                const auto got = ftest::pixelAt(rendered.value(), x, y);
                for (int c = 0; c < 4; ++c)
                    worst = std::max(worst, double(std::fabs(want[c] - got[c])));
            }
        EXPECT_LT(worst, 1e-5) << "radius " << radius;
    }
}

TEST(KuwaharaKernel, RadiusTruncation) {
    const ci::Image in = ftest::picture(
        6, 5, [](int x, int y, float* p) { p[0] = 0.1f * x, p[1] = 0.1f * y, p[2] = 0.05f, p[3] = 0.5f; });
    const ci::Bitmap source = ftest::render(in);
    // 0 and 0.9 give the picture itself, opaque.
    for (double r : {0.0, 0.9}) {
        const ci::Bitmap bm = ftest::render(kuwahara(in, r));
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 6; ++x) {
                const auto s = ftest::pixelAt(source, x, y);
                EXPECT_PIXEL_NEAR(ftest::pixelAt(bm, x, y), s[0], s[1], s[2], 1.0f, 1e-6);
            }
    }
    // 1.9 acts as 1.
    EXPECT_LT(gwtest::maxDifference(ftest::render(kuwahara(in, 1.9)), ftest::render(kuwahara(in, 1.0))),
              1e-7);
    // Negative after truncation: no sample, opaque black; -0.5 truncates to 0.
    const ci::Bitmap black = ftest::render(kuwahara(in, -1.0));
    EXPECT_PIXEL_NEAR(ftest::pixelAt(black, 2, 2), 0, 0, 0, 1, 0);
    EXPECT_PIXEL_NEAR(ftest::pixelAt(ftest::render(kuwahara(in, -0.5)), 2, 2), 0.2f, 0.2f, 0.05f, 1.0f, 1e-6);
    // A radius far beyond the picture stays cheap and finite.
    const ci::Bitmap huge = ftest::render(kuwahara(in, 1e12));
    EXPECT_TRUE(ftest::allFinite(huge));
}
