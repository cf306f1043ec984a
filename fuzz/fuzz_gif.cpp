// The GIF writer: any indexed picture, and any pixels through the palette reduction, give a
// file that decodes back to the same size and, for the indexed picture, the same colours.

#include "ci/core/Context.h"
#include "ci/io/Codec.h"
#include "ci/io/GifWriter.h"

#include <algorithm>
#include <tbb/global_control.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

/// Reads the fuzzer's bytes in order; zeros once they run out.
struct Bytes {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    uint8_t next() { return at < size ? data[at++] : 0; }
};

void checkDecodes(const std::vector<uint8_t>& file, int width, int height, ci::PixelBuffer* pixels) {
    auto decoded = ci::io::decodeData(file);
    if (!decoded.ok() || decoded->width != width || decoded->height != height)
        std::abort();
    auto rendered = ci::Context().renderSRGB(decoded->image, decoded->image.extent());
    if (!rendered.ok())
        std::abort();
    *pixels = std::move(*rendered);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // One thread: more inputs per second, and findings that replay the same way.
    static tbb::global_control oneThread(tbb::global_control::max_allowed_parallelism, 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Bytes in{data, size};
    const uint8_t mode = in.next();
    const int width = 1 + in.next() % 64, height = 1 + in.next() % 64;
    ci::PixelBuffer decoded;
    if (mode % 2 == 0) {
        ci::io::IndexedImage image;
        image.width = width;
        image.height = height;
        const int colours = 1 + in.next();
        image.palette.resize(size_t(colours));
        for (auto& c : image.palette)
            c = {in.next(), in.next(), in.next()};
        const uint8_t t = in.next();
        image.transparentIndex = t < colours && mode % 4 == 0 ? t : -1;
        image.indices.resize(size_t(width) * size_t(height));
        for (auto& i : image.indices)
            i = uint8_t(in.next() % colours);
        checkDecodes(ci::io::writeGif(image), width, height, &decoded);
        for (size_t p = 0; p < image.indices.size(); ++p) {
            const uint8_t* px = decoded.data.data() + p * 4;
            const int index = image.indices[p];
            if (index == image.transparentIndex) {
                if (px[3] != 0)
                    std::abort();
                continue;
            }
            const auto& c = image.palette[size_t(index)];
            if (px[3] != 255 || px[0] != c[0] || px[1] != c[1] || px[2] != c[2])
                std::abort();
        }
    } else {
        ci::PixelBuffer pixels;
        pixels.width = width;
        pixels.height = height;
        pixels.data.resize(size_t(width) * size_t(height) * 4);
        for (auto& v : pixels.data)
            v = in.next();
        auto file = ci::io::encodePixels(pixels, ci::io::FileType::GIF);
        if (!file.ok())
            std::abort();
        checkDecodes(*file, width, height, &decoded);
    }
    return 0;
}
