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

std::optional<ci::Image> toCIImage(const WindowImage& image);
std::optional<WindowImage> applyFilterChain(const WindowImage& image, const FilterChain& chain);
ci::Image applyFilterNamed(const ci::Image& image, const std::string& name, const ci::Dictionary& inputs,
                           double width, double height);
/// Encoded file bytes; `compressionFactor` is the one encoding property the export passes.
std::optional<std::vector<uint8_t>> encodedImageData(const WindowImage& image, ci::io::FileType type,
                                                     double compressionFactor);
WindowImage flippedImage(const WindowImage& image, bool horizontal, bool vertical);
std::optional<WindowImage> resizedImage(const WindowImage& image, double width, double height);
std::optional<WindowImage> redrawnImage(const WindowImage& image, double width, double height);
std::optional<WindowImage> rotatedImage(const WindowImage& image, int64_t degrees);
std::optional<WindowImage> pixelSizedImage(const WindowImage& base, const WindowImage& overlay, double x,
                                           double y, double opacity);
std::optional<WindowImage> filledWatermarkImage(const WindowImage& watermark, double width, double height,
                                                double opacity, double angle);

} // namespace model
