#include "support/TestSupport.h"

#include "ci/core/Context.h"
#include "ci/core/Filter.h"
#include "ci/core/Kernel.h"
#include "ci/core/Memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

using namespace ci;
using gwtest::makeBitmap;
using gwtest::maxDifference;

namespace {

// A smooth test picture with some transparency, so sampling and alpha errors show.
Image testPicture(int w, int h, double ox = 0, double oy = 0) {
    Bitmap bm = makeBitmap(w, h, [](int x, int y, float* p) {
        const float a = (x + y) % 7 == 0 ? 0.5f : 1.f;
        p[0] = a * (0.5f + 0.5f * std::sin(x * 0.13f));
        p[1] = a * (0.5f + 0.5f * std::cos(y * 0.07f));
        p[2] = a * float((x * y) % 17) / 16.f;
        p[3] = a;
    });
    Image img = Image::fromBitmap(std::move(bm));
    return (ox || oy) ? img.translated(ox, oy) : img;
}

Image addKernel(const Image& in, float v) {
    return ColorKernel::apply(
        [v](const ColorRow& r) {
            for (int i = 0; i < r.count * 4; i += 4) {
                r.out[i] = r.in[0][i] + v * r.in[0][i + 3];
                r.out[i + 1] = r.in[0][i + 1];
                r.out[i + 2] = r.in[0][i + 2] * 0.5f;
                r.out[i + 3] = r.in[0][i + 3];
            }
        },
        {in});
}

// 3x3 box average: a general kernel with a one-pixel region of interest.
Image boxKernel(const Image& in) {
    return GeneralKernel::apply(
        [](const KernelTile& t) {
            for (int64_t y = t.rect.y0; y < t.rect.y1; ++y)
                for (int64_t x = t.rect.x0; x < t.rect.x1; ++x) {
                    float acc[4] = {0, 0, 0, 0}, p[4];
                    for (int j = -1; j <= 1; ++j)
                        for (int i = -1; i <= 1; ++i) {
                            t.inputs[0]->read(x + i, y + j, p);
                            for (int c = 0; c < 4; ++c)
                                acc[c] += p[c] / 9.f;
                        }
                    std::copy(acc, acc + 4, t.out->pixel(x, y));
                }
        },
        {in}, in.extent().grown(1), [](int, const Rect& r) { return r.grown(1); });
}

// An average over 8x8 blocks: a general kernel that reduces its input by 8.
Image reducedBy8(const Image& in, const Rect& extent) {
    return GeneralKernel::apply(
        [](const KernelTile& t) {
            for (int64_t y = t.rect.y0; y < t.rect.y1; ++y)
                for (int64_t x = t.rect.x0; x < t.rect.x1; ++x) {
                    float acc[4] = {0, 0, 0, 0}, p[4];
                    for (int j = 0; j < 8; ++j)
                        for (int i = 0; i < 8; ++i) {
                            t.inputs[0]->read(8 * x + i, 8 * y + j, p);
                            for (int c = 0; c < 4; ++c)
                                acc[c] += p[c] / 64.f;
                        }
                    std::copy(acc, acc + 4, t.out->pixel(x, y));
                }
        },
        {in}, extent,
        [](int, const Rect& r) {
            return Rect{r.x0 * 8, r.y0 * 8, r.x1 * 8, r.y1 * 8};
        });
}

// A swirl: output position -> source position.
Image swirlKernel(const Image& in) {
    return WarpKernel::apply(
        [](const WarpRow& r) {
            for (int i = 0; i < r.count; ++i) {
                const double x = r.x + i + 0.5, y = r.y + 0.5;
                r.sx[i] = x + 3 * std::sin(y * 0.1);
                r.sy[i] = y + 2 * std::cos(x * 0.1);
            }
        },
        in, in.extent(), [](const Rect& r) { return r.grown(4); });
}

} // namespace

