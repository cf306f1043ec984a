#include "test_builtin_spatial_support.h"

using namespace spatialtest;

namespace {

ci::Image flat(float r, float g, float b, double w = 64, double h = 48) {
    return ci::Image::constant(r, g, b, 1).cropped({0, 0, w, h});
}

} // namespace

TEST(BuiltinSpatialStylize, CellsGlowEdgesAndMaterial) {
    ci::Image img = pattern();
    const ci::Bitmap src = render(img, img.extent());

    // Pixellate: each cell is one colour, the colour at the cell's centre; extent snapped to the grid.
    ci::Image pix = apply(img, "CIPixellate", {{"inputScale", 8}, {"inputCenter", ci::Vector{0, 0}}});
    ci::Bitmap p = render(pix, img.extent());
    for (int y = 8; y < 16; ++y)
        for (int x = 16; x < 24; ++x)
            for (int c = 0; c < 4; ++c)
                EXPECT_EQ(px(p, x, y)[c], px(p, 16, 8)[c]);
    for (int c = 0; c < 4; ++c)
        EXPECT_NEAR(px(p, 16, 8)[c],
                    (px(src, 19, 11)[c] + px(src, 20, 11)[c] + px(src, 19, 12)[c] + px(src, 20, 12)[c]) / 4,
                    1e-5);
    EXPECT_EQ(apply(img, "CIPixellate").extent(), (ci::Rect{-2, -2, 70, 54}));

    // Bloom and gloom: extent grown by 1.5 r; black stays black under bloom; identities.
    EXPECT_EQ(apply(img, "CIBloom").extent(), (ci::Rect{-15, -15, 79, 63}));
    EXPECT_EQ(apply(img, "CIGloom", {{"inputRadius", 4}}).extent(), (ci::Rect{-6, -6, 70, 54}));
    ci::Bitmap bb = render(apply(flat(0, 0, 0), "CIBloom"), {20, 20, 30, 30});
    EXPECT_NEAR(px(bb, 25, 25)[0], 0, 1e-6);
    ci::Bitmap bl =
        render(apply(flat(0.5f, 0.5f, 0.5f), "CIBloom", {{"inputIntensity", 1}}), {28, 20, 36, 28});
    EXPECT_NEAR(px(bl, 32, 24)[0], 0.75f, 1e-4); // screen of 0.5 over 0.5
    ci::Bitmap gl =
        render(apply(flat(0.5f, 0.5f, 0.5f), "CIGloom", {{"inputIntensity", 1}}), {28, 20, 36, 28});
    EXPECT_NEAR(px(gl, 32, 24)[0], 0.25f, 1e-4); // multiply of 0.5 by 0.5
    EXPECT_EQ(apply(img, "CIBloom", {{"inputIntensity", 0}}), img);
    EXPECT_EQ(apply(img, "CIGloom", {{"inputRadius", 0}}), img);

    // Edges: flat areas go black, a step shows in its own colour; intensity 0 is the identity.
    ci::Image step = ci::Image::fromBitmap(gwtest::makeBitmap(20, 10, [](int x, int, float* q) {
        q[0] = x < 10 ? 0.f : 0.8f;
        q[1] = 0;
        q[2] = x < 10 ? 0.f : 0.4f;
        q[3] = 1;
    }));
    ci::Bitmap e = render(apply(step, "CIEdges"), step.extent());
    EXPECT_NEAR(px(e, 4, 5)[0], 0, 1e-6);
    EXPECT_NEAR(px(e, 10, 5)[0], 0.8f * 4 / 8, 1e-5);
    EXPECT_NEAR(px(e, 10, 5)[2], 0.4f * 4 / 8, 1e-5);
    EXPECT_NEAR(px(e, 10, 5)[1], 0, 1e-6);
    EXPECT_EQ(apply(step, "CIEdges", {{"inputIntensity", 0}}), step);

    // Edge work: black and white only; flat areas white; the dark side of a step black.
    ci::Image bw = ci::Image::fromBitmap(gwtest::makeBitmap(20, 40, [](int x, int, float* q) {
        q[0] = q[1] = q[2] = x < 10 ? 0.f : 1.f;
        q[3] = 1;
    }));
    ci::Bitmap ew = render(apply(bw, "CIEdgeWork"), bw.extent());
    EXPECT_NEAR(px(ew, 14, 20)[0], 1.f, 1e-5);
    EXPECT_NEAR(px(ew, 9, 20)[0], 0.f, 1e-5);

    // Crystallize: every output pixel is the input at some seed; radius 1 is the identity.
    EXPECT_EQ(apply(img, "CICrystallize", {{"inputRadius", 1}}), img);
    ci::Bitmap cr =
        render(apply(flat(0.3f, 0.6f, 0.9f), "CICrystallize", {{"inputRadius", 6}}), {10, 10, 50, 40});
    EXPECT_NEAR(px(cr, 30, 20)[1], 0.6f, 1e-5);

    // Pointillize: dots of the input's colour with transparent gaps between them.
    ci::Bitmap pt =
        render(apply(flat(0.3f, 0.6f, 0.9f), "CIPointillize", {{"inputRadius", 3}}), {5, 5, 60, 44});
    int gaps = 0, solid = 0;
    for (int y = 5; y < 44; ++y)
        for (int x = 5; x < 60; ++x) {
            gaps += px(pt, x, y)[3] == 0.f;
            solid += std::abs(px(pt, x, y)[3] - 1.f) < 1e-6 && std::abs(px(pt, x, y)[1] - 0.6f) < 1e-5;
        }
    EXPECT_GT(gaps, 50);
    EXPECT_GT(solid, 500);

    // Comic effect: outlines black along a step, values within 0..1.
    ci::Bitmap ce = render(apply(bw, "CIComicEffect"), bw.extent());
    EXPECT_NEAR(px(ce, 10, 20)[0], 0, 1e-6);
    EXPECT_NEAR(px(ce, 10, 20)[3], 1, 1e-6);
    EXPECT_EQ(apply(step, "CIComicEffect").extent(), step.extent());

    // Shaded material: a flat height field picks the centre of the shading picture.
    ci::Image shading = ci::Image::fromBitmap(gwtest::makeBitmap(21, 21, [](int x, int y, float* q) {
        q[0] = float(x) / 20;
        q[1] = float(y) / 20;
        q[2] = 0.5f;
        q[3] = 1;
    }));
    ci::Bitmap sm =
        render(apply(flat(0.5f, 0.5f, 0.5f), "CIShadedMaterial", {{"inputShadingImage", shading}}),
               {10, 10, 30, 30});
    EXPECT_NEAR(px(sm, 20, 20)[0], 0.5f, 1e-5);
    EXPECT_NEAR(px(sm, 20, 20)[1], 0.5f, 1e-5);
    EXPECT_TRUE(apply(img, "CIShadedMaterial").isNull());
}

