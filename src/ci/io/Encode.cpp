// Encoding of the five export formats. BMP and TIFF go through the image library module; JPEG
// through libjpeg directly, as the library would write it, so that exporting JPEG never loads the
// library; GIF is written here, because the palette comes from our own quantiser, and PNG too, to
// deflate on every core.
//
// Alpha: PNG, TIFF and BMP keep it (straight alpha; BMP as a 32-bit file) whenever the picture
// is not fully opaque, and drop the channel otherwise. GIF keeps it as one transparent palette
// entry for pixels under half coverage. JPEG has no alpha: like the platform's bitmap encoder,
// it stores the premultiplied colour, i.e. the picture composited over black (in linear light).

#include "Codec.h"
#include "GifWriter.h"
#include "ImageLibrary.h"
#include "JpegCodec.h"
#include "PngWriter.h"
#include "Quantizer.h"

#include "ci/core/Memory.h"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>

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

/// Packs rows of 3 or 4 channels for the encoders, a band at a time. With `overBlack` (8-bit,
/// 3 channels) partly transparent pixels are composited over black on the way.
class RowPacker {
  public:
    static constexpr int band = 64;

    RowPacker(const PixelBuffer& px, int channels, bool overBlack)
        : RowPacker(px.data.data(), px.width, px.height, px.bitsPerChannel, channels, overBlack) {}
    /// Rows of RGBA samples at `data`, `width` by `height`.
    RowPacker(const uint8_t* data, int width, int height, int bitsPerChannel, int channels, bool overBlack)
        : data_(data), width_(width), channels_(channels), overBlack_(overBlack),
          sampleBytes_(bitsPerChannel / 8) {
        if (channels != 4)
            packed_.resize(size_t(width) * size_t(channels) * size_t(sampleBytes_) *
                           size_t(std::min(band, height)));
    }

    /// Rows y0 to y1 (at most `band` of them), packed.
    const uint8_t* rows(int y0, int y1) {
        const size_t rowBytes = size_t(width_) * 4 * size_t(sampleBytes_);
        if (channels_ == 4)
            return data_ + size_t(y0) * rowBytes;
        // Alpha dropped: the rows are packed in parallel, which is far quicker than letting the
        // writer gather strided samples.
        const size_t packedRow = size_t(width_) * size_t(channels_) * size_t(sampleBytes_);
        tbb::parallel_for(y0, y1, [&](int y) {
            const uint8_t* src = data_ + size_t(y) * rowBytes;
            uint8_t* dst = packed_.data() + size_t(y - y0) * packedRow;
            if (sampleBytes_ == 1) {
                for (int x = 0; x < width_; ++x, src += 4, dst += 3) {
                    if (overBlack_ && src[3] != 255) {
                        // In linear light, as the premultiplied colour would show.
                        const float a = float(src[3]) / 255.0f;
                        for (int c = 0; c < 3; ++c)
                            dst[c] = srgbEncode8(srgbDecode8(src[c]) * a);
                        continue;
                    }
                    dst[0] = src[0], dst[1] = src[1], dst[2] = src[2];
                }
            } else {
                for (int x = 0; x < width_; ++x)
                    std::memcpy(dst + size_t(x) * 6, src + size_t(x) * 8, 6);
            }
        });
        return packed_.data();
    }

  private:
    const uint8_t* data_;
    int width_;
    int channels_;
    bool overBlack_;
    int sampleBytes_;
    std::vector<uint8_t> packed_;
};

/// Writes 3 or 4 channels through the image library.
Result<Bytes> writeWithImageLibrary(const char* format, const PixelBuffer& px, int channels,
                                    const std::vector<std::pair<std::string, std::string>>& attributes,
                                    bool overBlack = false) {
    RowPacker packer(px, channels, overBlack);
    return imagelib::write(format, px.width, px.height, channels, px.bitsPerChannel, attributes,
                           RowPacker::band,
                           [&](int y0, int y1) -> const void* { return packer.rows(y0, y1); });
}

int jpegQuality(double compression) {
    return std::clamp(int(std::lround(compression * 100.0)), 1, 100);
}

Result<Bytes> encodeJPEG(const PixelBuffer& px, double compression) {
    RowPacker packer(px, 3, true);
    return jpeg::encode(px.width, px.height, jpegQuality(compression), RowPacker::band,
                        [&](int y0, int y1) { return packer.rows(y0, y1); });
}

