#include "model/ImageOperations.h"

#include "ci/core/Filter.h"
#include "ci/core/Kernel.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <functional>
#include <map>
#include <mutex>
#include <numbers>

using model::FilterChain;
using platform::ImageRep;
using platform::Size;
using platform::WindowImage;

namespace {

// ---- test filters, registered by name like the system's own ----------------------------

std::atomic<int> countedRows{0};

class FunctionFilter : public ci::Filter {
  public:
    explicit FunctionFilter(std::function<ci::Image(const ci::Image&)> fn) : fn_(std::move(fn)) {}
    ci::SetResult setValue(const std::string& key, const ci::Value& value) override {
        if (key != "inputImage")
            return ci::SetResult::UnknownKey;
        input_ = value.toImage();
        return ci::SetResult::Ok;
    }
    ci::Image outputImage() override { return input_ ? fn_(input_) : ci::Image(); }

  private:
    std::function<ci::Image(const ci::Image&)> fn_;
    ci::Image input_;
};

ci::Image unbounded(const ci::Image& in) {
    return in.clampedToExtent();
}

const std::map<std::string, std::function<ci::Image(const ci::Image&)>>& testFilters() {
    static const std::map<std::string, std::function<ci::Image(const ci::Image&)>> filters = {
        {"GWTestTile", unbounded},
        {"TileGWTest", unbounded},
        {"GWTestMidTileTest", unbounded},
        {"GWTestlowertile", unbounded},
        {"CIkaleidoscope", unbounded},
        {"GWTestUnbounded", unbounded},
        {"GWTestShift", [](const ci::Image& in) { return in.translated(100, 50); }},
        {"GWTestCounter",
         [](const ci::Image& in) {
             return ci::ColorKernel::apply(
                 [](const ci::ColorRow& row) {
                     ++countedRows;
                     std::copy(row.in[0], row.in[0] + row.count * 4, row.out);
                 },
                 {in});
         }},
    };
    return filters;
}

class TestConstructor : public ci::FilterConstructor {
  public:
    std::shared_ptr<ci::Filter> filterWithName(const std::string& name) override {
        auto it = testFilters().find(name);
        return it == testFilters().end() ? nullptr : std::make_shared<FunctionFilter>(it->second);
    }
};

void registerTestFilters() {
    static std::once_flag once;
    std::call_once(once, [] {
        auto constructor = std::make_shared<TestConstructor>();
        for (const auto& [name, fn] : testFilters())
            ci::FilterRegistry::registerFilterName(name, constructor, ci::Attributes::object());
    });
}

// ---- pictures --------------------------------------------------------------------------------

WindowImage windowImage(ci::Bitmap bitmap) {
    const int w = int(bitmap.width()), h = int(bitmap.height());
    WindowImage image(Size{double(w), double(h)});
    image.addRepresentation(ImageRep::bitmap(ci::Image::fromBitmap(std::move(bitmap)), w, h));
    return image;
}

ci::Bitmap gradient(int w, int h) {
    return gwtest::makeBitmap(w, h, [&](int x, int y, float* p) {
        p[0] = float(x + 1) / float(w);
        p[1] = float(y + 1) / float(h);
        p[2] = 0.25f;
        p[3] = 1;
    });
}

ci::Bitmap solid(int w, int h, float r, float g, float b, float a = 1) {
    return gwtest::makeBitmap(w, h, [&](int, int, float* p) {
        p[0] = r;
        p[1] = g;
        p[2] = b;
        p[3] = a;
    });
}

ci::Bitmap render(const ci::Image& image, const ci::Rect& rect) {
    auto result = ci::Context().render(image, rect);
    EXPECT_TRUE(result.ok()) << result.error();
    return result.ok() ? std::move(*result) : ci::Bitmap();
}

// The picture as its bitmap form holds it, rendered.
ci::Bitmap pixelsOf(const WindowImage& image) {
    auto ciImage = model::toCIImage(image);
    EXPECT_TRUE(ciImage);
    if (!ciImage)
        return {};
    EXPECT_EQ(ciImage->extent().x0, 0);
    EXPECT_EQ(ciImage->extent().y0, 0);
    return render(*ciImage, ciImage->extent());
}

} // namespace