TEST(Geometry, RectanglesAndTransforms) {
    Rect r = Rect::make(10, 20, -4, 5); // negative width flips
    EXPECT_EQ(r, (Rect{6, 20, 10, 25}));
    EXPECT_TRUE(Rect::make(0, 0, 0, 5).isEmpty());
    EXPECT_TRUE(Rect::infinite().isInfinite());
    EXPECT_TRUE(Rect::make(-8.98847e307, -8.98847e307, 1.79769e308, 1.79769e308).isInfinite());
    EXPECT_EQ(Rect::infinite().intersected(r), r);
    EXPECT_TRUE(r.intersected(Rect::make(100, 100, 1, 1)).isEmpty());
    EXPECT_EQ(Rect::make(0.2, 0.7, 10, 10).roundedOut(), (Rect{0, 0, 11, 11}));
    // Pixel coverage: a pixel belongs when its centre lies inside.
    EXPECT_EQ(Rect::make(0.4, 0, 1.2, 1).coveredPixels(), (IRect{0, 0, 2, 1}));
    EXPECT_EQ(Rect::make(0.6, 0, 1.0, 1).coveredPixels(), (IRect{1, 0, 2, 1}));
    EXPECT_TRUE(Rect::make(0.6, 0, 0.8, 1).coveredPixels().isEmpty());
    EXPECT_FALSE(Rect::infinite().coveredPixels().isEmpty());

    const Affine rot = Affine::rotation(M_PI / 2);
    const Point p = rot.map({1, 0});
    EXPECT_NEAR(p.x, 0, 1e-12);
    EXPECT_NEAR(p.y, 1, 1e-12);
    const Affine m = Affine::scale(2, 3).then(Affine::translation(5, 7));
    const Point q = m.map({1, 1});
    EXPECT_DOUBLE_EQ(q.x, 7);
    EXPECT_DOUBLE_EQ(q.y, 10);
    const Point back = m.inverted()->map(q);
    EXPECT_NEAR(back.x, 1, 1e-12);
    EXPECT_NEAR(back.y, 1, 1e-12);
    EXPECT_FALSE(Affine::scale(0, 1).inverted());
    EXPECT_EQ(Affine::scale(2, 2).mapRect(Rect::make(1, 1, 2, 2)), (Rect{2, 2, 6, 6}));
    EXPECT_TRUE(Affine::rotation(0.3).mapRect(Rect::infinite()).isInfinite());
}

TEST(ImageRecipe, ExtentsOfEveryNodeKind) {
    const Image src = testPicture(40, 30);
    EXPECT_EQ(src.extent(), Rect::make(0, 0, 40, 30));
    EXPECT_TRUE(Image::constant(1, 0, 0, 1).extent().isInfinite());
    EXPECT_TRUE(Image::empty().extent().isEmpty());
    EXPECT_FALSE(Image::empty().isNull());
    EXPECT_TRUE(Image().isNull());
    EXPECT_TRUE(Image().cropped(Rect::make(0, 0, 1, 1)).isNull());

    EXPECT_EQ(src.cropped(Rect::make(10, -5, 100, 20)).extent(), Rect::make(10, 0, 30, 15));
    EXPECT_TRUE(src.cropped(Rect::make(100, 100, 5, 5)).extent().isEmpty());
    EXPECT_EQ(src.cropped(Rect::infinite()), src); // nothing to cut: the same recipe
    EXPECT_EQ(Image::constant(0, 0, 0, 1).cropped(Rect::make(1, 2, 3, 4)).extent(), Rect::make(1, 2, 3, 4));

    EXPECT_EQ(src.translated(5, -3).extent(), Rect::make(5, -3, 40, 30));
    EXPECT_EQ(src.transformed(Affine::scale(2, 0.5)).extent(), Rect::make(0, 0, 80, 15));
    const Rect rotated = src.transformed(Affine::rotation(M_PI / 2)).extent();
    EXPECT_NEAR(rotated.x0, -30, 1e-9);
    EXPECT_NEAR(rotated.width(), 30, 1e-9);
    EXPECT_NEAR(rotated.height(), 40, 1e-9);
    EXPECT_TRUE(src.transformed(Affine::scale(0, 1)).extent().isEmpty());
    EXPECT_EQ(src.transformed(Affine()), src);

    EXPECT_TRUE(src.clampedToExtent().extent().isInfinite());
    EXPECT_EQ(src.clampedToExtent().cropped(Rect::make(-5, -5, 10, 10)).extent(), Rect::make(-5, -5, 10, 10));

    const Image other = testPicture(10, 10, 50, 50);
    EXPECT_EQ(src.composited(other).extent(), Rect::make(0, 0, 60, 60));
    EXPECT_EQ(boxKernel(src).extent(), Rect::make(-1, -1, 42, 32));
    EXPECT_EQ(swirlKernel(src).extent(), src.extent());
}

