#pragma once

// Helpers shared by the tests of the colour, compositing and generator filters.

#include "support/TestSupport.h"

#include "ci/core/Context.h"
#include "ci/core/Filter.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace colortest {

using Px = std::array<float, 4>;

/// Premultiplied pixel from a straight colour.
inline Px straight(float r, float g, float b, float a) {
    return {r * a, g * a, b * a, a};
}
inline Px grey(float v, float a) {
    return straight(v, v, v, a);
}

/// One row of premultiplied pixels starting at (x0, y0).
inline ci::Image row(const std::vector<Px>& px, int64_t x0 = 0, int64_t y0 = 0) {
    ci::Bitmap bm(ci::IRect{x0, y0, x0 + int64_t(px.size()), y0 + 1});
    for (size_t i = 0; i < px.size(); ++i)
        std::copy(px[i].begin(), px[i].end(), bm.pixel(x0 + int64_t(i), y0));
    return ci::Image::fromBitmap(std::move(bm));
}

/// Every pixel of the image's extent, bottom row first.
inline std::vector<Px> render(const ci::Image& img) {
    auto bm = ci::Context().render(img);
    EXPECT_TRUE(bm.ok()) << bm.error();
    std::vector<Px> out;
    if (!bm)
        return out;
    for (int64_t y = bm->rect().y0; y < bm->rect().y1; ++y)
        for (int64_t x = bm->rect().x0; x < bm->rect().x1; ++x) {
            const float* p = bm->pixel(x, y);
            out.push_back({p[0], p[1], p[2], p[3]});
        }
    return out;
}

inline Px pixelAt(const ci::Image& img, int64_t x, int64_t y) {
    auto b = ci::Context().render(img, ci::Rect::make(double(x), double(y), 1, 1));
    EXPECT_TRUE(b.ok());
    if (!b)
        return {};
    const float* p = b->pixel(x, y);
    return Px{p[0], p[1], p[2], p[3]};
}

/// The first pixel of the filter applied to src.
inline Px one(const ci::Image& src, const std::string& name, const ci::Dictionary& d = {}) {
    ci::Image out = src.applyingFilter(name, d);
    EXPECT_FALSE(out.isNull()) << name;
    auto px = render(out);
    return px.empty() ? Px{} : px[0];
}

inline void expectPx(const Px& got, const Px& want, float tol, const std::string& what) {
    for (int c = 0; c < 4; ++c)
        EXPECT_NEAR(got[c], want[c], tol) << what << " channel " << c;
}

} // namespace colortest
