#include "test_builtin_spatial_support.h"

#include <vector>

using namespace spatialtest;

namespace {

// Straightforward truncated Gaussian (x then y, transparent outside), as the filter defines it.
ci::Bitmap naiveGaussian(const ci::Bitmap& src, double sigma, const ci::IRect& out) {
    const int K = int(std::ceil(3 * sigma));
    std::vector<double> w(2 * K + 1);
    double sum = 0;
    for (int k = -K; k <= K; ++k)
        sum += w[k + K] = std::exp(-double(k * k) / (2 * sigma * sigma));
    for (double& v : w)
        v /= sum;
    ci::IRect mid{out.x0, out.y0 - K, out.x1, out.y1 + K};
    ci::Bitmap tmp(mid), res(out);
    float p[4];
    for (int64_t y = mid.y0; y < mid.y1; ++y)
        for (int64_t x = mid.x0; x < mid.x1; ++x) {
            double acc[4] = {0, 0, 0, 0};
            for (int k = -K; k <= K; ++k) {
                src.read(x + k, y, p);
                for (int c = 0; c < 4; ++c)
                    acc[c] += w[k + K] * p[c];
            }
            for (int c = 0; c < 4; ++c)
                tmp.pixel(x, y)[c] = float(acc[c]);
        }
    for (int64_t y = out.y0; y < out.y1; ++y)
        for (int64_t x = out.x0; x < out.x1; ++x) {
            double acc[4] = {0, 0, 0, 0};
            for (int k = -K; k <= K; ++k) {
                tmp.read(x, y + k, p);
                for (int c = 0; c < 4; ++c)
                    acc[c] += w[k + K] * p[c];
            }
            for (int c = 0; c < 4; ++c)
                res.pixel(x, y)[c] = float(acc[c]);
        }
    return res;
}

} // namespace

TEST(BuiltinSpatialBlur, GaussianExtentsValuesAndIdentity) {
    ci::Image square = ci::Image::fromBitmap(gwtest::makeBitmap(100, 100, [](int, int, float* p) {
        p[0] = p[1] = p[2] = 0.5f;
        p[3] = 1;
    }));
    // Observed extents: 3 sigma on every side.
    EXPECT_EQ(apply(square, "CIGaussianBlur", {{"inputRadius", 50}}).extent(),
              (ci::Rect{-150, -150, 250, 250}));
    EXPECT_EQ(apply(square, "CIGaussianBlur", {{"inputRadius", 100}}).extent(),
              (ci::Rect{-300, -300, 400, 400}));
    EXPECT_EQ(apply(square, "CIGaussianBlur", {{"inputRadius", 10}}).extent(),
              (ci::Rect{-30, -30, 130, 130}));
    EXPECT_EQ(apply(square, "CIGaussianBlur", {{"inputRadius", 0}}), square);

    ci::Image img = pattern();
    const ci::Bitmap src = render(img, img.extent());
    for (double sigma : {0.7, 3.0}) {
        ci::Image out = apply(img, "CIGaussianBlur", {{"inputRadius", sigma}});
        const ci::IRect r = out.extent().coveredPixels();
        EXPECT_LT(gwtest::maxDifference(render(out, out.extent()), naiveGaussian(src, sigma, r)), 1e-5)
            << sigma;
        EXPECT_EQ(tileDifference(out, out.extent()), 0) << sigma;
    }
    // Large radii run on a reduced copy: close to the exact blur, still tile-independent.
    for (double sigma : {9.0, 14.0}) {
        ci::Image out = apply(img, "CIGaussianBlur", {{"inputRadius", sigma}});
        const ci::IRect r = out.extent().coveredPixels();
        EXPECT_LT(gwtest::maxDifference(render(out, out.extent()), naiveGaussian(src, sigma, r)), 0.01)
            << sigma;
        EXPECT_EQ(tileDifference(out, out.extent()), 0) << sigma;
    }
    // A flat picture stays flat well inside (edge pixels repeat when clamped first).
    ci::Image flat =
        apply(square.clampedToExtent(), "CIGaussianBlur", {{"inputRadius", 30}}).cropped(square.extent());
    ci::Bitmap fb = render(flat, flat.extent());
    EXPECT_NEAR(px(fb, 0, 0)[0], 0.5f, 1e-4);
    EXPECT_NEAR(px(fb, 50, 50)[3], 1.f, 1e-4);
}

