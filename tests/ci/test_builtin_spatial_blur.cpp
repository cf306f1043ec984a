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
