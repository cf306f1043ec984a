// Encoding of the five export formats. JPEG, BMP and TIFF go through OpenImageIO; GIF is written
// here, because the palette comes from our own quantiser, and PNG too, to deflate on every core.
//
// Alpha: PNG, TIFF and BMP keep it (straight alpha; BMP as a 32-bit file) whenever the picture
// is not fully opaque, and drop the channel otherwise. GIF keeps it as one transparent palette
// entry for pixels under half coverage. JPEG has no alpha: like the platform's bitmap encoder,
// it stores the premultiplied colour, i.e. the picture composited over black (in linear light).

#include "Codec.h"
#include "GifWriter.h"
#include "PngWriter.h"
#include "Quantizer.h"

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <new>

namespace ci::io {

namespace {

using Bytes = std::vector<uint8_t>;

bool isOpaque(const PixelBuffer& px) {
    const int64_t n = int64_t(px.width) * px.height;
    std::atomic<bool> opaque{true};
    tbb::parallel_for(tbb::blocked_range<int64_t>(0, n, 1 << 16), [&](const tbb::blocked_range<int64_t>& r) {
        if (!opaque.load(std::memory_order_relaxed))
            return;
        bool all = true;
        if (px.bitsPerChannel == 16) {
            const auto* p = reinterpret_cast<const uint16_t*>(px.data.data());
            for (int64_t i = r.begin(); i != r.end(); ++i)
                all &= p[i * 4 + 3] == 0xFFFF;
        } else {
            const uint8_t* p = px.data.data();
            for (int64_t i = r.begin(); i != r.end(); ++i)
                all &= p[i * 4 + 3] == 0xFF;
        }
        if (!all)
            opaque.store(false, std::memory_order_relaxed);
    });
    return opaque.load();
}

/// 16-bit samples rounded to 8 bits.
PixelBuffer to8Bit(const PixelBuffer& px) {
    PixelBuffer out;
    out.width = px.width;
    out.height = px.height;
    out.bitsPerChannel = 8;
    const size_t n = size_t(px.width) * size_t(px.height) * 4;
    out.data.resize(n);
    const auto* in = reinterpret_cast<const uint16_t*>(px.data.data());
    for (size_t i = 0; i < n; ++i)
        out.data[i] = uint8_t((uint32_t(in[i]) * 255u + 32767u) / 65535u);
    return out;
}

/// Writes 3 or 4 channels. With `overBlack` (8-bit, 3 channels) partly transparent pixels are
/// composited over black on the way.
Result<Bytes> writeWithOIIO(const char* format, const PixelBuffer& px, int channels,
                            const std::vector<std::pair<std::string, std::string>>& attributes,
                            bool overBlack = false) {
    Bytes bytes;
    OIIO::Filesystem::IOVecOutput proxy(bytes);
    auto out = OIIO::ImageOutput::create(format);
    if (!out)
        return Result<Bytes>::failure(std::string("No encoder for ") + format);
    if (!out->set_ioproxy(&proxy))
        return Result<Bytes>::failure(std::string("The ") + format + " encoder cannot write to memory");
    const OIIO::TypeDesc type = px.bitsPerChannel == 16 ? OIIO::TypeDesc::UINT16 : OIIO::TypeDesc::UINT8;
    OIIO::ImageSpec spec(px.width, px.height, channels, type);
    spec.alpha_channel = channels == 4 ? 3 : -1;
    spec.attribute("oiio:UnassociatedAlpha", 1);
    spec.attribute("oiio:ColorSpace", "sRGB");
    for (const auto& [key, value] : attributes)
        spec.attribute(key, value);
    if (!out->open(std::string("image.") + format, spec))
        return Result<Bytes>::failure(out->geterror());
    const int sampleBytes = px.bitsPerChannel / 8;
    const size_t rowBytes = size_t(px.width) * 4 * size_t(sampleBytes);
    if (channels == 4) {
        if (!out->write_image(type, px.data.data()))
            return Result<Bytes>::failure(out->geterror());
    } else {
        // Alpha dropped: bands of rows are packed in parallel, which is far quicker than
        // letting the writer gather strided samples.
        const int band = 64;
        const size_t packedRow = size_t(px.width) * size_t(channels) * size_t(sampleBytes);
        std::vector<uint8_t> packed(packedRow * size_t(std::min(band, px.height)));
        for (int y0 = 0; y0 < px.height; y0 += band) {
            const int y1 = std::min(px.height, y0 + band);
            tbb::parallel_for(y0, y1, [&](int y) {
                const uint8_t* src = px.data.data() + size_t(y) * rowBytes;
                uint8_t* dst = packed.data() + size_t(y - y0) * packedRow;
                if (sampleBytes == 1) {
                    for (int x = 0; x < px.width; ++x, src += 4, dst += 3) {
                        if (overBlack && src[3] != 255) {
                            // In linear light, as the premultiplied colour would show.
                            const float a = float(src[3]) / 255.0f;
                            for (int c = 0; c < 3; ++c)
                                dst[c] = srgbEncode8(srgbDecode8(src[c]) * a);
                            continue;
                        }
                        dst[0] = src[0], dst[1] = src[1], dst[2] = src[2];
                    }
                } else {
                    for (int x = 0; x < px.width; ++x)
                        std::memcpy(dst + size_t(x) * 6, src + size_t(x) * 8, 6);
                }
            });
            if (!out->write_scanlines(y0, y1, 0, type, packed.data()))
                return Result<Bytes>::failure(out->geterror());
        }
    }
    if (!out->close() || out->has_error()) {
        std::string msg = out->geterror();
        return Result<Bytes>::failure(msg.empty() ? std::string("Cannot encode ") + format : msg);
    }
    return bytes;
}

Result<Bytes> encodeJPEG(const PixelBuffer& px, double compression) {
    const int quality = std::clamp(int(std::lround(compression * 100.0)), 1, 100);
    // Full chroma resolution when high quality is asked for; halved chroma (the usual 4:2:0)
    // below, where file size matters more than crisp coloured edges.
    const std::vector<std::pair<std::string, std::string>> attrs = {
        {"Compression", "jpeg:" + std::to_string(quality)},
        {"jpeg:subsampling", quality >= 90 ? "4:4:4" : "4:2:0"}};
    return writeWithOIIO("jpeg", px, 3, attrs, true);
}

Result<Bytes> encodeGIF(const PixelBuffer& px) {
    if (px.width > 65535 || px.height > 65535)
        return Result<Bytes>::failure("The image is too large for GIF (at most 65535 pixels a side)");
    const IndexedImage indexed = quantize(px.data.data(), px.width, px.height, size_t(px.width) * 4);
    return writeGif(indexed);
}

} // namespace

Result<Bytes> encodePixels(const PixelBuffer& pixels, FileType type, double compression) {
    const PixelBuffer& px = pixels;
    if (px.width <= 0 || px.height <= 0)
        return Result<Bytes>::failure("The image is empty");
    if (px.bitsPerChannel != 8 && px.bitsPerChannel != 16)
        return Result<Bytes>::failure("Unsupported sample size: " + std::to_string(px.bitsPerChannel) +
                                      " bits");
    if (px.data.size() < size_t(px.width) * size_t(px.height) * 4 * size_t(px.bitsPerChannel / 8))
        return Result<Bytes>::failure("The pixel buffer is smaller than its size says");
    try {
        switch (type) {
        case FileType::PNG:
            return writePng(px, !isOpaque(px));
        case FileType::TIFF:
            // EXIF directories are left out: this OpenImageIO writes a broken one to memory.
            return writeWithOIIO("tiff", px, isOpaque(px) ? 3 : 4,
                                 {{"compression", "lzw"}, {"tiff:write_exif", "0"}});
        case FileType::BMP:
            if (px.bitsPerChannel == 16)
                return encodePixels(to8Bit(px), type, compression);
            return writeWithOIIO("bmp", px, isOpaque(px) ? 3 : 4, {});
        case FileType::JPEG:
            if (px.bitsPerChannel == 16)
                return encodeJPEG(to8Bit(px), compression);
            return encodeJPEG(px, compression);
        case FileType::GIF:
            if (px.bitsPerChannel == 16)
                return encodeGIF(to8Bit(px));
            return encodeGIF(px);
        }
        return Result<Bytes>::failure("Unknown file type");
    } catch (const std::bad_alloc&) {
        return Result<Bytes>::failure("Not enough memory to encode the image");
    } catch (const std::exception& e) {
        return Result<Bytes>::failure(std::string("Cannot encode the image: ") + e.what());
    }
}

Result<Bytes> encodeImage(const Image& image, FileType type, double compression, const Context& context) {
    if (image.isNull())
        return Result<Bytes>::failure("There is no image to encode");
    const Rect extent = image.extent();
    if (extent.isInfinite())
        return Result<Bytes>::failure("The image has an infinite extent");
    if (extent.isEmpty())
        return Result<Bytes>::failure("The image is empty");
    Result<PixelBuffer> pixels = context.renderSRGB(image, extent, 8);
    if (!pixels.ok())
        return Result<Bytes>::failure(pixels.error());
    return encodePixels(*pixels, type, compression);
}

} // namespace ci::io