TEST(BuiltinSpatialGeometry, LanczosAffineCropClamp) {
    ci::Image big = pattern(1001, 750);
    ci::Image quarter = apply(big, "CILanczosScaleTransform", {{"inputScale", 0.25}});
    EXPECT_EQ(quarter.extent(), (ci::Rect{0, 0, 251, 188}));
    ci::Bitmap q = render(quarter, quarter.extent());
    EXPECT_TRUE(allFinite(q));
    // Interior keeps full alpha; the partly covered last column is partly transparent.
    EXPECT_NEAR(px(q, 100, 100)[3], 1.f, 1e-3);
    EXPECT_LT(px(q, 250, 100)[3], 0.6f);
    EXPECT_EQ(tileDifference(quarter, quarter.extent()), 0);

    ci::Image img = pattern();
    EXPECT_EQ(apply(img, "CILanczosScaleTransform", {}), img);
    EXPECT_TRUE(apply(img, "CILanczosScaleTransform", {{"inputScale", 0}}).extent().isEmpty());
    ci::Image up = apply(img, "CILanczosScaleTransform", {{"inputScale", 2}, {"inputAspectRatio", 1.5}});
    EXPECT_EQ(up.extent(), (ci::Rect{0, 0, 192, 96}));
    EXPECT_EQ(tileDifference(up, up.extent()), 0);
    // A flat picture stays flat under scaling (weights sum to 1).
    ci::Image flat = ci::Image::constant(0.25f, 0.5f, 0.75f, 1).cropped({0, 0, 40, 40});
    ci::Bitmap fs = render(apply(flat, "CILanczosScaleTransform", {{"inputScale", 0.3}}), {2, 2, 10, 10});
    EXPECT_NEAR(px(fs, 5, 5)[1], 0.5f, 1e-4);

    ci::Image moved = apply(img, "CIAffineTransform", {{"inputTransform", ci::Affine::translation(10, 5)}});
    EXPECT_EQ(moved.extent(), (ci::Rect{10, 5, 74, 53}));
    EXPECT_EQ(apply(img, "CIAffineTransform", {}), img);
    EXPECT_EQ(apply(img, "CICrop", {}).extent(), img.extent());
    EXPECT_EQ(apply(img, "CICrop", {{"inputRectangle", ci::Vector{10, 20, -5, 100}}}).extent(),
              (ci::Rect{5, 20, 10, 48}));

    ci::Image clamped = apply(img, "CIAffineClamp", {{"inputTransform", ci::Affine::scale(2, 2)}});
    EXPECT_TRUE(clamped.extent().isInfinite());
    ci::Bitmap src = render(img, img.extent());
    ci::Bitmap c = render(clamped, {-20, -20, 200, 150});
    // Far outside, the corner pixel repeats.
    for (int c4 = 0; c4 < 4; ++c4) {
        EXPECT_NEAR(px(c, -15, -15)[c4], px(src, 0, 0)[c4], 1e-5);
        EXPECT_NEAR(px(c, 190, 140)[c4], px(src, 63, 47)[c4], 1e-5);
    }
    EXPECT_EQ(tileDifference(clamped, {-20, -20, 200, 150}), 0);
    EXPECT_TRUE(apply(img, "CIAffineClamp", {}).extent().isInfinite());
}

namespace {

ci::Image flatSquare(float v, int size = 40) {
    return ci::Image::constant(v, v, v, 1).cropped({0, 0, double(size), double(size)});
}

double meanOf3x3(const ci::Bitmap& bm, int x, int y, int c) {
    double s = 0;
    for (int j = -1; j <= 1; ++j)
        for (int i = -1; i <= 1; ++i)
            s += bm.pixel(x + i, y + j)[c];
    return s / 9;
}

} // namespace