TEST(BuiltinSpatialHalftone, MonochromeScreens) {
    for (const char* name : {"CICircularScreen", "CIDotScreen", "CIHatchedScreen", "CILineScreen"}) {
        SCOPED_TRACE(name);
        ci::Image img = pattern();
        ci::Image out = apply(img, name, {{"inputCenter", ci::Vector{30, 20}}});
        EXPECT_EQ(out.extent(), img.extent());
        ci::Bitmap bm = render(out, img.extent());
        for (int y = 0; y < 48; ++y)
            for (int x = 0; x < 64; ++x) {
                const float* q = px(bm, x, y);
                EXPECT_EQ(q[0], q[1]);
                EXPECT_EQ(q[1], q[2]);
                EXPECT_GE(q[0], 0.f);
                EXPECT_LE(q[0], 1.f);
            }
        // Light areas come out mostly white, dark ones mostly black.
        auto mean = [&](float v) {
            ci::Bitmap b = render(apply(flat(v, v, v), name), {0, 0, 64, 48});
            double s = 0;
            for (int i = 0; i < 64 * 48; ++i)
                s += b.data()[i * 4];
            return s / (64 * 48);
        };
        EXPECT_GT(mean(0.9f), 0.75);
        EXPECT_LT(mean(0.05f), 0.25);
    }
    // The screen of the line filter runs along its angle: constant along the lines.
    ci::Image lines = apply(flat(0.5f, 0.5f, 0.5f), "CILineScreen", {{"inputCenter", ci::Vector{0, 0}}});
    ci::Bitmap lb = render(lines, {0, 0, 64, 48});
    EXPECT_EQ(px(lb, 3, 7)[0], px(lb, 40, 7)[0]);
}
