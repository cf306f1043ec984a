#include "Bitmap.h"

#include "Memory.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

namespace ci {

int64_t Bitmap::bytesFor(const IRect& rect) {
    return saturatingMul(rect.area(), 4 * int64_t(sizeof(float)));
}

Bitmap::Bitmap(const IRect& rect) : rect_(rect.isEmpty() ? IRect{} : rect) {
    if (rect_.isEmpty())
        return;
    const int64_t bytes = bytesFor(rect_);
    memory::acquire(bytes);
    try {
        data_.reset(new float[size_t(bytes) / sizeof(float)]);
        memory::preferHugePages(data_.get(), size_t(bytes));
    } catch (...) {
        memory::release(bytes);
        throw;
    }
    bytes_ = bytes;
}

Bitmap::Bitmap(Bitmap&& o) noexcept
    : rect_(std::exchange(o.rect_, IRect{})), data_(std::move(o.data_)), bytes_(std::exchange(o.bytes_, 0)) {}

Bitmap& Bitmap::operator=(Bitmap&& o) noexcept {
    if (this != &o) {
        data_.reset();
        memory::release(bytes_);
        rect_ = std::exchange(o.rect_, IRect{});
        data_ = std::move(o.data_);
        bytes_ = std::exchange(o.bytes_, 0);
    }
    return *this;
}

Bitmap::~Bitmap() {
    data_.reset();
    memory::release(bytes_);
}

void Bitmap::reshape(const IRect& rect) {
    const IRect r = rect.isEmpty() ? IRect{} : rect;
    if (bytesFor(r) <= bytes_) {
        rect_ = r;
        return;
    }
    *this = Bitmap(); // the old block goes before the new one is counted
    *this = Bitmap(r);
}

Bitmap Bitmap::clone() const {
    Bitmap b(rect_);
    if (!rect_.isEmpty())
        std::memcpy(b.data(), data(), size_t(rect_.area()) * 4 * sizeof(float));
    return b;
}

void Bitmap::fill(float r, float g, float b, float a) {
    const size_t n = size_t(rect_.area());
    float* p = data();
    for (size_t i = 0; i < n; ++i) {
        p[4 * i] = r;
        p[4 * i + 1] = g;
        p[4 * i + 2] = b;
        p[4 * i + 3] = a;
    }
}

CompactPixels::CompactPixels(const IRect& rect, int64_t bytes)
    : rect_(rect.isEmpty() ? IRect{} : rect), bytes_(std::max<int64_t>(bytes, 0)) {
    memory::acquire(bytes_);
}

CompactPixels::~CompactPixels() {
    memory::release(bytes_);
}

void Bitmap::read(int64_t x, int64_t y, float out[4]) const {
    if (const float* p = pixel(x, y)) {
        out[0] = p[0];
        out[1] = p[1];
        out[2] = p[2];
        out[3] = p[3];
    } else {
        out[0] = out[1] = out[2] = out[3] = 0.f;
    }
}

void Bitmap::sample(double x, double y, float out[4]) const {
    const double u = x - 0.5, v = y - 0.5;
    const double fu = std::floor(u), fv = std::floor(v);
    if (!(std::fabs(fu) < 1e15) || !(std::fabs(fv) < 1e15)) {
        out[0] = out[1] = out[2] = out[3] = 0.f;
        return;
    }
    const int64_t i = int64_t(fu), j = int64_t(fv);
    const float fx = float(u - fu), fy = float(v - fv);
    const float w00 = (1 - fx) * (1 - fy), w10 = fx * (1 - fy), w01 = (1 - fx) * fy, w11 = fx * fy;
    const bool inside = i >= rect_.x0 && j >= rect_.y0 && i + 1 < rect_.x1 && j + 1 < rect_.y1;
    if (inside) {
        const float* p00 = row(j) + (i - rect_.x0) * 4;
        const float* p01 = p00 + stride();
        for (int c = 0; c < 4; ++c)
            out[c] = p00[c] * w00 + p00[4 + c] * w10 + p01[c] * w01 + p01[4 + c] * w11;
        return;
    }
    float a[4], b[4], c4[4], d[4];
    read(i, j, a);
    read(i + 1, j, b);
    read(i, j + 1, c4);
    read(i + 1, j + 1, d);
    for (int c = 0; c < 4; ++c)
        out[c] = a[c] * w00 + b[c] * w10 + c4[c] * w01 + d[c] * w11;
}

} // namespace ci
