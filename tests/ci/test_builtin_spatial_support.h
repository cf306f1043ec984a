#pragma once

// Shared helpers for the spatial built-in filter tests.

#include "ci/core/Context.h"
#include "ci/core/Filter.h"
#include "ci/core/Image.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace spatialtest {

/// A deterministic opaque test picture: smooth gradients plus a hard-edged square and fine noise.
inline ci::Image pattern(int w = 64, int h = 48, int x0 = 0, int y0 = 0) {
    ci::Bitmap bm(ci::IRect{x0, y0, x0 + w, y0 + h});
    for (int y = y0; y < y0 + h; ++y)
        for (int x = x0; x < x0 + w; ++x) {
            float* p = bm.pixel(x, y);
            const unsigned k = unsigned(x * 7349 + y * 31337) * 2654435761u;
            const float noise = float((k >> 8) & 255) / 255.f * 0.1f;
            const bool square = x > x0 + w / 4 && x < x0 + w / 2 && y > y0 + h / 4 && y < y0 + h / 2;
            p[0] = float(x - x0) / float(w) * 0.8f + noise;
            p[1] = square ? 0.9f : float(y - y0) / float(h) * 0.6f;
            p[2] = 0.3f + noise;
            p[3] = 1.f;
        }
    return ci::Image::fromBitmap(std::move(bm));
}

inline ci::Image apply(const ci::Image& in, const std::string& name, const ci::Dictionary& values = {}) {
    auto f = ci::Filter::make(name);
    if (!f)
        return {};
    f->setValue("inputImage", in);
    for (const auto& [k, v] : values)
        f->setValue(k, v);
    return f->outputImage();
}

inline ci::Bitmap render(const ci::Image& image, const ci::Rect& rect, int tileSize = 256, int threads = 0) {
    ci::Context ctx(ci::Context::Options{tileSize, threads});
    auto r = ctx.render(image, rect);
    EXPECT_TRUE(r.ok()) << r.error();
    return r.ok() ? std::move(r.value()) : ci::Bitmap();
}

/// Renders in 7-pixel tiles on several threads and in one piece; the two must agree.
inline double tileDifference(const ci::Image& image, const ci::Rect& rect) {
    ci::Bitmap small = render(image, rect, 7, 4);
    ci::Bitmap whole = render(image, rect, 4096, 1);
    return gwtest::maxDifference(small, whole);
}

inline bool allFinite(const ci::Bitmap& bm) {
    const float* p = bm.data();
    for (int64_t i = 0; i < bm.rect().area() * 4; ++i)
        if (!std::isfinite(p[i]))
            return false;
    return true;
}

inline const float* px(const ci::Bitmap& bm, int64_t x, int64_t y) {
    return bm.pixel(x, y);
}

} // namespace spatialtest