TEST(ImageOperations, CropRuleNames) {
    for (const char* name : {"CIFourfoldRotatedTile", "CIParallelogramTile", "TileAnything", "CIKaleidoscope",
                             "CITriangleKaleidoscope"})
        EXPECT_TRUE(model::matchesCropRule(name)) << name;
    for (const char* name : {"CIClampedtile", "CIkaleidoscope", "CIKaleidoscopeX", "XCIKaleidoscope",
                             "CITILE", "CIColorControls", ""})
        EXPECT_FALSE(model::matchesCropRule(name)) << name;
}

TEST(ApplyFilterChain, CropsUnboundedTilingResultsToTheInputSizeAtTheOrigin) {
    registerTestFilters();
    const WindowImage image = windowImage(gradient(640, 480));
    for (const char* name : {"GWTestTile", "TileGWTest", "GWTestMidTileTest"}) {
        auto result = model::applyFilterChain(image, {{name, {}}});
        ASSERT_TRUE(result) << name;
        EXPECT_EQ(result->size(), (Size{640, 480})) << name;
        EXPECT_EQ(model::toCIImage(*result)->extent(), ci::Rect::make(0, 0, 640, 480)) << name;
    }
    // Only the exact spelling is cropped.
    for (const char* name : {"GWTestlowertile", "CIkaleidoscope", "GWTestUnbounded"}) {
        auto result = model::applyFilterChain(image, {{name, {}}});
        ASSERT_TRUE(result) << name;
        EXPECT_TRUE(std::isinf(result->size().width)) << name;
    }
    // The tiling filters of the engine, whose results are unbounded.
    for (const char* name : {"CIFourfoldRotatedTile", "CIKaleidoscope", "CITriangleKaleidoscope"}) {
        auto result = model::applyFilterChain(image, {{name, {}}});
        ASSERT_TRUE(result) << name;
        EXPECT_EQ(result->size(), (Size{640, 480})) << name;
    }

    // The one-step form crops to the size it is given, not to its input's.
    const ci::Image input = ci::Image::fromBitmap(gradient(64, 48));
    EXPECT_EQ(model::applyFilterNamed(input, "GWTestTile", {}, 32, 16).extent(),
              ci::Rect::make(0, 0, 32, 16));
    EXPECT_EQ(model::applyFilterNamed(input, "GWTestShift", {}, 32, 16).extent(),
              ci::Rect::make(100, 50, 64, 48));
    EXPECT_TRUE(model::applyFilterNamed(input, "GWNoSuchFilter", {}, 32, 16).isNull());
}

TEST(ApplyFilterChain, TilingCropStartsAtTheOriginAfterTheExtentMoved) {
    registerTestFilters();
    const ci::Bitmap source = gradient(640, 480);
    const WindowImage image = windowImage(source.clone());
    auto result = model::applyFilterChain(image, {{"GWTestShift", {}}, {"GWTestTile", {}}});
    ASSERT_TRUE(result);
    EXPECT_EQ(result->size(), (Size{640, 480}));
    const ci::Bitmap out = pixelsOf(*result);
    ASSERT_EQ(out.rect(), (ci::IRect{0, 0, 640, 480}));
    // The shifted picture stays where the shift put it; below and left of it the edge repeats.
    for (auto [x, y] : {std::pair{150, 70}, {639, 479}, {100, 50}})
        for (int c = 0; c < 4; ++c)
            EXPECT_NEAR(out.pixel(x, y)[c], source.pixel(x - 100, y - 50)[c], 1e-5) << x << "," << y;
    for (int c = 0; c < 4; ++c)
        EXPECT_NEAR(out.pixel(0, 0)[c], source.pixel(0, 0)[c], 1e-5);

    // Moved wholly off the area the crop keeps: that area repeats the picture's corner.
    const ci::Bitmap small = gradient(32, 16);
    auto corner =
        model::applyFilterChain(windowImage(small.clone()), {{"GWTestShift", {}}, {"GWTestTile", {}}});
    ASSERT_TRUE(corner);
    const ci::Bitmap cornerPixels = pixelsOf(*corner);
    ASSERT_EQ(cornerPixels.rect(), (ci::IRect{0, 0, 32, 16}));
    for (int c = 0; c < 4; ++c)
        EXPECT_NEAR(cornerPixels.pixel(31, 15)[c], small.pixel(0, 0)[c], 1e-5);

    // The same with the engine's filters, the extent moved below and left of the origin.
    auto tiled = model::applyFilterChain(
        image, {{"CIAffineTransform", {{"inputTransform", ci::Affine::translation(-100, -60)}}},
                {"CIFourfoldRotatedTile", {}}});
    ASSERT_TRUE(tiled);
    EXPECT_EQ(tiled->size(), (Size{640, 480}));
    const ci::Bitmap tiles = pixelsOf(*tiled);
    ASSERT_EQ(tiles.rect(), (ci::IRect{0, 0, 640, 480}));
    EXPECT_NEAR(tiles.pixel(0, 0)[3], 1.f, 1e-4);
    EXPECT_NEAR(tiles.pixel(639, 479)[3], 1.f, 1e-4);

    // Without the tiling step the moved extent is kept, and the window image starts at its origin.
    auto moved = model::applyFilterChain(image, {{"GWTestShift", {}}});
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved->size(), (Size{640, 480}));
    EXPECT_LE(gwtest::maxDifference(pixelsOf(*moved), source), 1e-6);
}