TEST(BuiltinSpatialBlur, BoxDiscMedianMotionZoomNoise) {
    ci::Image img = pattern();
    const ci::Bitmap src = render(img, img.extent());

    // Box: radius 1 is the 3 x 3 mean; the extent grows by ceil(r); radius 0 leaves the image alone.
    ci::Image box1 = apply(img, "CIBoxBlur", {{"inputRadius", 1}});
    ci::Bitmap b1 = render(box1, img.extent());
    for (int c = 0; c < 4; ++c)
        EXPECT_NEAR(px(b1, 20, 20)[c], meanOf3x3(src, 20, 20, c), 1e-5);
    EXPECT_EQ(apply(img, "CIBoxBlur", {{"inputRadius", 2.5}}).extent(), (ci::Rect{-3, -3, 67, 51}));
    EXPECT_EQ(apply(img, "CIBoxBlur", {{"inputRadius", 0}}), img);
    // Fractional radius: half-weight end taps, a flat picture stays flat inside.
    ci::Bitmap bf = render(apply(flatSquare(0.3f), "CIBoxBlur", {{"inputRadius", 3.5}}), {10, 10, 30, 30});
    EXPECT_NEAR(px(bf, 20, 20)[0], 0.3f, 1e-5);
    EXPECT_NEAR(px(bf, 20, 20)[3], 1.f, 1e-5);
    // Large radii run through the same aligned sums: tiling cannot change a bit.
    EXPECT_EQ(tileDifference(apply(img, "CIBoxBlur", {{"inputRadius", 37.3}}), {-40, -40, 100, 90}), 0);

    // Disc: flat stays flat, radius 0 is the identity, large radii stay close to flat too.
    EXPECT_EQ(apply(img, "CIDiscBlur", {{"inputRadius", 0}}), img);
    EXPECT_EQ(apply(img, "CIDiscBlur", {{"inputRadius", 4.2}}).extent(), (ci::Rect{-5, -5, 69, 53}));
    for (double r : {5.0, 20.0}) {
        ci::Image flat = apply(flatSquare(0.6f, 200), "CIDiscBlur", {{"inputRadius", r}});
        ci::Bitmap d = render(flat, {90, 90, 110, 110});
        EXPECT_NEAR(px(d, 100, 100)[1], 0.6f, 1e-4) << r;
        EXPECT_EQ(tileDifference(flat, {-30, -30, 60, 60}), 0) << r;
    }

    // Median: a lone bright pixel disappears; a flat area stays.
    ci::Image speck = ci::Image::fromBitmap(gwtest::makeBitmap(9, 9, [](int x, int y, float* p) {
        p[0] = p[1] = p[2] = (x == 4 && y == 4) ? 1.f : 0.2f;
        p[3] = 1;
    }));
    ci::Bitmap m = render(apply(speck, "CIMedianFilter"), speck.extent());
    EXPECT_NEAR(px(m, 4, 4)[0], 0.2f, 1e-6);
    EXPECT_EQ(apply(speck, "CIMedianFilter").extent(), speck.extent());

    // Motion: extent along the angle; angle a and a + pi agree; radius 0 is the identity.
    EXPECT_EQ(apply(img, "CIMotionBlur", {{"inputRadius", 5}}).extent(), (ci::Rect{-5, 0, 69, 48}));
    EXPECT_EQ(apply(img, "CIMotionBlur", {{"inputRadius", 5}, {"inputAngle", M_PI / 2}}).extent(),
              (ci::Rect{0, -5, 64, 53}));
    EXPECT_EQ(apply(img, "CIMotionBlur", {{"inputRadius", 0}}), img);
    ci::Image ma = apply(img, "CIMotionBlur", {{"inputRadius", 6}, {"inputAngle", 0.4}});
    ci::Image mb = apply(img, "CIMotionBlur", {{"inputRadius", 6}, {"inputAngle", 0.4 + M_PI}});
    EXPECT_LT(gwtest::maxDifference(render(ma, img.extent()), render(mb, img.extent())), 1e-5);

    // Zoom: the centre pixel keeps its colour; the extent grows about the centre, to infinity at 100.
    ci::Image zoom = apply(img, "CIZoomBlur", {{"inputCenter", ci::Vector{32.5, 24.5}}, {"inputAmount", 50}});
    EXPECT_EQ(zoom.extent(), (ci::Rect{-32.5, -24.5, 95.5, 71.5}));
    ci::Bitmap z = render(zoom, img.extent());
    for (int c = 0; c < 4; ++c)
        EXPECT_NEAR(px(z, 32, 24)[c], px(src, 32, 24)[c], 1e-5);
    EXPECT_TRUE(apply(img, "CIZoomBlur", {{"inputAmount", 100}}).extent().isInfinite());
    EXPECT_EQ(apply(img, "CIZoomBlur", {{"inputAmount", -30}}).extent(), img.extent());
    EXPECT_EQ(apply(img, "CIZoomBlur", {{"inputAmount", 0}}), img);

    // Noise reduction: identity at zero; a flat picture stays flat; noise below the level is smoothed.
    EXPECT_EQ(apply(img, "CINoiseReduction", {{"inputNoiseLevel", 0}, {"inputSharpness", 0}}), img);
    ci::Bitmap nf = render(apply(flatSquare(0.4f), "CINoiseReduction"), {5, 5, 35, 35});
    EXPECT_NEAR(px(nf, 20, 20)[0], 0.4f, 1e-5);
    ci::Image noisy = ci::Image::fromBitmap(gwtest::makeBitmap(30, 30, [](int x, int y, float* p) {
        p[0] = p[1] = p[2] = 0.5f + (((x * 7 + y * 13) % 5) - 2) * 0.002f;
        p[3] = 1;
    }));
    ci::Bitmap nb = render(apply(noisy, "CINoiseReduction", {{"inputNoiseLevel", 0.02}}), {10, 10, 20, 20});
    double spread = 0;
    for (int y = 10; y < 20; ++y)
        for (int x = 10; x < 20; ++x)
            spread = std::max(spread, std::abs(double(px(nb, x, y)[0]) - 0.5));
    EXPECT_LT(spread, 0.002);
}