/// Renders and encodes a JPEG at once: the encoder, on a thread of its own, takes each band of
/// rows as soon as the render has finished it, so that encoding adds little more than its last
/// band to the render's time. The bytes are those of rendering first and encoding after.
Result<Bytes> renderAndEncodeJPEG(const Image& image, const Rect& extent, double compression,
                                  const Context& context) {
    // Declared first, so that the rows outlive the encoder whatever way the render ends.
    PixelBuffer pixels;
    struct Handoff {
        std::mutex m;
        std::condition_variable changed;
        int rows = 0;      // rows at the top of pixels that are final
        bool over = false; // the render has returned
    } h;
    std::optional<Result<Bytes>> encoded;
    auto encode = [&] {
        try {
            std::unique_lock lock(h.m);
            h.changed.wait(lock, [&] { return h.rows > 0 || h.over; });
            if (h.rows == 0)
                return;
            // The buffer was sized before the first rows were reported, and keeps its size.
            const uint8_t* samples = pixels.data.data();
            const int width = pixels.width, height = pixels.height;
            lock.unlock();
            RowPacker packer(samples, width, height, 8, 3, true);
            encoded = jpeg::encode(width, height, jpegQuality(compression), RowPacker::band,
                                   [&](int y0, int y1) -> const uint8_t* {
                                       std::unique_lock l(h.m);
                                       h.changed.wait(l, [&] { return h.rows >= y1 || h.over; });
                                       if (h.rows < y1)
                                           return nullptr; // the render failed or was cancelled
                                       l.unlock();
                                       return packer.rows(y0, y1);
                                   });
        } catch (const std::exception& e) {
            encoded = Result<Bytes>::failure(describeFailure(e));
        }
    };
    std::thread encoder;
    try {
        encoder = std::thread(encode);
    } catch (const std::system_error&) {
        // No thread to spare: render first, encode after.
        Result<PixelBuffer> rendered = context.renderSRGB(image, extent, 8);
        if (!rendered.ok())
            return Result<Bytes>::failure(rendered.error());
        return encodePixels(*rendered, FileType::JPEG, compression);
    }
    // Whatever way the render ends, the encoder is told and waited for.
    struct Finish {
        Handoff& h;
        std::thread& encoder;
        ~Finish() {
            {
                std::lock_guard lock(h.m);
                h.over = true;
            }
            h.changed.notify_all();
            encoder.join();
        }
    };
    std::string failure;
    {
        Finish finish{h, encoder};
        failure = context.renderSRGB(image, extent, 8, pixels, [&](int rows) {
            {
                std::lock_guard lock(h.m);
                h.rows = rows;
            }
            h.changed.notify_all();
        });
    }
    if (!failure.empty())
        return Result<Bytes>::failure(failure);
    if (!encoded)
        return encodePixels(pixels, FileType::JPEG, compression);
    return std::move(*encoded);
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
            return writeWithImageLibrary("tiff", px, isOpaque(px) ? 3 : 4,
                                         {{"compression", "lzw"}, {"tiff:write_exif", "0"}});
        case FileType::BMP:
            if (px.bitsPerChannel == 16)
                return encodePixels(to8Bit(px), type, compression);
            return writeWithImageLibrary("bmp", px, isOpaque(px) ? 3 : 4, {});
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
    if (type == FileType::JPEG) {
        try {
            return renderAndEncodeJPEG(image, extent, compression, context);
        } catch (const std::exception& e) {
            return Result<Bytes>::failure(std::string("Cannot encode the image: ") + describeFailure(e));
        }
    }
    Result<PixelBuffer> pixels = context.renderSRGB(image, extent, 8);
    if (!pixels.ok())
        return Result<Bytes>::failure(pixels.error());
    return encodePixels(*pixels, type, compression);
}

namespace imagelib {

Result<Bytes> encodeJpeg(const PixelBuffer& pixels, double compression) {
    const int quality = jpegQuality(compression);
    const std::vector<std::pair<std::string, std::string>> attrs = {
        {"Compression", "jpeg:" + std::to_string(quality)},
        {"jpeg:subsampling", quality >= 90 ? "4:4:4" : "4:2:0"}};
    return writeWithImageLibrary("jpeg", pixels, 3, attrs, true);
}

} // namespace imagelib

} // namespace ci::io
