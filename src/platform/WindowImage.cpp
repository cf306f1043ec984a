#include "platform/WindowImage.h"

#include "ci/io/Codec.h"

#include <climits>
#include <cmath>

namespace platform {

namespace {

bool drawable(const ci::Rect& r) {
    return !r.isEmpty() && !r.isInfinite() && std::isfinite(r.x0) && std::isfinite(r.y0) &&
           std::isfinite(r.x1) && std::isfinite(r.y1);
}

// Values within rounding noise of a whole number or of 1 are snapped, so that a picture drawn
// at its own size (or moved by whole pixels) is not resampled.
double snap(double v, double to) {
    return std::abs(v - to) < 1e-9 ? to : v;
}
double snapWhole(double v) {
    return snap(v, std::round(v));
}

// Maps the rectangle `from` onto `to` (scale, then move) and applies that to the image.
ci::Image mapRect(const ci::Image& image, const ci::Rect& from, const ci::Rect& to) {
    const double sx = snap(to.width() / from.width(), 1.0);
    const double sy = snap(to.height() / from.height(), 1.0);
    const double tx = snapWhole(to.x0 - from.x0 * sx);
    const double ty = snapWhole(to.y0 - from.y0 * sy);
    const ci::Affine t{sx, 0, 0, sy, tx, ty};
    return t.isIdentity() ? image : image.transformed(t);
}

int pixelCount(double v) {
    return v > 0 && v < double(INT_MAX) ? int(v) : 0;
}

} // namespace

std::shared_ptr<ImageRep> ImageRep::bitmap(ci::Image pixels, int pixelsWide, int pixelsHigh) {
    auto rep = std::make_shared<ImageRep>();
    rep->kind_ = Kind::Bitmap;
    rep->image_ = std::move(pixels);
    rep->pixelsWide_ = pixelsWide;
    rep->pixelsHigh_ = pixelsHigh;
    rep->size_ = Size{double(pixelsWide), double(pixelsHigh)};
    return rep;
}

std::shared_ptr<ImageRep> ImageRep::recipe(ci::Image image) {
    auto rep = std::make_shared<ImageRep>();
    rep->kind_ = Kind::Recipe;
    const ci::Rect extent = image.extent();
    rep->image_ = std::move(image);
    if (extent.isInfinite()) {
        rep->size_ = Size{INFINITY, INFINITY};
        return rep;
    }
    rep->size_ = Size{extent.width(), extent.height()};
    rep->pixelsWide_ = pixelCount(std::ceil(snapWhole(extent.x1)) - std::floor(snapWhole(extent.x0)));
    rep->pixelsHigh_ = pixelCount(std::ceil(snapWhole(extent.y1)) - std::floor(snapWhole(extent.y0)));
    return rep;
}

ci::Image ImageRep::drawnInto(const ci::Rect& dest) const {
    const ci::Rect extent = image_.extent();
    if (image_.isNull() || !drawable(extent) || !drawable(dest))
        return {};
    return mapRect(image_, extent, dest);
}

ci::Image ImageRep::pixels() const {
    const ci::Rect extent = image_.extent();
    if (image_.isNull() || !drawable(extent) || pixelsWide_ <= 0 || pixelsHigh_ <= 0)
        return {};
    if (kind_ == Kind::Bitmap)
        return image_;
    // Moved by whole pixels only, so that nothing is resampled; a picture that starts inside a
    // pixel keeps that partial pixel, as a raster of it would.
    const double dx = -std::floor(snapWhole(extent.x0)), dy = -std::floor(snapWhole(extent.y0));
    const ci::Image moved = dx == 0 && dy == 0 ? image_ : image_.translated(dx, dy);
    const ci::Rect raster = ci::Rect::make(0, 0, pixelsWide_, pixelsHigh_);
    if (moved.extent() == raster)
        return moved;
    return moved.composited(ci::Image::constant(0, 0, 0, 0).cropped(raster)).cropped(raster);
}

std::optional<WindowImage> WindowImage::fromDecoded(ci::Result<ci::io::Decoded> decoded, std::string* error) {
    if (!decoded) {
        if (error)
            *error = decoded.error();
        return std::nullopt;
    }
    const ci::io::Decoded& d = decoded.value();
    WindowImage image(Size{double(d.width), double(d.height)});
    image.addRepresentation(ImageRep::bitmap(d.image, d.width, d.height));
    return image;
}

std::optional<WindowImage> WindowImage::fromFile(const std::string& path, std::string* error) {
    return fromDecoded(ci::io::decodeFile(path), error);
}

std::optional<WindowImage> WindowImage::fromData(const std::vector<uint8_t>& bytes, std::string* error) {
    return fromDecoded(ci::io::decodeData(bytes), error);
}

WindowImage WindowImage::fromCIImage(const ci::Image& image) {
    auto rep = ImageRep::recipe(image);
    WindowImage window(rep->size());
    window.addRepresentation(std::move(rep));
    return window;
}

std::shared_ptr<ImageRep> WindowImage::bestRepresentation(const ci::Rect& rect) const {
    if (reps_.empty())
        return nullptr;
    std::shared_ptr<ImageRep> smallestCovering, largest;
    auto area = [](const ImageRep& r) { return double(r.pixelsWide()) * double(r.pixelsHigh()); };
    for (const auto& rep : reps_) {
        if (rep->pixelsWide() >= rect.width() && rep->pixelsHigh() >= rect.height() &&
            (!smallestCovering || area(*rep) < area(*smallestCovering)))
            smallestCovering = rep;
        if (!largest || area(*rep) > area(*largest))
            largest = rep;
    }
    return smallestCovering ? smallestCovering : largest;
}

ci::Image WindowImage::drawnInto(const ci::Rect& dest) const {
    const auto rep = bestRepresentation(dest);
    return rep ? rep->drawnInto(dest) : ci::Image();
}

ci::Image WindowImage::drawnImage() const {
    const ci::Rect bounds = ci::Rect::make(0, 0, size_.width, size_.height);
    const ci::Image drawn = drawnInto(bounds);
    return drawn ? drawn.cropped(bounds) : drawn;
}

ci::Image WindowImage::bitmapImage() const {
    const ImageRep* rep = firstRepresentation();
    return rep ? rep->pixels() : ci::Image();
}

ci::Result<ci::PixelBuffer> WindowImage::render(int bitsPerChannel) const {
    const ci::Rect bounds = ci::Rect::make(0, 0, size_.width, size_.height);
    // A representation drawn at its own size only moves by whole pixels: render it where it
    // stands instead, since moving it would hold its pixels once more at full size.
    if (const auto rep = bestRepresentation(bounds)) {
        const ci::Rect e = rep->image().extent();
        const double dx = snapWhole(e.x0), dy = snapWhole(e.y0);
        if (drawable(e) && drawable(bounds) && snap(e.width(), bounds.width()) == bounds.width() &&
            snap(e.height(), bounds.height()) == bounds.height() && dx == std::round(dx) &&
            dy == std::round(dy))
            return ci::Context().renderSRGB(rep->image(), bounds.translated(dx, dy), bitsPerChannel);
    }
    const ci::Image drawn = drawnImage();
    if (!drawn)
        return ci::Result<ci::PixelBuffer>::failure("the image has nothing to draw");
    return ci::Context().renderSRGB(drawn, bounds, bitsPerChannel);
}

} // namespace platform