TEST(Render, PixelsOfSourcesCropsTransformsAndClamps) {
    Context ctx;
    const Image src = testPicture(16, 12);
    auto whole = ctx.render(src);
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->rect(), (IRect{0, 0, 16, 12}));

    // Outside the extent an image reads as transparent black.
    auto wider = ctx.render(src, Rect::make(-2, -2, 20, 16));
    ASSERT_TRUE(wider);
    float p[4];
    wider->read(-1, -1, p);
    EXPECT_EQ(p[3], 0.f);
    wider->read(3, 4, p);
    EXPECT_EQ(p[0], whole->pixel(3, 4)[0]);

    // An integer translation moves pixels without resampling.
    auto moved = ctx.render(src.translated(3, 2));
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved->pixel(3 + 5, 2 + 7)[1], whole->pixel(5, 7)[1]);

    // Half-pixel translation samples bilinearly between neighbours.
    auto half = ctx.render(src.translated(0.5, 0), Rect::make(0, 0, 16, 12));
    ASSERT_TRUE(half);
    EXPECT_NEAR(half->pixel(5, 3)[0], (whole->pixel(4, 3)[0] + whole->pixel(5, 3)[0]) / 2, 1e-6);

    // Clamping repeats the edge pixels outwards, without transparent mixing.
    auto clamped = ctx.render(src.clampedToExtent(), Rect::make(-4, -4, 24, 20));
    ASSERT_TRUE(clamped);
    EXPECT_NEAR(clamped->pixel(-4, -4)[2], whole->pixel(0, 0)[2], 1e-6);
    EXPECT_NEAR(clamped->pixel(19, 15)[3], whole->pixel(15, 11)[3], 1e-6);
    EXPECT_NEAR(clamped->pixel(7, -3)[0], whole->pixel(7, 0)[0], 1e-6);

    // Crops keep the pixels whose centres lie inside.
    auto cropped = ctx.render(src.cropped(Rect::make(2.6, 0, 4, 12)), Rect::make(0, 0, 16, 12));
    ASSERT_TRUE(cropped);
    EXPECT_EQ(cropped->pixel(2, 5)[3], 0.f);
    EXPECT_EQ(cropped->pixel(3, 5)[0], whole->pixel(3, 5)[0]);
    EXPECT_EQ(cropped->pixel(6, 5)[0], whole->pixel(6, 5)[0]);
    EXPECT_EQ(cropped->pixel(7, 5)[3], 0.f);

    // Strong reductions are pre-filtered: a fine checkerboard averages to grey, not to one phase.
    Image checker = Image::fromBitmap(makeBitmap(64, 64, [](int x, int y, float* q) {
        const float v = (x + y) % 2 ? 1.f : 0.f;
        q[0] = q[1] = q[2] = v;
        q[3] = 1;
    }));
    auto small = ctx.render(checker.transformed(Affine::scale(0.125, 0.125)));
    ASSERT_TRUE(small);
    EXPECT_EQ(small->rect(), (IRect{0, 0, 8, 8}));
    EXPECT_NEAR(small->pixel(4, 4)[0], 0.5, 0.02);
}