namespace {

// Noise reduction as the filter defines it, pixel by pixel in double: range- and distance-
// weighted mean of the 5 x 5 neighbourhood, plus sharpening by the 3 x 3 low pass where the
// largest luminance step exceeds the noise level.
std::array<double, 4> naiveNoiseReduction(const ci::Bitmap& src, int64_t x, int64_t y, double n, double s) {
    auto luma = [](const float* p) { return 0.2126 * p[0] + 0.7152 * p[1] + 0.0722 * p[2]; };
    float c[4], q[4];
    src.read(x, y, c);
    const double Y = luma(c);
    double acc[4] = {0, 0, 0, 0}, low[4] = {0, 0, 0, 0}, wsum = 0, step = 0;
    for (int j = -2; j <= 2; ++j)
        for (int i = -2; i <= 2; ++i) {
            src.read(x + i, y + j, q);
            const double d = luma(q) - Y;
            const double w = std::exp(-double(i * i + j * j) / 2) * std::exp(-d * d / (2 * n * n));
            for (int k = 0; k < 4; ++k)
                acc[k] += w * q[k];
            wsum += w;
            if (std::abs(i) <= 1 && std::abs(j) <= 1) {
                step = std::max(step, std::abs(d));
                for (int k = 0; k < 4; ++k)
                    low[k] += (2 - std::abs(i)) * (2 - std::abs(j)) * q[k];
            }
        }
    const double u = std::clamp((step - n) / n, 0.0, 1.0), mask = u * u * (3 - 2 * u);
    std::array<double, 4> out{};
    for (int k = 0; k < 4; ++k)
        out[k] = acc[k] / wsum + s * mask * (c[k] - low[k] / 16);
    return out;
}

} // namespace