TEST(ApplyFilterChain, YieldsNothingForUnknownNamesAndUnconvertibleImages) {
    registerTestFilters();
    const ci::Bitmap source = gradient(32, 16);
    const WindowImage image = windowImage(source.clone());
    EXPECT_FALSE(model::applyFilterChain(image, {{"GWNoSuchFilter", {}}}));
    EXPECT_FALSE(model::applyFilterChain(image, {{"GWTestShift", {}}, {"GWNoSuchFilter", {}}}));
    EXPECT_FALSE(model::applyFilterChain(image, {{"GWNoSuchFilter", {}}, {"GWTestShift", {}}}));
    EXPECT_FALSE(model::applyFilterChain(WindowImage(Size{32, 16}), {}));
    EXPECT_FALSE(model::applyFilterChain(WindowImage::fromCIImage(ci::Image::constant(1, 1, 1, 1)), {}));

    // An empty chain gives the picture back unchanged, as an engine-image representation.
    auto same = model::applyFilterChain(image, {});
    ASSERT_TRUE(same);
    EXPECT_EQ(same->size(), (Size{32, 16}));
    EXPECT_EQ(same->firstRepresentation()->kind(), ImageRep::Kind::Recipe);
    EXPECT_LE(gwtest::maxDifference(pixelsOf(*same), source), 1e-6);
}

TEST(ApplyFilterChain, ComputesNoPixelsUntilTheResultIsEncoded) {
    registerTestFilters();
    const WindowImage image = windowImage(gradient(320, 240));
    countedRows = 0;
    auto result = model::applyFilterChain(
        image, {{"GWTestCounter", {}}, {"GWTestShift", {}}, {"GWTestCounter", {}}, {"GWTestTile", {}}});
    ASSERT_TRUE(result);
    auto resized = model::resizedImage(*result, 32, 32);
    ASSERT_TRUE(resized);
    EXPECT_EQ(countedRows, 0);
    EXPECT_TRUE(model::encodedImageData(*resized, ci::io::FileType::PNG, 1.0));
    EXPECT_GT(countedRows, 0);
}

TEST(ResizedImage, CoversTheTargetBox) {
    // Left half dark, right half light.
    const ci::Bitmap halves = gwtest::makeBitmap(400, 200, [](int x, int, float* p) {
        p[0] = p[1] = p[2] = x < 200 ? 0.1f : 0.7f;
        p[3] = 1;
    });
    const WindowImage image = windowImage(halves.clone());
    auto resized = model::resizedImage(image, 100, 100);
    ASSERT_TRUE(resized);
    EXPECT_EQ(resized->size(), (Size{200, 100}));
    EXPECT_EQ(resized->firstRepresentation()->pixelsWide(), 200);
    EXPECT_EQ(resized->firstRepresentation()->pixelsHigh(), 100);
    const ci::Bitmap out = pixelsOf(*resized);
    ASSERT_EQ(out.rect(), (ci::IRect{0, 0, 200, 100}));
    EXPECT_NEAR(out.pixel(50, 50)[0], 0.1f, 1e-4);
    EXPECT_NEAR(out.pixel(150, 50)[0], 0.7f, 1e-4);
    EXPECT_NEAR(out.pixel(0, 0)[3], 1.f, 1e-4);

    auto square = model::resizedImage(windowImage(gradient(300, 300)), 100, 50);
    ASSERT_TRUE(square);
    EXPECT_EQ(square->size(), (Size{100, 100}));
    // Whole pixels, rounded down.
    auto odd = model::resizedImage(windowImage(gradient(3, 7)), 2, 2);
    ASSERT_TRUE(odd);
    EXPECT_EQ(odd->size(), (Size{2, 4}));

    EXPECT_FALSE(model::resizedImage(WindowImage(Size{10, 10}), 100, 100));
    EXPECT_FALSE(model::resizedImage(image, 0, 0));
    EXPECT_FALSE(model::resizedImage(image, NAN, NAN));
    // The larger ratio wins; a ratio that is not a number never does.
    ASSERT_TRUE(model::resizedImage(image, NAN, 100));
    EXPECT_EQ(model::resizedImage(image, NAN, 100)->size(), (Size{200, 100}));
    EXPECT_FALSE(model::resizedImage(image, INFINITY, 100));
    EXPECT_FALSE(model::resizedImage(image, -100, -100));
}