TEST(Render, ColourKernelsFuseAndCompositeByUnion) {
    Context ctx;
    const Image src = testPicture(20, 10);
    auto base = ctx.render(src);
    auto chain = ctx.render(addKernel(addKernel(addKernel(src, 0.1f), 0.2f), -0.05f));
    ASSERT_TRUE(base && chain);
    const float* b = base->pixel(7, 3);
    const float* c = chain->pixel(7, 3);
    EXPECT_NEAR(c[0], b[0] + 0.25f * b[3], 1e-6);
    EXPECT_NEAR(c[2], b[2] * 0.125f, 1e-6);

    // Source-over with transparent surroundings: the union extent, each side where the other is absent.
    const Image red = Image::constant(1, 0, 0, 1).cropped(Rect::make(0, 0, 4, 4));
    const Image halfBlue = Image::constant(0, 0, 0.5f, 0.5f).cropped(Rect::make(2, 2, 4, 4));
    auto over = ctx.render(halfBlue.composited(red));
    ASSERT_TRUE(over);
    EXPECT_EQ(over->rect(), (IRect{0, 0, 6, 6}));
    EXPECT_FLOAT_EQ(over->pixel(0, 0)[0], 1.f);
    EXPECT_FLOAT_EQ(over->pixel(3, 3)[0], 0.5f);
    EXPECT_FLOAT_EQ(over->pixel(3, 3)[2], 0.5f);
    EXPECT_FLOAT_EQ(over->pixel(3, 3)[3], 1.f);
    EXPECT_FLOAT_EQ(over->pixel(5, 5)[3], 0.5f);
    EXPECT_FLOAT_EQ(over->pixel(5, 0)[3], 0.f);

    // A generator (no inputs) renders wherever it is asked, given a finite rectangle.
    Image gradient = ColorKernel::apply(
        [](const ColorRow& r) {
            for (int i = 0; i < r.count; ++i) {
                r.out[4 * i] = float(r.x + i);
                r.out[4 * i + 1] = float(r.y);
                r.out[4 * i + 2] = 0;
                r.out[4 * i + 3] = 1;
            }
        },
        {});
    auto g = ctx.render(gradient, Rect::make(-3, 5, 4, 2));
    ASSERT_TRUE(g);
    EXPECT_EQ(g->pixel(-3, 6)[0], -3.f);
    EXPECT_EQ(g->pixel(0, 6)[1], 6.f);
    EXPECT_FALSE(ctx.render(gradient)); // infinite: an error, not a hang
    EXPECT_FALSE(ctx.render(Image()));
}

TEST(Render, ResultDoesNotDependOnTilesOrThreads) {
    // One recipe with every kind of node, shared sub-graphs included.
    const Image src = testPicture(300, 200, 7, -3);
    const Image blurred = boxKernel(addKernel(src, 0.3f));
    const Image warped =
        swirlKernel(blurred).transformed(Affine::rotation(0.2).then(Affine::scale(0.8, 1.1)));
    const Image both = addKernel(warped, -0.1f).composited(boxKernel(blurred).clampedToExtent());
    const Image recipe = both.cropped(Rect::make(-20, -20, 360, 260));

    auto reference = Context(Context::Options{1024, 1}).render(recipe);
    ASSERT_TRUE(reference);
    for (int tile : {8, 37, 64, 256})
        for (int threads : {1, 2, 4}) {
            auto r = Context(Context::Options{tile, threads}).render(recipe);
            ASSERT_TRUE(r);
            EXPECT_EQ(maxDifference(*reference, *r), 0.0) << "tile " << tile << ", threads " << threads;
        }

    // Handed out row by row instead: the same pixels, each exactly once.
    Bitmap rows(reference->rect());
    std::vector<std::atomic<int>> times(size_t(rows.rect().area()));
    const std::string err =
        Context(Context::Options{37, 4})
            .renderRows(recipe, recipe.extent(), [&](int64_t y, int64_t x0, int count, const float* p) {
                std::memcpy(rows.pixel(x0, y), p, size_t(count) * 4 * sizeof(float));
                for (int64_t x = x0; x < x0 + count; ++x)
                    ++times[size_t((y - rows.rect().y0) * rows.width() + (x - rows.rect().x0))];
            });
    ASSERT_EQ(err, "");
    EXPECT_EQ(maxDifference(*reference, rows), 0.0);
    EXPECT_TRUE(std::all_of(times.begin(), times.end(), [](const std::atomic<int>& n) { return n == 1; }));
}

