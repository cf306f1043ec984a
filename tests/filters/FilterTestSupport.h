#pragma once

// Helpers of the own-filter tests: registration, small pictures and rendering.

#include "support/TestSupport.h"

#include "filters/Registry.h"

#include "ci/core/Context.h"
#include "ci/core/Image.h"
#include "ci/core/Value.h"

#include <QImage>

#include <gtest/gtest.h>

#include <cmath>
#include <mutex>
#include <string>

namespace ftest {

/// The own names, registered once for the whole test program as the launch does.
inline void ensureRegistered() {
    static std::once_flag once;
    std::call_once(once, [] { filters::registerCustomFilters(); });
}

/// A w x h picture at (x0, y0) of one premultiplied colour.
inline ci::Image solid(int w, int h, float r, float g, float b, float a = 1.0f, int x0 = 0, int y0 = 0) {
    ci::Bitmap bm(ci::IRect{x0, y0, x0 + w, y0 + h});
    bm.fill(r, g, b, a);
    return ci::Image::fromBitmap(std::move(bm));
}

/// A w x h picture at (x0, y0) filled by f(x, y, rgba) with picture-relative x and y.
template <class F> ci::Image picture(int w, int h, F f, int x0 = 0, int y0 = 0) {
    ci::Bitmap bm(ci::IRect{x0, y0, x0 + w, y0 + h});
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            f(x, y, bm.pixel(x0 + x, y0 + y));
    return ci::Image::fromBitmap(std::move(bm));
}

/// A small test photograph in the working space.
inline ci::Image photo() {
    static const ci::Image image = gwtest::loadPhoto("chelsea.png");
    return image;
}

inline ci::Bitmap render(const ci::Image& image, const ci::Rect& rect) {
    auto result = ci::Context().render(image, rect);
    EXPECT_TRUE(result.ok()) << result.error();
    return result.ok() ? std::move(result.value()) : ci::Bitmap();
}

inline ci::Bitmap render(const ci::Image& image) {
    return render(image, image.extent());
}

/// The rendered pixel at (x, y).
inline std::array<float, 4> pixelAt(const ci::Bitmap& bm, int64_t x, int64_t y) {
    std::array<float, 4> p{};
    bm.read(x, y, p.data());
    return p;
}

inline bool allFinite(const ci::Bitmap& bm) {
    const size_t n = size_t(bm.rect().area()) * 4;
    for (size_t i = 0; i < n; ++i)
        if (!std::isfinite(bm.data()[i]))
            return false;
    return true;
}

/// Applies an own or built-in filter by name with the image and inputs.
inline ci::Image apply(const std::string& name, const ci::Image& image, const ci::Dictionary& inputs = {}) {
    ensureRegistered();
    return image.applyingFilter(name, inputs);
}

} // namespace ftest

#define EXPECT_PIXEL_NEAR(actual, r, g, b, a, tol)                                                           \
    do {                                                                                                     \
        const auto px_ = (actual);                                                                           \
        EXPECT_NEAR(px_[0], (r), (tol));                                                                     \
        EXPECT_NEAR(px_[1], (g), (tol));                                                                     \
        EXPECT_NEAR(px_[2], (b), (tol));                                                                     \
        EXPECT_NEAR(px_[3], (a), (tol));                                                                     \
    } while (0)