TEST(RedrawnImage, StretchesTheBestRepresentationOverTheSize) {
    const ci::Bitmap halves = gwtest::makeBitmap(400, 200, [](int x, int, float* p) {
        p[0] = p[1] = p[2] = x < 200 ? 0.1f : 0.7f;
        p[3] = 1;
    });
    auto redrawn = model::redrawnImage(windowImage(halves.clone()), 50, 100);
    ASSERT_TRUE(redrawn);
    EXPECT_EQ(redrawn->size(), (Size{50, 100}));
    const ci::Bitmap out = pixelsOf(*redrawn);
    ASSERT_EQ(out.rect(), (ci::IRect{0, 0, 50, 100}));
    EXPECT_NEAR(out.pixel(10, 90)[0], 0.1f, 1e-4);
    EXPECT_NEAR(out.pixel(40, 10)[0], 0.7f, 1e-4);

    EXPECT_FALSE(model::redrawnImage(WindowImage(Size{10, 10}), 50, 50));
    EXPECT_FALSE(model::redrawnImage(windowImage(halves.clone()), 0, 50));
    EXPECT_FALSE(model::redrawnImage(windowImage(halves.clone()), 50, NAN));
    EXPECT_FALSE(model::redrawnImage(WindowImage::fromCIImage(ci::Image::constant(1, 1, 1, 1)), 50, 50));
}

TEST(RotatedImage, TurnsClockwiseForPositiveDegreesWithinTheBoundingSize) {
    // A red mark in the bottom-left corner of a grey 400 x 200 picture.
    const ci::Bitmap marked = gwtest::makeBitmap(400, 200, [](int x, int y, float* p) {
        const bool mark = x < 20 && y < 20;
        p[0] = mark ? 1.f : 0.3f;
        p[1] = p[2] = 0.3f;
        p[3] = 1;
    });
    const WindowImage image = windowImage(marked.clone());
    auto red = [](const ci::Bitmap& b, int x, int y) { return b.pixel(x, y)[0] > 0.9f; };

    auto clockwise = model::rotatedImage(image, 90);
    ASSERT_TRUE(clockwise);
    EXPECT_NEAR(clockwise->size().width, 200, 1e-9);
    EXPECT_NEAR(clockwise->size().height, 400, 1e-9);
    const ci::Bitmap cw = pixelsOf(*clockwise);
    ASSERT_EQ(cw.rect(), (ci::IRect{0, 0, 200, 400}));
    EXPECT_TRUE(red(cw, 5, 395));
    EXPECT_FALSE(red(cw, 5, 5));
    EXPECT_FALSE(red(cw, 195, 395));

    auto counter = model::rotatedImage(image, -90);
    ASSERT_TRUE(counter);
    const ci::Bitmap ccw = pixelsOf(*counter);
    ASSERT_EQ(ccw.rect(), (ci::IRect{0, 0, 200, 400}));
    EXPECT_TRUE(red(ccw, 195, 5));
    EXPECT_FALSE(red(ccw, 5, 395));

    auto none = model::rotatedImage(image, 0);
    ASSERT_TRUE(none);
    EXPECT_EQ(none->size(), (Size{400, 200}));
    EXPECT_LE(gwtest::maxDifference(pixelsOf(*none), marked), 1e-6);

    auto turnAndAHalf = model::rotatedImage(image, 450);
    ASSERT_TRUE(turnAndAHalf);
    EXPECT_LE(gwtest::maxDifference(pixelsOf(*turnAndAHalf), cw), 1e-6);

    auto oblique = model::rotatedImage(image, 30);
    ASSERT_TRUE(oblique);
    const double c = std::cos(std::numbers::pi / 6), s = std::sin(std::numbers::pi / 6);
    EXPECT_NEAR(oblique->size().width, 400 * c + 200 * s, 1e-9);
    EXPECT_NEAR(oblique->size().height, 400 * s + 200 * c, 1e-9);

    EXPECT_FALSE(model::rotatedImage(image, INT64_MIN));
    EXPECT_TRUE(model::rotatedImage(image, INT64_MAX));
    EXPECT_FALSE(model::rotatedImage(WindowImage(Size{10, 10}), 90));
}