TEST(Render, DeepAndReducingChainsDoNotDependOnTiles) {
    // Nested neighbourhood kernels over a reduction by 8 of a large picture: the renderer
    // computes such chains tile by tile, in smaller tiles where the reduction would make a tile's
    // region too large, and holds only what that would make too costly.
    const Image src = testPicture(1600, 1200);
    const Image reduced = reducedBy8(addKernel(src, 0.2f), Rect::make(0, 0, 200, 150));
    const Image recipe =
        addKernel(boxKernel(boxKernel(reduced)), -0.1f)
            .composited(boxKernel(addKernel(src, 0.1f)).transformed(Affine::scale(0.125, 0.125)));
    const Rect area = Rect::make(0, 0, 200, 150);
    auto reference = Context(Context::Options{1024, 1}).render(recipe, area);
    ASSERT_TRUE(reference);
    for (int tile : {16, 256}) {
        auto r = Context(Context::Options{tile, 4}).render(recipe, area);
        ASSERT_TRUE(r);
        EXPECT_EQ(maxDifference(*reference, *r), 0.0) << "tile " << tile;
    }
}

TEST(Render, AColourChainReadTwiceIsComputedOnce) {
    // An unsharp-mask shape: the chain is read in place and through a blur of it.
    const Image src = testPicture(512, 384);
    std::atomic<int64_t> evaluated{0};
    const Image chain = ColorKernel::apply(
        [&evaluated](const ColorRow& r) {
            evaluated += r.count;
            for (int i = 0; i < r.count * 4; ++i)
                r.out[i] = r.in[0][i] * 0.9f;
        },
        {src});
    const Image sharpened = ColorKernel::apply(
        [](const ColorRow& r) {
            for (int i = 0; i < r.count * 4; ++i)
                r.out[i] = 2 * r.in[0][i] - r.in[1][i];
        },
        {chain, boxKernel(chain)}, src.extent());

    auto once = Context(Context::Options{1024, 1}).render(sharpened);
    ASSERT_TRUE(once);
    for (int tile : {32, 128}) {
        evaluated = 0;
        auto tiled = Context(Context::Options{tile, 4}).render(sharpened);
        ASSERT_TRUE(tiled);
        EXPECT_EQ(maxDifference(*once, *tiled), 0.0);
        // Each pixel once, plus the blur's one-pixel margins and a row or so per tile: far from
        // the twice that computing the chain for each reader would take.
        EXPECT_LT(double(evaluated), 1.25 * 512 * 384) << "tile " << tile;
    }
}

