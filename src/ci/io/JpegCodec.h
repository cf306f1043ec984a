#pragma once

// Ordinary JPEG files (8-bit grey, YCbCr, RGB, CMYK or YCCK) read and written with libjpeg
// directly, as the image library would, without loading it.

#include "PictureInput.h"

#include "ci/core/Context.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ci::io::jpeg {

/// A reader of the JPEG file at `path` (or open on `fd`, `path` its name; or of `bytes`) after its
/// header; null when the file is not one that is read here (12-bit, a header libjpeg refuses): the
/// image library reads those. CMYK and YCCK files give their inks, CMYK, as stored.
std::unique_ptr<PictureInput> openFile(const std::string& path);
std::unique_ptr<PictureInput> openDescriptor(int fd, const std::string& path);
std::unique_ptr<PictureInput> openMemory(const std::vector<uint8_t>& bytes);

/// The first warning of the JPEG data of the file open on `fd` (or of `bytes`) that means damage,
/// counting every warning, or "".
std::string damage(int fd, const std::vector<uint8_t>* bytes);

/// Encodes 8-bit packed RGB rows: `rows(y0, y1)` gives rows y0 to y1, `band` at a time.
Result<std::vector<uint8_t>> encode(int width, int height, int quality, int band,
                                    const std::function<const uint8_t*(int, int)>& rows);

} // namespace ci::io::jpeg
