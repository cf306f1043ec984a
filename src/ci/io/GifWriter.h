#pragma once

#include "Quantizer.h"

#include <cstdint>
#include <vector>

namespace ci::io {

/// A single-frame GIF89a file of an indexed picture (palette of at most 256 entries, width
/// and height at most 65535); the transparent entry, if any, is written as such.
std::vector<uint8_t> writeGif(const IndexedImage& image);

} // namespace ci::io