TEST(Render, EachStepIsComputedOncePerTileWhoeverAsksFirst) {
    // Consumers ask for different regions of the same step, the narrowest first: a combine reads
    // the chain and the neighbourhood kernel in place, blurs of them read wider.
    const Image src = testPicture(640, 480);
    std::atomic<int64_t> chainPixels{0}, boxPixels{0};
    const Image chain = ColorKernel::apply(
        [&chainPixels](const ColorRow& r) {
            chainPixels += r.count;
            for (int i = 0; i < r.count * 4; ++i)
                r.out[i] = r.in[0][i] * 0.9f;
        },
        {src});
    const Image box = GeneralKernel::apply(
        [&boxPixels](const KernelTile& t) {
            boxPixels += t.rect.width() * t.rect.height();
            for (int64_t y = t.rect.y0; y < t.rect.y1; ++y)
                for (int64_t x = t.rect.x0; x < t.rect.x1; ++x) {
                    float acc[4] = {0, 0, 0, 0}, p[4];
                    for (int i = -1; i <= 1; ++i) {
                        t.inputs[0]->read(x + i, y, p);
                        for (int c = 0; c < 4; ++c)
                            acc[c] += p[c] / 3.f;
                    }
                    std::copy(acc, acc + 4, t.out->pixel(x, y));
                }
        },
        {chain}, src.extent(), [](int, const Rect& r) { return r.grown(1, 0); });
    const Image recipe = ColorKernel::apply(
        [](const ColorRow& r) {
            for (int i = 0; i < r.count * 4; ++i)
                r.out[i] = r.in[0][i] + r.in[1][i] - 0.5f * r.in[2][i] - 0.5f * r.in[3][i];
        },
        {chain, box, boxKernel(boxKernel(chain)), boxKernel(box)}, src.extent());

    chainPixels = boxPixels = 0;
    auto once = Context(Context::Options{1024, 1}).render(recipe);
    ASSERT_TRUE(once);
    for (int tile : {64, 128}) {
        chainPixels = boxPixels = 0;
        auto tiled = Context(Context::Options{tile, 4}).render(recipe);
        ASSERT_TRUE(tiled);
        EXPECT_EQ(maxDifference(*once, *tiled), 0.0);
        // Once per pixel and the margins of its tile, not once for each reader.
        EXPECT_LT(double(chainPixels), 1.2 * 640 * 480) << "tile " << tile;
        EXPECT_LT(double(boxPixels), 1.2 * 640 * 480) << "tile " << tile;
    }
}

// A step whose maths is as costly as a colour adjustment made in a gamma space, counting the
// pixels it computes.
Image gammaStep(const Image& in, float gain, std::atomic<int64_t>& evaluated) {
    return ColorKernel::apply(
        [gain, &evaluated](const ColorRow& r) {
            evaluated += r.count;
            for (int i = 0; i < r.count * 4; i += 4) {
                const float a = r.in[0][i + 3];
                for (int c = 0; c < 3; ++c) {
                    const float v = a > 0 ? std::max(r.in[0][i + c] / a, 0.f) : 0.f;
                    r.out[i + c] = a * std::pow(gain * std::pow(v, 1 / 2.4f), 2.4f);
                }
                r.out[i + 3] = a;
            }
        },
        {in});
}

// A clarity shape: the step is read at full size and through a reduction by 8 (a wide blur's
// reduced copy), so the full-size tiles and the reduced copy both need all of it.
Image readReducedAndWhole(const Image& step, const Rect& extent) {
    const Image reduced = reducedBy8(step, Rect::make(0, 0, extent.width() / 8, extent.height() / 8));
    return ColorKernel::apply(
        [](const ColorRow& r) {
            for (int i = 0; i < r.count * 4; ++i)
                r.out[i] = 1.5f * r.in[0][i] - 0.5f * r.in[1][i];
        },
        {step, boxKernel(reduced).transformed(Affine::scale(8, 8))}, extent);
}

// The renderer decides what to hold from kernels it times as it plans. Sanitizers slow plain
// arithmetic many times more than calls into the maths library, so there those decisions differ
// (the pixels never do) and only the pixels are checked.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kTimedAsBuilt = false;
#else
constexpr bool kTimedAsBuilt = true;
#endif

