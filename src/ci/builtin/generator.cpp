#include "Builtins.h"
#include "ColorPipeline.h"

#include "ci/core/Filter.h"

#include <cmath>
#include <cstdint>

namespace ci::builtin {

using namespace color;

namespace {

const std::vector<std::string> kGeneratorCategories = {"CICategoryGenerator", "CICategoryVideo",
                                                       "CICategoryStillImage", "CICategoryHighDynamicRange",
                                                       "CICategoryBuiltIn"};

Image radialGradient(const Inputs& in) {
    Vector center = in.vector("inputCenter");
    const float r0 = float(in.number("inputRadius0")), r1 = float(in.number("inputRadius1"));
    const auto c0 = in.color("inputColor0").linearPremultiplied();
    const auto c1 = in.color("inputColor1").linearPremultiplied();
    const double cx = center.x(), cy = center.y();
    // With equal radii the ramp is a step at the radius.
    const bool step = !(r1 != r0);
    const float inv = step ? 0.f : 1.f / (r1 - r0);
    const float inner2 = r0 > 0.f ? r0 * r0 : -1.f;
    auto fn = [=](const ColorRow& row) {
        Block p;
        const float dy = float(double(row.y) + 0.5 - cy);
        for (int s = 0; s < row.count; s += kBlock) {
            int n = std::min(kBlock, row.count - s);
            const float x0 = float(double(row.x + s) + 0.5 - cx);
            for (int i = 0; i < n; ++i) {
                float dx = x0 + float(i);
                float d2 = dx * dx + dy * dy;
                // The step compares squares so that a pixel exactly on the radius is outside.
                float ramp = clamp01((fastSqrt(d2) - r0) * inv), edge = pick(d2 < inner2, 0.f, 1.f);
                float t = pick(step, edge, ramp);
                p.r[i] = mixf(c0[0], c1[0], t);
                p.g[i] = mixf(c0[1], c1[1], t);
                p.b[i] = mixf(c0[2], c1[2], t);
                p.a[i] = mixf(c0[3], c1[3], t);
            }
            store(p, row.out + 4 * s, n);
        }
    };
    return ColorKernel::apply(fn, {}, Rect::infinite());
}

inline uint32_t mix32(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352du;
    x ^= x >> 15;
    x *= 0x846ca68bu;
    x ^= x >> 16;
    return x;
}

Image randomGenerator(const Inputs&) {
    // A hash of the pixel and channel: the same noise on every render, at any tiling.
    auto fn = [](const ColorRow& row) {
        const uint32_t ky = uint32_t(row.y) * 19349663u;
        for (int i = 0; i < row.count; ++i) {
            uint32_t k = (uint32_t(row.x + i) * 73856093u) ^ ky;
            for (uint32_t c = 0; c < 4; ++c)
                row.out[4 * i + c] = float(mix32(k ^ (c * 0x9e3779b9u)) >> 8) * (1.f / 16777216.f);
        }
    };
    return ColorKernel::apply(fn, {}, Rect::infinite());
}

Image constantColor(const Inputs& in) {
    auto c = in.color("inputColor").linearPremultiplied();
    return Image::constant(finite(c[0]), finite(c[1]), finite(c[2]), finite(c[3]));
}

} // namespace

void registerGeneratorFilters() {
    defineBuiltin({"CIRadialGradient",
                   "Radial Gradient",
                   {"CICategoryGradient", "CICategoryVideo", "CICategoryStillImage",
                    "CICategoryHighDynamicRange", "CICategoryBuiltIn"},
                   {vectorInput("inputCenter", Vector{150, 150}, "Center", attr::TypePosition),
                    number("inputRadius0", 5, "Radius 1", 0, 800, 0, {}, {}, attr::TypeDistance),
                    number("inputRadius1", 100, "Radius 2", 0, 800, 0, {}, {}, attr::TypeDistance),
                    colorInput("inputColor0", Color{1, 1, 1, 1}, "Color 1"),
                    colorInput("inputColor1", Color{0, 0, 0, 1}, "Color 2")},
                   radialGradient});
    defineBuiltin({"CIRandomGenerator", "Random Generator", kGeneratorCategories, {}, randomGenerator});
    defineBuiltin({"CIConstantColorGenerator",
                   "Constant Color",
                   kGeneratorCategories,
                   {colorInput("inputColor", Color{1, 0, 0, 1}, "Color")},
                   constantColor});
}

} // namespace ci::builtin
