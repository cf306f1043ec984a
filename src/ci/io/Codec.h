#pragma once

// Reading image files into the working space and writing the five export formats.

#include "ci/core/Context.h"
#include "ci/core/Image.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ci::io {

/// Export file types, numbered as the bitmap file types of the documents.
enum class FileType { TIFF = 0, BMP = 1, GIF = 2, JPEG = 3, PNG = 4 };

/// A decoded picture: upright (orientation applied), in the working space, extent at the origin.
struct Decoded {
    Image image;
    int width = 0;      ///< pixels
    int height = 0;     ///< pixels
    std::string format; ///< short format name of the file, such as "jpeg" or "png"
};

/// Decodes a file: the first page, EXIF orientation applied, an embedded ICC profile converted
/// (no profile: sRGB; float formats: linear), premultiplied. A damaged (also truncated) or
/// unsupported file gives an error with a message.
Result<Decoded> decodeFile(const std::string& path);
/// Decodes a file held in memory.
Result<Decoded> decodeData(const std::vector<uint8_t>& bytes);

/// Encodes pixels (sRGB, straight alpha, top row first; 16-bit kept by PNG and TIFF).
/// `compression` is the compression factor 0..1 (JPEG quality; ignored by the other formats).
/// PNG, TIFF and BMP keep alpha when the picture is not opaque, GIF keeps one transparent
/// entry, JPEG stores the picture over black.
Result<std::vector<uint8_t>> encodePixels(const PixelBuffer& pixels, FileType type, double compression = 1.0);
/// Renders the image over its extent and encodes it.
Result<std::vector<uint8_t>> encodeImage(const Image& image, FileType type, double compression = 1.0,
                                         const Context& context = Context());

} // namespace ci::io
