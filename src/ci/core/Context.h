#pragma once

#include "Bitmap.h"
#include "Image.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ci {

/// A value or an error message.
template <class T> class Result {
  public:
    Result(T value) : value_(std::move(value)) {}
    static Result failure(std::string message) {
        Result r;
        r.error_ = std::move(message);
        return r;
    }
    bool ok() const { return value_.has_value(); }
    explicit operator bool() const { return ok(); }
    T& value() { return *value_; }
    const T& value() const { return *value_; }
    T* operator->() { return &*value_; }
    const T* operator->() const { return &*value_; }
    T& operator*() { return *value_; }
    const std::string& error() const { return error_; }

  private:
    Result() = default;
    std::optional<T> value_;
    std::string error_;
};

/// 8- or 16-bit sRGB pixels with straight alpha, top row first, 4 channels.
struct PixelBuffer {
    int width = 0;
    int height = 0;
    int bitsPerChannel = 8;
    std::vector<uint8_t> data; ///< 8-bit: RGBA bytes; 16-bit: native-endian uint16 RGBA

    const uint8_t* row8(int y) const { return data.data() + size_t(y) * size_t(width) * 4; }
    const uint16_t* row16(int y) const {
        return reinterpret_cast<const uint16_t*>(data.data()) + size_t(y) * size_t(width) * 4;
    }
};

/// Renders image recipes. Rendering pulls pixels: each node asks its inputs for the region it
/// needs and computes its region in parallel tiles. Results do not depend on the tile size or
/// the number of threads.
class Context {
  public:
    struct Options {
        int tileSize = 256; ///< pixels per tile side
        int threads = 0;    ///< 0: as many as the machine has
        /// When set and it becomes true, the render stops before its next tile and fails with
        /// the message "cancelled" (a render whose result nobody waits for any more).
        const std::atomic<bool>* cancel = nullptr;
    };
    Context() = default;
    explicit Context(Options options) : options_(options) {}

    /// Float pixels (premultiplied, linear) of the pixels whose centres lie in rect (rounded out
    /// first). An infinite rectangle is an error, and so is a render whose pixel blocks would not
    /// fit in the memory budget ("The image is too large: needs N GB, limit M GB"); that is
    /// decided before anything is allocated.
    Result<Bitmap> render(const Image& image, const Rect& rect) const;
    /// The image over its own extent; an infinite extent is an error.
    Result<Bitmap> render(const Image& image) const { return render(image, image.extent()); }
    /// 8- or 16-bit sRGB, straight alpha, top row first, clamped to the format's range.
    Result<PixelBuffer> renderSRGB(const Image& image, const Rect& rect, int bitsPerChannel = 8) const;
    /// Told, while a render runs, that the first `rows` rows of the output (top row first) have
    /// their final values; called from the render's threads, one call at a time, with growing
    /// counts and the full height last.
    using RowsFinished = std::function<void(int rows)>;
    /// The same into `out`, rendering the rows from the top down and telling rowsFinished as they
    /// finish, so that a consumer (an encoder) can work on them while the rest is rendered. The
    /// buffer is the caller's: whatever the outcome, it stays until the caller lets it go, so the
    /// consumer may finish with it after a failure. An empty string, or the reason of a failure.
    std::string renderSRGB(const Image& image, const Rect& rect, int bitsPerChannel, PixelBuffer& out,
                           const RowsFinished& rowsFinished) const;

    /// Receives rendered rows: engine row y, pixels x0 .. x0 + count as premultiplied linear
    /// floats, valid during the call. Called from the render's threads, several at once, each
    /// pixel once.
    using RowSink = std::function<void(int64_t y, int64_t x0, int count, const float* pixels)>;
    /// Renders rect into sink instead of a bitmap, for a consumer that keeps something smaller
    /// than the float pixels. An empty string, or the reason of a failure.
    std::string renderRows(const Image& image, const Rect& rect, const RowSink& sink) const;

    const Options& options() const { return options_; }

  private:
    Options options_;
};

/// Conversions between the working space and sRGB-encoded values (sign preserved).
float srgbDecode(float v);
float srgbEncode(float v);
/// Exact 8-bit decoding through a table.
float srgbDecode8(uint8_t v);
/// Nearest 8-bit code of a linear value (clamped to 0..255).
uint8_t srgbEncode8(float linear);
/// Converts premultiplied linear rows to straight-alpha sRGB 8/16-bit (one row of n pixels).
void encodeRowSRGB8(const float* in, uint8_t* out, int64_t n);
void encodeRowSRGB16(const float* in, uint16_t* out, int64_t n);

} // namespace ci