TEST(Render, WorkReadTwiceIsHeldWhenComputingItAgainCostsMore) {
    const Image src = testPicture(960, 720);
    const Rect extent = src.extent();
    const double area = 960 * 720;
    std::atomic<int64_t> evaluated{0};
    const Image costly = readReducedAndWhole(gammaStep(src, 0.95f, evaluated), extent);
    auto reference = Context(Context::Options{1024, 1}).render(costly);
    ASSERT_TRUE(reference);
    for (int tile : {64, 256}) {
        evaluated = 0;
        auto tiled = Context(Context::Options{tile, 4}).render(costly);
        ASSERT_TRUE(tiled);
        EXPECT_EQ(maxDifference(*reference, *tiled), 0.0) << "tile " << tile;
        if (kTimedAsBuilt) {
            EXPECT_LT(double(evaluated), 1.3 * area) << "tile " << tile;
        }
    }

    // Without room to hold it the step is computed again, with the same pixels.
    const int64_t output = Bitmap::bytesFor(IRect{0, 0, 960, 720});
    memory::setLimit(memory::inUse() + output + (16 << 20));
    evaluated = 0;
    auto tight = Context(Context::Options{64, 4}).render(costly);
    memory::setLimit(0);
    ASSERT_TRUE(tight) << tight.error();
    EXPECT_EQ(maxDifference(*reference, *tight), 0.0);
    EXPECT_GT(double(evaluated), 1.8 * area);

    // A step that only copies costs less to compute again than to write out and read back.
    std::atomic<int64_t> copied{0};
    const Image copy = ColorKernel::apply(
        [&copied](const ColorRow& r) {
            copied += r.count;
            std::memcpy(r.out, r.in[0], size_t(r.count) * 4 * sizeof(float));
        },
        {src});
    const Image cheap = readReducedAndWhole(copy, extent);
    auto cheapReference = Context(Context::Options{1024, 1}).render(cheap);
    ASSERT_TRUE(cheapReference);
    copied = 0;
    auto cheapTiled = Context(Context::Options{64, 4}).render(cheap);
    ASSERT_TRUE(cheapTiled);
    EXPECT_EQ(maxDifference(*cheapReference, *cheapTiled), 0.0);
    EXPECT_GT(double(copied), 1.8 * area);

    // Two such steps: holding both would take twice the render's own memory, so one is held and
    // the other computed twice.
    std::atomic<int64_t> second{0};
    const Image both = ColorKernel::apply(
        [](const ColorRow& r) {
            for (int i = 0; i < r.count * 4; ++i)
                r.out[i] = 0.5f * (r.in[0][i] + r.in[1][i]);
        },
        {costly, readReducedAndWhole(gammaStep(src, 1.05f, second), extent)}, extent);
    auto bothReference = Context(Context::Options{1024, 1}).render(both);
    ASSERT_TRUE(bothReference);
    evaluated = second = 0;
    auto bothTiled = Context(Context::Options{64, 4}).render(both);
    ASSERT_TRUE(bothTiled);
    EXPECT_EQ(maxDifference(*bothReference, *bothTiled), 0.0);
    const double total = double(evaluated + second);
    EXPECT_GT(total, 2.7 * area);
    if (kTimedAsBuilt) {
        EXPECT_LT(total, 3.4 * area);
    }
}

// The sRGB decoding curve in double precision, as the standard gives it.
static double srgbDecodeExact(double v) {
    return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}

