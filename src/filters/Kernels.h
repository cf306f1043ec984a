#pragma once

// The per-pixel programs of the own filters. Each works on premultiplied working-space pixels
// exactly as the engine hands them to a kernel; the pixel functions are exposed for tests.

#include "ci/core/Image.h"

#include <array>

namespace filters::kernels {

/// An opaque image from the red of `red`, the green of `green` and the blue of `blue`, over the
/// union of their extents; where an image does not reach, its channel is 0.
ci::Image compositeChannels(const ci::Image& red, const ci::Image& green, const ci::Image& blue);

/// Unsharp-mask combine for one pixel: where the colour distance between sharp and blurred
/// exceeds the threshold, sharp + (sharp - blurred) * intensity clamped to 0..1, opaque;
/// elsewhere the sharp pixel as it is.
void unsharpCombinePixel(const float sharp[4], const float blurred[4], float intensity, float threshold,
                         float out[4]);
ci::Image unsharpCombine(const ci::Image& sharp, const ci::Image& blurred, double intensity, double threshold,
                         const ci::Rect& extent);

/// Hue, saturation and value shifts of the eight bands, red to magenta.
using BandShifts = std::array<std::array<float, 3>, 8>;
/// Hues of the eight band centres, red to magenta (0 <= hue < 1).
const std::array<float, 8>& bandCentres();
void multiBandHSVPixel(const float in[4], const BandShifts& shifts, float out[4]);
ci::Image multiBandHSV(const ci::Image& image, const BandShifts& shifts);

/// Kuwahara smoothing: the mean colour of the least varied of the four (r+1)^2 quadrants around
/// each pixel, r the radius truncated toward zero; opaque. Cost per pixel does not depend on r.
ci::Image kuwahara(const ci::Image& image, double radius);

} // namespace filters::kernels
