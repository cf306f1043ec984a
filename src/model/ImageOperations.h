#pragma once

// Stateless operations on window images shared by the preview, the export, the catalogue
// samples and the system's own actions. None changes its inputs; all may run on any thread.

#include "ci/core/Value.h"
#include "ci/io/Codec.h"
#include "platform/WindowImage.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace model {

using platform::WindowImage;

/// One step of a chain: a filter name and its inputs (never "inputImage").
using FilterStep = std::pair<std::string, ci::Dictionary>;
using FilterChain = std::vector<FilterStep>;

/// True for the names whose unbounded result is cropped to the image's size at the origin.
bool matchesCropRule(const std::string& filterName);

/// The picture as its bitmap form holds it: the first representation's pixels, extent at the
/// origin; nothing when there is no representation or it cannot be rasterised.
std::optional<ci::Image> toCIImage(const WindowImage& image);
/// Applies the steps in order to the converted picture (pixels are computed only when the result
/// is drawn). A step matching the crop rule is cropped to (0, 0) and the size before it. Nothing
/// when the conversion fails or a step yields no image (an unknown name among them).
std::optional<WindowImage> applyFilterChain(const WindowImage& image, const FilterChain& chain);
/// One step on an engine image; the crop rule crops to (0, 0, width, height). Null when the
/// filter yields nothing.
ci::Image applyFilterNamed(const ci::Image& image, const std::string& name, const ci::Dictionary& inputs,
                           double width, double height);
/// The picture drawn at its size, encoded; `compressionFactor` is the one encoding property the
/// export passes. Nothing when it cannot be drawn or encoded (why goes to `error` when given).
std::optional<std::vector<uint8_t>> encodedImageData(const WindowImage& image, ci::io::FileType type,
                                                     double compressionFactor, std::string* error = nullptr);
/// The first half of encodedImageData(): the picture drawn at its size in 8-bit rows, so that
/// the pictures it came from can go before the rows are encoded.
std::optional<ci::PixelBuffer> drawnForEncoding(const WindowImage& image, std::string* error = nullptr);
/// The second half of encodedImageData(): rows drawn by drawnForEncoding(), encoded.
std::optional<std::vector<uint8_t>> encodedPixels(const ci::PixelBuffer& pixels, ci::io::FileType type,
                                                  double compressionFactor, std::string* error = nullptr);
/// Mirrored left-right and/or top-bottom at the same size; both flags turn it by 180 degrees.
WindowImage flippedImage(const WindowImage& image, bool horizontal, bool vertical);
/// Scaled by the larger of the two ratios to the first representation's pixels, so that it
/// covers the box; sides rounded down.
std::optional<WindowImage> resizedImage(const WindowImage& image, double width, double height);
/// The best representation stretched over width x height, drawn when rendered.
std::optional<WindowImage> redrawnImage(const WindowImage& image, double width, double height);
/// Turned clockwise for positive degrees, in a window image of the bounding size.
std::optional<WindowImage> rotatedImage(const WindowImage& image, int64_t degrees);
/// The base at its pixel size with the overlay drawn at its own pixel size, bottom-left corner at
/// (x, y), with the given opacity.
std::optional<WindowImage> pixelSizedImage(const WindowImage& base, const WindowImage& overlay, double x,
                                           double y, double opacity);
/// A width x height layer of the watermark repeated in a staggered pattern over a square of twice
/// the larger side, turned clockwise by `angle` degrees about the square's centre, read from the
/// point (width, height) of the square on. Nothing for counts or sizes that are not usable numbers.
std::optional<WindowImage> filledWatermarkImage(const WindowImage& watermark, double width, double height,
                                                double opacity, double angle);

} // namespace model
