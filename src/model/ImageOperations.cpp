#include "model/ImageOperations.h"

#include "ci/core/Kernel.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <numbers>

namespace model {

using platform::ImageRep;
using platform::Size;

namespace {

// Unbounded results of these filters are cropped to the size of their input, besides every
// name holding "Tile".
const std::array<std::string, 2> kCroppedNames = {"CIKaleidoscope", "CITriangleKaleidoscope"};

// A result side in pixels: finite, positive and small enough to address.
bool isPixelSide(double v) {
    return std::isfinite(v) && v > 0 && v <= double(INT_MAX);
}

// A real number whose truncation is a signed 64-bit integer.
std::optional<int64_t> truncated(double v) {
    // 2^63 itself is out of range; every double below it converts exactly.
    if (!std::isfinite(v) || v >= 9223372036854775808.0 || v < -9223372036854775808.0)
        return std::nullopt;
    return int64_t(v);
}

ci::Image withOpacity(const ci::Image& image, double opacity) {
    if (opacity >= 1)
        return image;
    const float f = float(std::max(opacity, 0.0));
    return ci::ColorKernel::apply(
        [f](const ci::ColorRow& row) {
            const float* in = row.in[0];
            for (int i = 0; i < row.count * 4; ++i)
                row.out[i] = in[i] * f;
        },
        {image});
}

// Counter-clockwise rotation by degrees; quarter turns are exact so that they move pixels
// without resampling.
ci::Affine rotationByDegrees(double degrees) {
    const double reduced = std::fmod(degrees, 360.0);
    if (reduced == std::trunc(reduced) && std::fmod(reduced, 90.0) == 0) {
        static const double c[4] = {1, 0, -1, 0};
        const int q = (int(reduced) / 90 + 4) % 4;
        const double cs = c[q], sn = c[(q + 3) % 4];
        return ci::Affine{cs, sn, -sn, cs, 0, 0};
    }
    return ci::Affine::rotation(reduced * std::numbers::pi / 180.0);
}

// A blank canvas of the given size that pictures are drawn into.
ci::Image blankCanvas(const ci::Rect& bounds) {
    return ci::Image::constant(0, 0, 0, 0).cropped(bounds);
}

// Draws `layer` over `canvas` (source-over), keeping the canvas bounds.
ci::Image drawOver(const ci::Image& canvas, const ci::Image& layer) {
    return layer ? layer.composited(canvas).cropped(canvas.extent()) : canvas;
}

// The watermark fill layer, w x h at the origin: the square of side 2m holding the staggered
// pattern (the tile, drawn over (0, 0, ww, wh), in `columns` columns 1.2 ww apart and `rows`
// rows 1.2 wh apart, each row shifted ww / 3 to the right of the one below), turned clockwise
// by `angle` degrees about its centre, read from the point (w, h) of the square on.
//
// Copies never overlap, so each point of the square reads at most one of them, and the turn
// and the offset fold into the same lookup: one warp over the small tile, instead of one
// composite per copy and a full-size turned square.
ci::Image watermarkLayer(const ci::Image& tile, double ww, double wh, int64_t columns, int64_t rows, double m,
                         double angle, int64_t w, int64_t h) {
    const ci::Rect layer = ci::Rect::make(0, 0, double(w), double(h));
    if (columns == 0 || rows == 0)
        return blankCanvas(layer);
    const double stepX = 1.2 * ww, stepY = 1.2 * wh, shift = ww / 3, side = 2 * m;
    // From a layer point to the point of the unturned square it shows.
    const ci::Affine toSquare = ci::Affine::translation(double(w) - m, double(h) - m)
                                    .then(rotationByDegrees(angle))
                                    .then(ci::Affine::translation(m, m));
    const ci::Rect source = ci::Rect::make(0, 0, ww, wh).grown(1);
    auto warp = [=](const ci::WarpRow& row) {
        const double py = double(row.y) + 0.5;
        for (int k = 0; k < row.count; ++k) {
            const ci::Point q = toSquare.map({double(row.x + k) + 0.5, py});
            row.sx[k] = row.sy[k] = -4; // off the tile: transparent
            if (!(q.x >= 0 && q.x < side && q.y >= 0 && q.y < side))
                continue;
            // The nearest copy: each cell reaches half a gap beyond its copy, so the copy's
            // edge pixels still blend with the transparent gap as drawing would.
            const double j = std::floor((q.y + 0.1 * wh) / stepY);
            if (!(j >= 0 && j < double(rows)))
                continue;
            const double x = q.x - j * shift;
            const double i = std::floor((x + 0.1 * ww) / stepX);
            if (!(i >= 0 && i < double(columns)))
                continue;
            row.sx[k] = x - i * stepX;
            row.sy[k] = q.y - j * stepY;
        }
    };
    return ci::WarpKernel::apply(warp, tile, layer, [source](const ci::Rect&) { return source; });
}

} // namespace

bool matchesCropRule(const std::string& filterName) {
    return filterName.find("Tile") != std::string::npos ||
           std::find(kCroppedNames.begin(), kCroppedNames.end(), filterName) != kCroppedNames.end();
}

std::optional<ci::Image> toCIImage(const WindowImage& image) {
    ci::Image pixels = image.bitmapImage();
    if (!pixels)
        return std::nullopt;
    return pixels;
}

std::optional<WindowImage> applyFilterChain(const WindowImage& image, const FilterChain& chain) {
    std::optional<ci::Image> converted = toCIImage(image);
    if (!converted)
        return std::nullopt;
    ci::Image current = *converted;
    for (const auto& [name, inputs] : chain) {
        const ci::Rect before = current.extent();
        current = current.applyingFilter(name, inputs);
        if (!current)
            return std::nullopt;
        if (matchesCropRule(name))
            current = current.cropped(ci::Rect::make(0, 0, before.width(), before.height()));
    }
    return WindowImage::fromCIImage(current);
}

ci::Image applyFilterNamed(const ci::Image& image, const std::string& name, const ci::Dictionary& inputs,
                           double width, double height) {
    ci::Image result = image.applyingFilter(name, inputs);
    if (result && matchesCropRule(name))
        result = result.cropped(ci::Rect::make(0, 0, width, height));
    return result;
}

std::optional<ci::PixelBuffer> drawnForEncoding(const WindowImage& image, std::string* error) {
    const Size size = image.size();
    if (!isPixelSide(size.width) || !isPixelSide(size.height)) {
        if (error)
            *error = "the image has no drawable size";
        return std::nullopt;
    }
    // Straight to 8-bit rows: the float pixels of the result are never held at full size.
    ci::Result<ci::PixelBuffer> pixels = image.render(8);
    if (!pixels) {
        if (error)
            *error = pixels.error();
        return std::nullopt;
    }
    return std::move(*pixels);
}

std::optional<std::vector<uint8_t>> encodedPixels(const ci::PixelBuffer& pixels, ci::io::FileType type,
                                                  double compressionFactor, std::string* error) {
    ci::Result<std::vector<uint8_t>> bytes = ci::io::encodePixels(pixels, type, compressionFactor);
    if (!bytes) {
        if (error)
            *error = bytes.error();
        return std::nullopt;
    }
    return std::move(*bytes);
}

std::optional<std::vector<uint8_t>> encodedImageData(const WindowImage& image, ci::io::FileType type,
                                                     double compressionFactor, std::string* error) {
    const std::optional<ci::PixelBuffer> pixels = drawnForEncoding(image, error);
    return pixels ? encodedPixels(*pixels, type, compressionFactor, error) : std::nullopt;
}

WindowImage flippedImage(const WindowImage& image, bool horizontal, bool vertical) {
    const Size size = image.size();
    const ci::Rect bounds = ci::Rect::make(0, 0, size.width, size.height);
    ci::Image picture = image.drawnInto(bounds);
    if (picture && (horizontal || vertical)) {
        const ci::Affine t{
            horizontal ? -1.0 : 1.0,   0, 0, vertical ? -1.0 : 1.0, horizontal ? size.width : 0,
            vertical ? size.height : 0};
        picture = picture.transformed(t);
    }
    return WindowImage::fromCIImage(drawOver(blankCanvas(bounds), picture));
}

std::optional<WindowImage> resizedImage(const WindowImage& image, double width, double height) {
    const ImageRep* rep = image.firstRepresentation();
    if (!rep || rep->pixelsWide() <= 0 || rep->pixelsHigh() <= 0)
        return std::nullopt;
    const double pw = rep->pixelsWide(), ph = rep->pixelsHigh();
    const double sx = width / pw, sy = height / ph;
    const double s = sx > sy ? sx : sy;
    return redrawnImage(image, std::floor(pw * s), std::floor(ph * s));
}

std::optional<WindowImage> redrawnImage(const WindowImage& image, double width, double height) {
    if (!isPixelSide(width) || !isPixelSide(height))
        return std::nullopt;
    const ci::Rect bounds = ci::Rect::make(0, 0, width, height);
    const auto rep = image.bestRepresentation(bounds);
    if (!rep)
        return std::nullopt;
    const ci::Image drawn = rep->drawnInto(bounds);
    if (!drawn)
        return std::nullopt;
    auto redrawn = ImageRep::recipe(drawn);
    redrawn->setSize(Size{width, height});
    WindowImage result(Size{width, height});
    result.addRepresentation(std::move(redrawn));
    return result;
}

std::optional<WindowImage> rotatedImage(const WindowImage& image, int64_t degrees) {
    if (degrees == INT64_MIN)
        return std::nullopt;
    std::optional<ci::Image> source = toCIImage(image);
    if (!source)
        return std::nullopt;
    // Negative: a positive angle turns the picture clockwise.
    const ci::Affine rotation = rotationByDegrees(-double(degrees % 360));
    const double c = std::abs(rotation.a), s = std::abs(rotation.b);
    const Size size = image.size();
    WindowImage result(Size{size.width * c + size.height * s, size.width * s + size.height * c});
    // Drawing shows a representation from its own extent on, so the turned picture is held
    // already moved there: it draws the same, with one resampling instead of two.
    const ci::Rect turned = rotation.mapRect(source->extent());
    const ci::Affine placed = rotation.then(ci::Affine::translation(-turned.x0, -turned.y0));
    result.addRepresentation(ImageRep::recipe(source->transformed(placed)));
    return result;
}

std::optional<WindowImage> pixelSizedImage(const WindowImage& base, const WindowImage& overlay, double x,
                                           double y, double opacity) {
    const ImageRep* baseRep = base.firstRepresentation();
    const ImageRep* overlayRep = overlay.firstRepresentation();
    if (!baseRep || !overlayRep || !std::isfinite(x) || !std::isfinite(y) || std::isnan(opacity))
        return std::nullopt;
    const int w = baseRep->pixelsWide(), h = baseRep->pixelsHigh();
    if (w <= 0 || h <= 0)
        return std::nullopt;
    const ci::Rect bounds = ci::Rect::make(0, 0, w, h);
    ci::Image canvas = drawOver(blankCanvas(bounds), base.drawnInto(bounds));
    const int ow = overlayRep->pixelsWide(), oh = overlayRep->pixelsHigh();
    if (ow > 0 && oh > 0) {
        const ci::Image mark = overlay.drawnInto(ci::Rect::make(x, y, ow, oh));
        if (mark)
            canvas = drawOver(canvas, withOpacity(mark, opacity));
    }
    return WindowImage::fromCIImage(canvas);
}

std::optional<WindowImage> filledWatermarkImage(const WindowImage& watermark, double width, double height,
                                                double opacity, double angle) {
    const ImageRep* rep = watermark.firstRepresentation();
    if (!rep || std::isnan(opacity) || !std::isfinite(angle))
        return std::nullopt;
    const double m = std::max(width, height);
    const double ww = rep->pixelsWide(), wh = rep->pixelsHigh();
    // A zero-sized watermark gives infinite counts and so nothing.
    const std::optional<int64_t> columns = truncated(1.5 * m / ww), rows = truncated(1.5 * m / wh);
    const std::optional<int64_t> w = truncated(width), h = truncated(height);
    if (!columns || !rows || *columns < 0 || *rows < 0 || !w || !h)
        return std::nullopt;
    // A result without pixels could never be drawn or converted.
    if (!isPixelSide(double(*w)) || !isPixelSide(double(*h)))
        return std::nullopt;

    const ci::Image tile = watermark.drawnInto(ci::Rect::make(0, 0, ww, wh));
    if (!tile)
        return std::nullopt;
    return WindowImage::fromCIImage(
        watermarkLayer(withOpacity(tile, opacity), ww, wh, *columns, *rows, m, angle, *w, *h));
}

} // namespace model