TEST(FlippedImage, MirrorsAlongTheChosenAxes) {
    const ci::Bitmap source = gradient(5, 3);
    const WindowImage image = windowImage(source.clone());
    for (int mode = 0; mode < 4; ++mode) {
        const bool horizontal = mode & 1, vertical = mode & 2;
        const WindowImage flipped = model::flippedImage(image, horizontal, vertical);
        EXPECT_EQ(flipped.size(), (Size{5, 3}));
        const ci::Bitmap out = pixelsOf(flipped);
        ASSERT_EQ(out.rect(), (ci::IRect{0, 0, 5, 3}));
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 5; ++x) {
                const float* want = source.pixel(horizontal ? 4 - x : x, vertical ? 2 - y : y);
                for (int c = 0; c < 4; ++c)
                    EXPECT_NEAR(out.pixel(x, y)[c], want[c], 1e-5) << mode << ": " << x << "," << y;
            }
    }
}

TEST(PixelSizedImage, DrawsAtThePixelSizeOfTheBase) {
    // A 300 dpi base: 600 x 300 pixels, 144 x 72 points.
    auto baseRep = ImageRep::bitmap(ci::Image::fromBitmap(solid(600, 300, 0.2f, 0.2f, 0.2f)), 600, 300);
    baseRep->setSize(Size{144, 72});
    WindowImage base(Size{144, 72});
    base.addRepresentation(baseRep);
    // The overlay is 300 dpi as well and still lands at its pixel size.
    auto markRep = ImageRep::bitmap(ci::Image::fromBitmap(solid(50, 40, 0.8f, 0.4f, 0.0f)), 50, 40);
    markRep->setSize(Size{12, 9.6});
    WindowImage mark(Size{12, 9.6});
    mark.addRepresentation(markRep);

    auto result = model::pixelSizedImage(base, mark, 10, 20, 0.5);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->size(), (Size{600, 300}));
    const ci::Bitmap out = pixelsOf(*result);
    ASSERT_EQ(out.rect(), (ci::IRect{0, 0, 600, 300}));
    const float inside[4] = {0.5f, 0.3f, 0.1f, 1.f};
    const float outside[4] = {0.2f, 0.2f, 0.2f, 1.f};
    for (auto [x, y] : {std::pair{10, 20}, {59, 59}, {30, 40}})
        for (int c = 0; c < 4; ++c)
            EXPECT_NEAR(out.pixel(x, y)[c], inside[c], 1e-4) << x << "," << y;
    for (auto [x, y] : {std::pair{9, 20}, {60, 59}, {10, 60}, {10, 19}, {599, 299}})
        for (int c = 0; c < 4; ++c)
            EXPECT_NEAR(out.pixel(x, y)[c], outside[c], 1e-4) << x << "," << y;

    // An overlay reaching past the base is clipped to it.
    auto clipped = model::pixelSizedImage(base, mark, 580, 280, 1.0);
    ASSERT_TRUE(clipped);
    EXPECT_EQ(model::toCIImage(*clipped)->extent(), ci::Rect::make(0, 0, 600, 300));
    EXPECT_NEAR(pixelsOf(*clipped).pixel(599, 299)[0], 0.8f, 1e-4);

    EXPECT_FALSE(model::pixelSizedImage(WindowImage(Size{10, 10}), mark, 0, 0, 1));
    EXPECT_FALSE(model::pixelSizedImage(base, WindowImage(Size{10, 10}), 0, 0, 1));
    EXPECT_FALSE(model::pixelSizedImage(base, mark, NAN, 0, 1));
}