TEST(Render, SrgbEightBitRoundTripIsLossless) {
    for (int v = 0; v < 256; ++v)
        EXPECT_EQ(srgbEncode8(srgbDecode8(uint8_t(v))), v);
    EXPECT_EQ(srgbEncode8(-1.f), 0);
    EXPECT_EQ(srgbEncode8(7.f), 255);
    EXPECT_NEAR(srgbEncode(srgbDecode(0.37f)), 0.37f, 1e-6);
    EXPECT_NEAR(srgbDecode(-0.5f), -srgbDecode(0.5f), 1e-7); // sign preserved for extended range
    EXPECT_EQ(srgbEncode8(std::nanf("")), 0);

    // The table lookup gives the nearest code exactly: the number of halfway points below the
    // value, over a dense sweep of float bit patterns (every one near each halfway point).
    std::vector<float> halfway;
    for (int k = 0; k < 255; ++k)
        halfway.push_back(float(srgbDecodeExact((k + 0.5) / 255.0)));
    auto nearest = [&](float v) {
        return uint8_t(std::count_if(halfway.begin(), halfway.end(), [v](float t) { return t < v; }));
    };
    for (uint32_t bits = 0x30000000u; bits < 0x3f900000u; bits += 4099) {
        const float v = std::bit_cast<float>(bits);
        ASSERT_EQ(srgbEncode8(v), nearest(v)) << v;
    }
    for (float t : halfway)
        for (float v : {std::nextafter(t, 0.f), t, std::nextafter(t, 2.f)})
            ASSERT_EQ(srgbEncode8(v), nearest(v)) << v;

    // Through premultiplied floats and back, opaque and translucent.
    Bitmap bm = makeBitmap(256, 3, [](int x, int y, float* p) {
        const float a = y == 0 ? 1.f : (y == 1 ? 128 / 255.f : 200 / 255.f);
        p[0] = srgbDecode8(uint8_t(x)) * a;
        p[1] = srgbDecode8(uint8_t(255 - x)) * a;
        p[2] = srgbDecode8(uint8_t((x * 7) % 256)) * a;
        p[3] = a;
    });
    auto px = Context().renderSRGB(Image::fromBitmap(std::move(bm)), Rect::make(0, 0, 256, 3));
    ASSERT_TRUE(px);
    for (int x = 0; x < 256; ++x) {
        const uint8_t* top = px->row8(2) + 4 * x; // bottom engine row is the last buffer row
        EXPECT_EQ(top[0], x);
        EXPECT_EQ(top[1], 255 - x);
        EXPECT_EQ(top[3], 255);
        for (int row = 0; row < 2; ++row)
            EXPECT_NEAR(px->row8(row)[4 * x], x, 1) << "translucent row " << row;
    }

    auto px16 = Context().renderSRGB(Image::constant(0.5f, 0.25f, 0, 0.5f), Rect::make(0, 0, 1, 1), 16);
    ASSERT_TRUE(px16);
    EXPECT_NEAR(px16->row16(0)[0], 65535, 1);
    EXPECT_NEAR(px16->row16(0)[1], std::lround(srgbEncode(0.5f) * 65535), 1);
    EXPECT_NEAR(px16->row16(0)[3], 32768, 1);
}

TEST(Render, ClampOfAThinRecipeRepeatsItsPixels) {
    // A one-pixel-high computed image (not a bitmap) clamped outwards.
    const Image thin = addKernel(Image::constant(0.2f, 0.4f, 0.6f, 1).cropped(Rect::make(0, 0, 40, 1)), 0.1f);
    auto r = Context().render(thin.clampedToExtent(), Rect::make(-2, -3, 44, 7));
    ASSERT_TRUE(r);
    EXPECT_NEAR(r->pixel(-2, -3)[0], 0.3f, 1e-6);
    EXPECT_NEAR(r->pixel(41, 3)[1], 0.4f, 1e-6);
    EXPECT_NEAR(r->pixel(20, 0)[3], 1.f, 1e-6);
}

TEST(Render, ACancelledRenderStopsWithinAFewTilesAndFails) {
    const Image picture = testPicture(512, 512);
    std::atomic<bool> cancel{false};
    Context::Options options;
    options.tileSize = 32; // 256 tiles
    options.cancel = &cancel;

    // Not cancelled: the same pixels as a render without the flag.
    auto whole = Context(options).render(boxKernel(picture));
    ASSERT_TRUE(whole.ok());
    auto plain = Context().render(boxKernel(picture));
    ASSERT_TRUE(plain.ok());
    EXPECT_EQ(maxDifference(*whole, *plain), 0.f);

    // Cancelled before it starts, for float and for sRGB output.
    cancel = true;
    auto none = Context(options).render(picture);
    ASSERT_FALSE(none.ok());
    EXPECT_EQ(none.error(), "cancelled");
    EXPECT_FALSE(Context(options).renderSRGB(picture, picture.extent()).ok());

    // Cancelled while it runs: the tiles after the flag are not computed.
    cancel = false;
    std::atomic<int> tiles{0};
    const Image counted = ColorKernel::apply(
        [&](const ColorRow& r) {
            if (r.x % 32 == 0 && r.y % 32 == 0 && ++tiles == 4)
                cancel = true;
            std::copy(r.in[0], r.in[0] + r.count * 4, r.out);
        },
        {picture});
    auto stopped = Context(options).render(counted);
    EXPECT_FALSE(stopped.ok());
    EXPECT_LT(tiles.load(), 4 + 64) << "at most a few tiles per thread after the flag";
}
