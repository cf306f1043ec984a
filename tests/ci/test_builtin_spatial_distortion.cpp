#include "test_builtin_spatial_support.h"

using namespace spatialtest;

TEST(BuiltinSpatialDistortion, CentresRimsIdentitiesAndExtents) {
    ci::Image img = pattern();
    const ci::Bitmap src = render(img, img.extent());
    const ci::Vector mid{32.5, 24.5}; // the centre of pixel (32, 24)
    auto same = [&](const ci::Bitmap& b, int x, int y) {
        for (int c = 0; c < 4; ++c)
            EXPECT_NEAR(px(b, x, y)[c], px(src, x, y)[c], 1e-5) << x << "," << y;
    };

    // Twirl and vortex: the centre is unchanged, and so is everything beyond the radius.
    for (const char* name : {"CITwirlDistortion", "CIVortexDistortion"}) {
        ci::Image out = apply(img, name, {{"inputCenter", mid}, {"inputRadius", 15}});
        EXPECT_EQ(out.extent(), img.extent());
        ci::Bitmap b = render(out, img.extent());
        same(b, 32, 24);
        same(b, 2, 2);
        same(b, 60, 45);
        EXPECT_GT(std::abs(px(b, 38, 24)[1] - px(src, 38, 24)[1]) +
                      std::abs(px(b, 38, 24)[0] - px(src, 38, 24)[0]),
                  1e-3);
        EXPECT_EQ(apply(img, name, {{"inputAngle", 0}}), img);
    }
    // A twirl by pi turns the point right of the centre to the left of it (y up, counter-clockwise).
    ci::Bitmap tw =
        render(apply(img, "CITwirlDistortion", {{"inputCenter", mid}, {"inputRadius", 1e6}}), img.extent());
    for (int c = 0; c < 4; ++c)
        EXPECT_NEAR(px(tw, 35, 24)[c], px(src, 29, 24)[c], 1e-3);

    // Bump and pinch: centre pixel stays, scale 0 is the identity, the outside is untouched.
    for (const char* name : {"CIBumpDistortion", "CIPinchDistortion"}) {
        ci::Image out = apply(img, name, {{"inputCenter", mid}, {"inputRadius", 12}});
        ci::Bitmap b = render(out, img.extent());
        same(b, 32, 24);
        same(b, 5, 40);
        EXPECT_EQ(apply(img, name, {{"inputScale", 0}}), img);
    }
    // Bump with scale 0.5 doubles the centre: a point 2 px out shows the one 1 px out.
    ci::Bitmap bump =
        render(apply(img, "CIBumpDistortion", {{"inputCenter", mid}, {"inputRadius", 1000}}), img.extent());
    for (int c = 0; c < 4; ++c)
        EXPECT_NEAR(px(bump, 34, 24)[c], px(src, 33, 24)[c], 1e-3);
    ci::Bitmap bl = render(apply(img, "CIBumpDistortionLinear", {{"inputCenter", mid}, {"inputRadius", 10}}),
                           img.extent());
    same(bl, 10, 24); // on the line itself
    same(bl, 10, 40); // outside the band
    EXPECT_EQ(apply(img, "CIBumpDistortionLinear", {{"inputScale", 0}}), img);

    // Hole: the inside takes the centre's colour; far away the picture is nearly untouched.
    ci::Bitmap h =
        render(apply(img, "CIHoleDistortion", {{"inputCenter", mid}, {"inputRadius", 5}}), img.extent());
    for (int c = 0; c < 4; ++c)
        EXPECT_NEAR(px(h, 34, 26)[c], px(src, 32, 24)[c], 1e-5);
    EXPECT_EQ(apply(img, "CIHoleDistortion", {{"inputRadius", 0.1}}), img);

    // Circular wrap: a square around the centre; transparent inside the circle.
    ci::Image wrap = apply(img, "CICircularWrap");
    EXPECT_EQ(wrap.extent(), (ci::Rect{-48, -48, 348, 348}));
    ci::Bitmap w = render(wrap, {140, 140, 160, 160});
    EXPECT_EQ(px(w, 150, 150)[3], 0.f);
    ci::Bitmap top = render(wrap, {145, 290, 155, 320});
    EXPECT_NEAR(px(top, 150, 300)[3], 1.f, 1e-5); // straight above: the bottom rows of the middle column

    // Displacement and glass: a flat map moves nothing; scale 0 is the identity.
    ci::Image grey = ci::Image::constant(0.5f, 0.5f, 0.5f, 1).cropped({-10, -10, 100, 100});
    ci::Bitmap d =
        render(apply(img, "CIDisplacementDistortion", {{"inputDisplacementImage", grey}}), {5, 5, 60, 44});
    same(d, 30, 30);
    ci::Bitmap g = render(apply(img, "CIGlassDistortion", {{"inputTexture", grey}}), {5, 5, 60, 44});
    same(g, 30, 30);
    EXPECT_EQ(apply(img, "CIDisplacementDistortion", {{"inputDisplacementImage", grey}, {"inputScale", 0}}),
              img);
    EXPECT_TRUE(apply(img, "CIGlassDistortion").isNull());
    // A luminance ramp along x shifts the picture sideways by scale times the slope.
    ci::Image ramp = ci::Image::fromBitmap(gwtest::makeBitmap(64, 48, [](int x, int, float* q) {
        q[0] = q[1] = q[2] = float(x) * 0.01f;
        q[3] = 1;
    }));
    ci::Bitmap dr = render(
        apply(img, "CIDisplacementDistortion", {{"inputDisplacementImage", ramp}, {"inputScale", 300}}),
        img.extent());
    for (int c = 0; c < 4; ++c)
        EXPECT_NEAR(px(dr, 20, 20)[c], px(src, 23, 20)[c], 1e-3);
}