TEST(BuiltinSpatialBlur, NoiseReductionFollowsItsDefinition) {
    // Smooth areas, fine noise, hard edges and a translucent patch, so that every weight matters;
    // small tiles put many pixels next to tile edges.
    const ci::Bitmap src = gwtest::makeBitmap(41, 33, [](int x, int y, float* p) {
        const float noise = float(((x * 37 + y * 91) % 17) - 8) * 0.004f;
        const float edge = x > 20 ? 0.5f : 0.0f;
        p[3] = (y > 24 && x < 12) ? 0.5f : 1.0f;
        p[0] = (0.2f + edge + noise) * p[3];
        p[1] = (0.3f + 0.01f * float(y) + noise) * p[3];
        p[2] = (0.6f - edge * 0.5f - noise) * p[3];
    });
    const ci::Image img = ci::Image::fromBitmap(src.clone());
    // Sharpness 0 takes a path of its own: the weighted mean alone.
    for (const auto& [n, s] : {std::pair{0.01, 0.7}, std::pair{0.05, 0.7}, std::pair{0.05, 0.0}}) {
        const ci::Image out = apply(img, "CINoiseReduction", {{"inputNoiseLevel", n}, {"inputSharpness", s}});
        for (const int tile : {7, 256}) {
            const ci::Bitmap bm = render(out, img.extent(), tile, 4);
            double worst = 0;
            for (int64_t y = 0; y < 33; ++y)
                for (int64_t x = 0; x < 41; ++x) {
                    const auto want = naiveNoiseReduction(src, x, y, n, s);
                    for (int k = 0; k < 4; ++k)
                        worst = std::max(worst, std::abs(double(px(bm, x, y)[k]) - want[k]));
                }
            EXPECT_LT(worst, 2e-5) << "noise " << n << ", sharpness " << s << ", tiles of " << tile;
        }
    }
}

TEST(BuiltinSpatialSharpen, LuminanceAndUnsharpMask) {
    // A vertical step from dark to light.
    ci::Image step = ci::Image::fromBitmap(gwtest::makeBitmap(40, 20, [](int x, int, float* p) {
        const float v = x < 20 ? 0.2f : 0.6f;
        p[0] = v;
        p[1] = v * 0.5f;
        p[2] = v * 0.25f;
        p[3] = 1;
    }));
    const ci::Bitmap src = render(step, step.extent());
    ci::Image sl = apply(step, "CISharpenLuminance", {{"inputSharpness", 1}});
    EXPECT_EQ(sl.extent(), step.extent());
    ci::Bitmap s = render(sl, step.extent());
    // The light side brightens, the dark side darkens, by the same amount in every channel.
    EXPECT_GT(px(s, 20, 10)[0], px(src, 20, 10)[0]);
    EXPECT_LT(px(s, 19, 10)[0], px(src, 19, 10)[0]);
    const float d0 = px(s, 20, 10)[0] - px(src, 20, 10)[0];
    EXPECT_NEAR(px(s, 20, 10)[1] - px(src, 20, 10)[1], d0, 1e-6);
    EXPECT_NEAR(px(s, 20, 10)[2] - px(src, 20, 10)[2], d0, 1e-6);
    EXPECT_NEAR(px(s, 10, 10)[0], px(src, 10, 10)[0], 1e-5); // far from the step and the borders
    EXPECT_EQ(px(s, 20, 10)[3], 1.f);
    EXPECT_EQ(apply(step, "CISharpenLuminance", {{"inputSharpness", 0}}), step);
    EXPECT_EQ(tileDifference(sl, step.extent()), 0);

    ci::Image um = apply(step, "CIUnsharpMask", {{"inputRadius", 2}, {"inputIntensity", 1}});
    ci::Bitmap u = render(um, step.extent());
    EXPECT_GT(px(u, 20, 10)[0], 0.6f);
    EXPECT_LT(px(u, 19, 10)[0], 0.2f);
    EXPECT_NEAR(px(u, 30, 10)[0], 0.6f, 1e-5);
    EXPECT_EQ(apply(step, "CIUnsharpMask", {{"inputIntensity", 0}}), step);
    EXPECT_EQ(apply(step, "CIUnsharpMask", {{"inputRadius", 0}}), step);
}