namespace {

// Alpha of the fill pattern at a point of the unrotated square: `inside` when the point lies in
// a copy of a ww x wh mark, `gap` when it lies off every copy, nothing within `margin` of an edge.
std::optional<bool> inPattern(double x, double y, double ww, double wh, int columns, int rows,
                              double margin) {
    const double j = std::floor(y / (1.2 * wh));
    const double ly = y - j * 1.2 * wh;
    const double xs = x - j * ww / 3;
    const double i = std::floor(xs / (1.2 * ww));
    const double lx = xs - i * 1.2 * ww;
    auto near = [&](double v, double edge) { return std::abs(v - edge) < margin; };
    if (near(ly, 0) || near(ly, wh) || near(ly, 1.2 * wh) || near(lx, 0) || near(lx, ww) ||
        near(lx, 1.2 * ww))
        return std::nullopt;
    return j >= 0 && j < rows && i >= 0 && i < columns && ly < wh && lx < ww;
}

} // namespace

TEST(FilledWatermarkImage, TilesAStaggeredTurnedPattern) {
    const WindowImage mark = windowImage(solid(100, 50, 0.0f, 0.0f, 1.0f));
    for (double angle : {0.0, 90.0, 30.0}) {
        auto result = model::filledWatermarkImage(mark, 1000, 500, 0.5, angle);
        ASSERT_TRUE(result) << angle;
        EXPECT_EQ(result->size(), (Size{1000, 500}));
        const ci::Bitmap out = pixelsOf(*result);
        ASSERT_EQ(out.rect(), (ci::IRect{0, 0, 1000, 500}));
        // Each result pixel comes from the square at (x + 1000, y + 500), turned clockwise about
        // the square's centre (1000, 1000); turn back to find it in the pattern.
        const double a = angle * std::numbers::pi / 180, c = std::cos(a), s = std::sin(a);
        int checked = 0, marked = 0;
        for (int y = 0; y < 500; y += 3)
            for (int x = 0; x < 1000; x += 3) {
                const double dx = x + 0.5 + 1000 - 1000, dy = y + 0.5 + 500 - 1000;
                const double px = 1000 + c * dx - s * dy, py = 1000 + s * dx + c * dy;
                // The square clips the pattern before it turns.
                const double fromSquareEdge = std::min({px, py, 2000 - px, 2000 - py});
                if (std::abs(fromSquareEdge) < 1.5)
                    continue;
                const auto inside =
                    fromSquareEdge < 0 ? std::optional(false) : inPattern(px, py, 100, 50, 15, 30, 1.5);
                if (!inside)
                    continue;
                ++checked;
                marked += *inside;
                const float* p = out.pixel(x, y);
                ASSERT_NEAR(p[3], *inside ? 0.5f : 0.f, 1e-4) << angle << ": " << x << "," << y;
                ASSERT_NEAR(p[2], *inside ? 0.5f : 0.f, 1e-4) << angle << ": " << x << "," << y;
            }
        EXPECT_GT(checked, 40000) << angle;
        EXPECT_GT(marked, 10000) << angle;
    }
}

TEST(FilledWatermarkImage, YieldsNothingForUnusableSizesAndNumbers) {
    const WindowImage mark = windowImage(solid(100, 50, 0.0f, 0.0f, 1.0f));
    WindowImage zeroSized(Size{0, 0});
    zeroSized.addRepresentation(ImageRep::bitmap(ci::Image::empty(), 0, 0));
    EXPECT_FALSE(model::filledWatermarkImage(zeroSized, 1000, 500, 0.5, 0));
    EXPECT_FALSE(model::filledWatermarkImage(WindowImage(Size{100, 50}), 1000, 500, 0.5, 0));
    EXPECT_FALSE(model::filledWatermarkImage(mark, NAN, 500, 0.5, 0));
    EXPECT_FALSE(model::filledWatermarkImage(mark, INFINITY, 500, 0.5, 0));
    EXPECT_FALSE(model::filledWatermarkImage(mark, 1e30, 500, 0.5, 0));
    EXPECT_FALSE(model::filledWatermarkImage(mark, -1000, -500, 0.5, 0));
    EXPECT_FALSE(model::filledWatermarkImage(mark, 1000, 0.5, 0.5, 0));
    EXPECT_FALSE(model::filledWatermarkImage(mark, 1000, 500, 0.5, NAN));

    // A mark too large for one copy leaves the layer transparent.
    auto empty = model::filledWatermarkImage(mark, 60, 30, 1.0, 0);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->size(), (Size{60, 30}));
    const ci::Bitmap out = pixelsOf(*empty);
    ASSERT_EQ(out.rect(), (ci::IRect{0, 0, 60, 30}));
    EXPECT_LE(gwtest::maxDifference(out, solid(60, 30, 0, 0, 0, 0)), 0.0);
}

