#pragma once

#include "Geometry.h"

#include <cstddef>
#include <memory>

namespace ci {

/// A float32 RGBA pixel block, premultiplied, in the linear working space, covering an integer
/// rectangle of engine coordinates. Rows are stored bottom row first (y grows upwards), each
/// `rect.width()` pixels of 4 floats.
///
/// Its bytes count against the memory budget (Memory.h): a block that would pass the limit, or
/// whose size does not fit in 64 bits, throws MemoryLimitExceeded (a std::bad_alloc).
class Bitmap {
  public:
    Bitmap() = default;
    /// Uninitialised pixels over rect.
    explicit Bitmap(const IRect& rect);
    Bitmap(Bitmap&& o) noexcept;
    Bitmap& operator=(Bitmap&& o) noexcept;
    ~Bitmap();

    /// Bytes of a block over rect (saturating at INT64_MAX).
    static int64_t bytesFor(const IRect& rect);

    /// Covers rect from now on, its pixels undefined; the allocation is kept when it is large
    /// enough, so a block reused for region after region costs no new memory.
    void reshape(const IRect& rect);

    Bitmap clone() const;
    void fill(float r, float g, float b, float a);

    const IRect& rect() const { return rect_; }
    int64_t width() const { return rect_.width(); }
    int64_t height() const { return rect_.height(); }
    bool isEmpty() const { return rect_.isEmpty(); }
    /// Floats per row.
    ptrdiff_t stride() const { return ptrdiff_t(rect_.width()) * 4; }

    float* data() { return data_.get(); }
    const float* data() const { return data_.get(); }
    /// Pointer to pixel (rect.x0, y); y must lie in the rectangle.
    float* row(int64_t y) { return data_.get() + (y - rect_.y0) * stride(); }
    const float* row(int64_t y) const { return data_.get() + (y - rect_.y0) * stride(); }
    /// Pointer to pixel (x, y), or nullptr outside the rectangle.
    const float* pixel(int64_t x, int64_t y) const {
        if (x < rect_.x0 || x >= rect_.x1 || y < rect_.y0 || y >= rect_.y1)
            return nullptr;
        return row(y) + (x - rect_.x0) * 4;
    }
    float* pixel(int64_t x, int64_t y) {
        return const_cast<float*>(static_cast<const Bitmap*>(this)->pixel(x, y));
    }
    /// Bilinear sample at a point of engine coordinates; transparent outside the rectangle.
    void sample(double x, double y, float out[4]) const;
    /// Pixel value with transparent black outside the rectangle.
    void read(int64_t x, int64_t y, float out[4]) const;

  private:
    IRect rect_;
    std::unique_ptr<float[]> data_;
    int64_t bytes_ = 0; // counted against the budget
};

/// Pixels kept in a compact form (8 or 16 bits a sample, as a file stored them) and converted
/// into the working space as they are read: a photograph takes 3 bytes a pixel instead of 16.
/// Its bytes count against the memory budget like a Bitmap's.
class CompactPixels {
  public:
    /// Counts `bytes` against the budget (throws MemoryLimitExceeded as a Bitmap does).
    CompactPixels(const IRect& rect, int64_t bytes);
    CompactPixels(const CompactPixels&) = delete;
    CompactPixels& operator=(const CompactPixels&) = delete;
    virtual ~CompactPixels();

    const IRect& rect() const { return rect_; }
    /// Writes `count` pixels of row y from x0 on, all inside rect(), as premultiplied
    /// working-space floats. Called from any number of threads at once.
    virtual void readRow(int64_t y, int64_t x0, int count, float* out) const = 0;

  private:
    IRect rect_;
    int64_t bytes_;
};

} // namespace ci