TEST(BuiltinSpatialTile, InfiniteMirroredAndPeriodic) {
    ci::Image img = pattern();
    const ci::Dictionary at0 = {{"inputCenter", ci::Vector{0, 0}}, {"inputWidth", 16}};
    const ci::Rect area{-40, -40, 80, 80};

    // Fourfold reflected: the second cell mirrors the first.
    ci::Bitmap fr = render(apply(img, "CIFourfoldReflectedTile", at0), area);
    for (int k = 0; k < 16; ++k)
        for (int c = 0; c < 4; ++c) {
            EXPECT_EQ(px(fr, 16 + k, 5)[c], px(fr, 15 - k, 5)[c]);
            EXPECT_EQ(px(fr, 5, 16 + k)[c], px(fr, 5, 15 - k)[c]);
            EXPECT_EQ(px(fr, -1 - k, 5)[c], px(fr, k, 5)[c]);
        }
    // The source cell itself shows the input unchanged.
    ci::Bitmap src = render(img, img.extent());
    for (int c = 0; c < 4; ++c)
        EXPECT_NEAR(px(fr, 7, 9)[c], px(src, 7, 9)[c], 1e-6);

    // Translated: periodic in both directions.
    ci::Bitmap ft = render(apply(img, "CIFourfoldTranslatedTile", at0), area);
    for (int c = 0; c < 4; ++c) {
        EXPECT_EQ(px(ft, 3, 4)[c], px(ft, 3 + 32, 4 - 16)[c]);
        EXPECT_EQ(px(ft, 3, 4)[c], px(ft, 3 - 16, 4 + 48)[c]);
    }
    // Eightfold: symmetric across the diagonal.
    ci::Bitmap e8 = render(apply(img, "CIEightfoldReflectedTile", at0), area);
    for (int c = 0; c < 4; ++c)
        EXPECT_NEAR(px(e8, 3, 11)[c], px(e8, 11, 3)[c], 1e-6);
    // Fourfold rotated: a quarter turn about the lattice point.
    ci::Bitmap r4 = render(apply(img, "CIFourfoldRotatedTile", at0), area);
    for (int c = 0; c < 4; ++c)
        EXPECT_NEAR(px(r4, -4, 9)[c], px(r4, 9, 3)[c], 1e-6);
    // Glide reflection: the next column is the first shifted and flipped top to bottom.
    ci::Bitmap gr = render(apply(img, "CIGlideReflectedTile", at0), area);
    for (int c = 0; c < 4; ++c)
        EXPECT_EQ(px(gr, 16 + 3, 4)[c], px(gr, 3, 11)[c]);

    // Kaleidoscope: mirror images across the wedge edges through the centre.
    ci::Bitmap ka =
        render(apply(img, "CIKaleidoscope", {{"inputCenter", ci::Vector{32, 24}}, {"inputCount", 2}}), area);
    for (int c = 0; c < 4; ++c)
        EXPECT_NEAR(px(ka, 40, 30)[c], px(ka, 40, 17)[c], 1e-5);

    // Triangle kaleidoscope: copies fade by the decay per reflection.
    ci::Image flat = ci::Image::constant(1, 1, 1, 1).cropped({0, 0, 200, 200});
    ci::Bitmap tk =
        render(apply(flat, "CITriangleKaleidoscope",
                     {{"inputPoint", ci::Vector{100, 100}}, {"inputSize", 60}, {"inputRotation", 0}}),
               {0, 0, 200, 200});
    EXPECT_NEAR(px(tk, 100, 100)[3], 1.f, 1e-5);
    EXPECT_NEAR(px(tk, 100, 75)[3], 0.85f, 1e-5); // just below the bottom edge: one reflection

    for (const char* name :
         {"CISixfoldReflectedTile", "CISixfoldRotatedTile", "CITriangleTile", "CIParallelogramTile"}) {
        ci::Image out = apply(img, name, at0);
        EXPECT_TRUE(out.extent().isInfinite()) << name;
        ci::Bitmap b = render(out, area);
        EXPECT_TRUE(allFinite(b)) << name;
        // Far from the source cell there is still picture.
        EXPECT_GT(px(b, 70, 70)[3], 0.5f) << name;
    }
    // No usable width: transparent everywhere, still unbounded.
    ci::Image none = apply(img, "CITriangleTile", {{"inputWidth", 0}});
    EXPECT_TRUE(none.extent().isInfinite());
    EXPECT_EQ(px(render(none, {0, 0, 4, 4}), 1, 1)[3], 0.f);
}
