#pragma once

// The image library module: every format but JPEG and PNG goes through it. It is loaded on first
// need, so that processes that only meet JPEG and PNG never pay for loading it.

#include "Codec.h"
#include "PictureInput.h"

#include "ci/core/Context.h"
#include "ci/core/Image.h"

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace ci::io::imagelib {

/// "" when the module is loaded (loading it on the first call), else the message.
std::string load();

/// A file or data opened by the module, or why not.
struct Opened {
    std::unique_ptr<PictureInput> input;
    std::string error;
    bool noReader = false; ///< no reader knows the file (or, for data, the reader cannot read memory)
};
Opened openFile(const std::string& path);
Opened openMemory(const std::string& format, const std::vector<uint8_t>& bytes);

/// Encodes `channels` samples a pixel (`bits` 8 or 16) in the named format; `rows(y0, y1)` gives
/// the packed rows y0 to y1, or null on failure.
Result<std::vector<uint8_t>> write(const std::string& format, int width, int height, int channels, int bits,
                                   const std::vector<std::pair<std::string, std::string>>& attributes,
                                   int band, const std::function<const void*(int, int)>& rows);

/// A file decoded as decodeFile() does, but with the image library for JPEG and PNG files too; and a JPEG
/// encoded with it as encodePixels() would. What the direct JPEG paths are checked against.
Result<Decoded> decodeFile(const std::string& path);
Result<std::vector<uint8_t>> encodeJpeg(const PixelBuffer& pixels, double compression);

} // namespace ci::io::imagelib
