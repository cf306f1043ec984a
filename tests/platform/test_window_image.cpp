#include "platform/WindowImage.h"

#include "ci/core/Context.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>

using platform::ImageRep;
using platform::Size;
using platform::WindowImage;

namespace {

WindowImage bitmapImage(ci::Bitmap bitmap, Size points) {
    const int w = int(bitmap.width()), h = int(bitmap.height());
    auto rep = ImageRep::bitmap(ci::Image::fromBitmap(std::move(bitmap)), w, h);
    rep->setSize(points);
    WindowImage image(points);
    image.addRepresentation(rep);
    return image;
}

ci::Bitmap render(const ci::Image& image, const ci::Rect& rect) {
    auto result = ci::Context().render(image, rect);
    EXPECT_TRUE(result.ok()) << result.error();
    return result.ok() ? std::move(*result) : ci::Bitmap();
}

// Distinct values per pixel, so that any displacement shows.
ci::Bitmap gradient(int w, int h) {
    return gwtest::makeBitmap(w, h, [&](int x, int y, float* p) {
        p[0] = float(x + 1) / float(w);
        p[1] = float(y + 1) / float(h);
        p[2] = 0.25f;
        p[3] = 1;
    });
}

} // namespace

TEST(WindowImage, DecodesFilesIntoOneBitmapRepresentation) {
    std::string error;
    auto image = WindowImage::fromFile(gwtest::dataPath("coffee.png"), &error);
    ASSERT_TRUE(image) << error;
    EXPECT_EQ(image->size(), (Size{600, 400}));
    ASSERT_EQ(image->representations().size(), 1u);
    const ImageRep* rep = image->firstRepresentation();
    EXPECT_EQ(rep->kind(), ImageRep::Kind::Bitmap);
    EXPECT_EQ(rep->pixelsWide(), 600);
    EXPECT_EQ(rep->pixelsHigh(), 400);
    EXPECT_EQ(image->bitmapImage().extent(), ci::Rect::make(0, 0, 600, 400));

    std::ifstream in(gwtest::dataPath("coffee.png"), std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto fromBytes = WindowImage::fromData(bytes);
    ASSERT_TRUE(fromBytes);
    EXPECT_EQ(fromBytes->size(), (Size{600, 400}));

    error.clear();
    EXPECT_FALSE(WindowImage::fromFile(gwtest::dataPath("truncated.jpg"), &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(WindowImage::fromFile(gwtest::dataPath("no-such-file.png")));
    EXPECT_FALSE(WindowImage::fromData({1, 2, 3}));
}

TEST(WindowImage, RecipeIsDrawnFromItsOwnExtent) {
    const ci::Bitmap pixels = gradient(4, 3);
    const ci::Image moved = ci::Image::fromBitmap(pixels.clone()).translated(10, 20);
    const WindowImage image = WindowImage::fromCIImage(moved);
    EXPECT_EQ(image.size(), (Size{4, 3}));
    const ImageRep* rep = image.firstRepresentation();
    ASSERT_NE(rep, nullptr);
    EXPECT_EQ(rep->kind(), ImageRep::Kind::Recipe);
    EXPECT_EQ(rep->pixelsWide(), 4);
    EXPECT_EQ(rep->pixelsHigh(), 3);

    // Both the drawn picture and the bitmap form start at the origin, pixel for pixel.
    const ci::Rect atOrigin = ci::Rect::make(0, 0, 4, 3);
    EXPECT_EQ(image.drawnImage().extent(), atOrigin);
    EXPECT_LE(gwtest::maxDifference(render(image.drawnImage(), atOrigin), pixels), 1e-6);
    EXPECT_EQ(image.bitmapImage().extent(), atOrigin);
    EXPECT_LE(gwtest::maxDifference(render(image.bitmapImage(), atOrigin), pixels), 1e-6);

    // Rendered at its size, from its own extent.
    auto moved8 = image.render(8);
    auto source8 = ci::Context().renderSRGB(ci::Image::fromBitmap(pixels.clone()), atOrigin, 8);
    ASSERT_TRUE(moved8.ok() && source8.ok());
    EXPECT_EQ(moved8->data, source8->data);

    // A picture that starts inside a pixel is moved by whole pixels and keeps its partial pixels.
    const WindowImage offGrid =
        WindowImage::fromCIImage(ci::Image::fromBitmap(pixels.clone()).translated(10.25, 20));
    EXPECT_EQ(offGrid.firstRepresentation()->pixelsWide(), 5);
    const ci::Image raster = offGrid.bitmapImage();
    ASSERT_EQ(raster.extent(), ci::Rect::make(0, 0, 5, 3));
    const ci::Bitmap rastered = render(raster, raster.extent());
    EXPECT_NEAR(rastered.pixel(0, 1)[3], 0.75f, 1e-4);
    EXPECT_NEAR(rastered.pixel(2, 1)[3], 1.0f, 1e-4);
    EXPECT_LE(rastered.pixel(4, 1)[3], 0.25f + 1e-4);

    // An unbounded recipe has no pixels to draw or convert.
    const WindowImage unbounded = WindowImage::fromCIImage(ci::Image::constant(1, 0, 0, 1));
    EXPECT_TRUE(std::isinf(unbounded.size().width));
    EXPECT_EQ(unbounded.firstRepresentation()->pixelsWide(), 0);
    EXPECT_TRUE(unbounded.bitmapImage().isNull());
    EXPECT_TRUE(unbounded.drawnImage().isNull());
    EXPECT_FALSE(unbounded.render().ok());

    const WindowImage empty(Size{10, 10});
    EXPECT_TRUE(empty.drawnImage().isNull());
    EXPECT_TRUE(empty.bitmapImage().isNull());
}

TEST(WindowImage, DrawsAtItsPointSizeButConvertsAtItsPixelSize) {
    // 8 x 4 pixels shown as 4 x 2 points, as a high-resolution scan would be.
    const ci::Bitmap pixels = gwtest::makeBitmap(8, 4, [](int x, int, float* p) {
        const float v = x < 4 ? 0.2f : 0.8f;
        p[0] = p[1] = p[2] = v;
        p[3] = 1;
    });
    const WindowImage image = bitmapImage(pixels.clone(), Size{4, 2});
    EXPECT_EQ(image.bitmapImage().extent(), ci::Rect::make(0, 0, 8, 4));
    const ci::Image drawn = image.drawnImage();
    ASSERT_FALSE(drawn.isNull());
    EXPECT_EQ(drawn.extent(), ci::Rect::make(0, 0, 4, 2));
    const ci::Bitmap small = render(drawn, drawn.extent());
    EXPECT_NEAR(small.pixel(0, 0)[0], 0.2f, 1e-4);
    EXPECT_NEAR(small.pixel(1, 1)[0], 0.2f, 1e-4);
    EXPECT_NEAR(small.pixel(2, 0)[0], 0.8f, 1e-4);
    EXPECT_NEAR(small.pixel(3, 1)[0], 0.8f, 1e-4);

    // sRGB rows come top row first: the bottom-left red pixel is in the last row.
    const WindowImage column = bitmapImage(gwtest::makeBitmap(1, 2,
                                                              [](int, int y, float* p) {
                                                                  p[0] = y == 0 ? 1.f : 0.f;
                                                                  p[1] = 0;
                                                                  p[2] = y == 0 ? 0.f : 1.f;
                                                                  p[3] = 1;
                                                              }),
                                           Size{1, 2});
    auto srgb = column.render(8);
    ASSERT_TRUE(srgb.ok()) << srgb.error();
    ASSERT_EQ(srgb->width, 1);
    ASSERT_EQ(srgb->height, 2);
    EXPECT_EQ(srgb->row8(0)[2], 255);
    EXPECT_EQ(srgb->row8(1)[0], 255);
    EXPECT_EQ(srgb->row8(1)[2], 0);
}

TEST(WindowImage, PicksTheSmallestRepresentationThatCoversTheRectangle) {
    WindowImage image(Size{100, 100});
    EXPECT_EQ(image.bestRepresentation(ci::Rect::make(0, 0, 10, 10)), nullptr);
    const auto small = ImageRep::bitmap(ci::Image::fromBitmap(gradient(100, 100)), 100, 100);
    const auto large = ImageRep::bitmap(ci::Image::fromBitmap(gradient(400, 400)), 400, 400);
    image.addRepresentation(large);
    image.addRepresentation(small);
    EXPECT_EQ(image.bestRepresentation(ci::Rect::make(0, 0, 50, 80)), small);
    EXPECT_EQ(image.bestRepresentation(ci::Rect::make(0, 0, 200, 100)), large);
    EXPECT_EQ(image.bestRepresentation(ci::Rect::make(0, 0, 800, 800)), large);
    EXPECT_EQ(image.firstRepresentation(), large.get());
}
