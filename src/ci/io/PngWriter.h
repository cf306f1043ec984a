#pragma once

#include "ci/core/Context.h"

#include <cstdint>
#include <vector>

namespace ci::io {

/// A PNG file of 8- or 16-bit sRGB pixels (straight alpha, top row first), marked as sRGB, with
/// or without its alpha channel. Bands of rows are filtered and deflated in parallel, each band
/// primed with the end of the previous one, into one ordinary zlib stream.
std::vector<uint8_t> writePng(const PixelBuffer& pixels, bool withAlpha);

} // namespace ci::io
