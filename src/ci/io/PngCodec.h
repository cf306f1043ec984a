#pragma once

// Ordinary PNG files (8 or 16 bits, grey or RGB, with or without alpha, not interlaced, without
// EXIF) read with libpng directly, as the image library would, without loading it.

#include "PictureInput.h"

#include <memory>
#include <string>
#include <vector>

namespace ci::io::png {

/// A reader of the PNG file at `path` (or open on `fd`, or of `bytes`) after its header; null when
/// the file is not one that is read here (palette, fewer than 8 bits, transparency chunk, interlace,
/// EXIF or a text giving the orientation or the kind of alpha, a header libpng refuses): the image
/// library reads those.
std::unique_ptr<PictureInput> openFile(const std::string& path);
std::unique_ptr<PictureInput> openDescriptor(int fd);
std::unique_ptr<PictureInput> openMemory(const std::vector<uint8_t>& bytes);

} // namespace ci::io::png
