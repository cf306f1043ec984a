#pragma once

// Palette reduction for indexed formats.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ci::io {

/// A picture as palette indices, top row first.
struct IndexedImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> indices;
    std::vector<std::array<uint8_t, 3>> palette; ///< sRGB colours
    int transparentIndex = -1;                   ///< palette entry of transparent pixels, or -1
};

struct QuantizeOptions {
    int maxColors = 256;   ///< 2..256, the transparent entry included
    bool dither = true;    ///< Floyd-Steinberg error diffusion when colours had to be merged
    int alphaCutoff = 128; ///< pixels with less alpha become the transparent entry
};

/// Reduces 8-bit RGBA pixels (straight alpha, `rowBytes` apart) to a palette. Pictures with few
/// enough colours keep them exactly; others get a variance-based median-cut palette refined by
/// k-means, mapped with optional error diffusion.
IndexedImage quantize(const uint8_t* rgba, int width, int height, size_t rowBytes,
                      const QuantizeOptions& options = {});

} // namespace ci::io