namespace {

ci::PixelBuffer srgb(const ci::Image& image, const ci::Rect& rect) {
    auto result = ci::Context().renderSRGB(image, rect, 8);
    EXPECT_TRUE(result.ok()) << result.error();
    return result.ok() ? std::move(*result) : ci::PixelBuffer();
}

// Largest and mean difference of the colour channels of two 8-bit buffers of the same size.
std::pair<int, double> difference(const ci::PixelBuffer& a, const ci::PixelBuffer& b) {
    EXPECT_EQ(a.width, b.width);
    EXPECT_EQ(a.height, b.height);
    if (a.width != b.width || a.height != b.height)
        return {256, 256};
    int largest = 0;
    double sum = 0;
    size_t n = 0;
    for (size_t i = 0; i < a.data.size(); ++i) {
        if (i % 4 == 3)
            continue;
        const int d = std::abs(int(a.data[i]) - int(b.data[i]));
        largest = std::max(largest, d);
        sum += d;
        ++n;
    }
    return {largest, sum / double(n)};
}

} // namespace

TEST(EncodedImageData, EachFormatDecodesBackToThePicture) {
    auto photo = WindowImage::fromFile(gwtest::dataPath("coffee.png"));
    ASSERT_TRUE(photo);
    // Few colours, so that the palette of a GIF holds them all.
    const WindowImage flat = windowImage(gwtest::makeBitmap(90, 60, [](int x, int y, float* p) {
        p[0] = x < 30 ? 1.f : 0.f;
        p[1] = x >= 30 && x < 60 ? 0.5f : 0.f;
        p[2] = y < 20 ? 1.f : 0.2f;
        p[3] = 1;
    }));
    struct Case {
        ci::io::FileType type;
        const WindowImage* image;
        double compression;
        int largest;
        double mean;
    };
    using ci::io::FileType;
    for (const Case& k :
         {Case{FileType::TIFF, &*photo, 1.0, 0, 0.0}, Case{FileType::BMP, &*photo, 1.0, 0, 0.0},
          Case{FileType::PNG, &*photo, 1.0, 0, 0.0}, Case{FileType::JPEG, &*photo, 0.9, 96, 3.0},
          Case{FileType::GIF, &flat, 1.0, 1, 0.1}}) {
        auto bytes = model::encodedImageData(*k.image, k.type, k.compression);
        ASSERT_TRUE(bytes) << int(k.type);
        auto decoded = ci::io::decodeData(*bytes);
        ASSERT_TRUE(decoded.ok()) << int(k.type) << ": " << decoded.error();
        const ci::Rect rect = ci::Rect::make(0, 0, k.image->size().width, k.image->size().height);
        const auto [largest, mean] =
            difference(srgb(decoded->image, rect), srgb(k.image->drawnImage(), rect));
        EXPECT_LE(largest, k.largest) << int(k.type);
        EXPECT_LE(mean, k.mean) << int(k.type);
    }

    // A chain result is encoded from its own extent, at its size.
    auto turned = model::rotatedImage(*photo, 90);
    ASSERT_TRUE(turned);
    auto bytes = model::encodedImageData(*turned, ci::io::FileType::PNG, 1.0);
    ASSERT_TRUE(bytes);
    auto decoded = ci::io::decodeData(*bytes);
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(decoded->width, 400);
    EXPECT_EQ(decoded->height, 600);

    EXPECT_FALSE(model::encodedImageData(WindowImage(Size{10, 10}), ci::io::FileType::PNG, 1.0));
    EXPECT_FALSE(model::encodedImageData(WindowImage::fromCIImage(ci::Image::constant(1, 1, 1, 1)),
                                         ci::io::FileType::PNG, 1.0));
}
