#include "Builtins.h"
#include "ColorPipeline.h"

#include "ci/core/Filter.h"

#include <cmath>

namespace ci::builtin {

using namespace color;

namespace {

// ---- Blend functions B(Cb, Cs) on straight colours ----

CI_ALWAYS_INLINE float safeDiv(float num, float den) {
    return num / pick(den != 0.f, den, 1.f);
}

struct Multiply {
    CI_ALWAYS_INLINE static float f(float b, float s) { return b * s; }
};
struct Screen {
    CI_ALWAYS_INLINE static float f(float b, float s) { return b + s - b * s; }
};
struct HardLight {
    CI_ALWAYS_INLINE static float f(float b, float s) {
        float multiply = 2.f * b * s, screen = 1.f - 2.f * (1.f - b) * (1.f - s);
        return pick(s <= 0.5f, multiply, screen);
    }
};
struct Overlay {
    CI_ALWAYS_INLINE static float f(float b, float s) { return HardLight::f(s, b); }
};
struct SoftLight {
    CI_ALWAYS_INLINE static float f(float b, float s) {
        float poly = ((16.f * b - 12.f) * b + 4.f) * b, root = fastSqrt(pick(b > 0.f, b, 0.f));
        float d = pick(b <= 0.25f, poly, root);
        float darker = b - (1.f - 2.f * s) * b * (1.f - b), lighter = b + (2.f * s - 1.f) * (d - b);
        return pick(s <= 0.5f, darker, lighter);
    }
};
struct Darken {
    CI_ALWAYS_INLINE static float f(float b, float s) { return pick(b < s, b, s); }
};
struct Lighten {
    CI_ALWAYS_INLINE static float f(float b, float s) { return pick(b > s, b, s); }
};
struct ColorDodge {
    CI_ALWAYS_INLINE static float f(float b, float s) {
        float q = safeDiv(b, 1.f - s);
        return pick(b <= 0.f, 0.f, pick(s >= 1.f, 1.f, pick(q < 1.f, q, 1.f)));
    }
};
struct ColorBurn {
    CI_ALWAYS_INLINE static float f(float b, float s) {
        float q = safeDiv(1.f - b, s);
        float burnt = 1.f - pick(q < 1.f, q, 1.f);
        return pick(b >= 1.f, 1.f, pick(s <= 0.f, 0.f, burnt));
    }
};
struct Difference {
    CI_ALWAYS_INLINE static float f(float b, float s) { return std::fabs(b - s); }
};
struct Exclusion {
    CI_ALWAYS_INLINE static float f(float b, float s) { return b + s - 2.f * b * s; }
};
struct Divide {
    CI_ALWAYS_INLINE static float f(float b, float s) {
        float q = safeDiv(b, s);
        return pick(s > 0.f, q, pick(b > 0.f, 1.f, 0.f));
    }
};
struct LinearBurn {
    CI_ALWAYS_INLINE static float f(float b, float s) { return b + s - 1.f; }
};
struct LinearDodge {
    CI_ALWAYS_INLINE static float f(float b, float s) { return b + s; }
};
struct PinLight {
    CI_ALWAYS_INLINE static float f(float b, float s) {
        float s2 = 2.f * s, s21 = 2.f * s - 1.f;
        float lo = pick(b < s2, b, s2);
        float hi = pick(b > s21, b, s21);
        return pick(s <= 0.5f, lo, hi);
    }
};
struct Subtract {
    CI_ALWAYS_INLINE static float f(float b, float s) { return b - s; }
};

/// Separable mode: B per channel into `out`.
template <class Mode> void blendSeparable(Block& out, const Block& cb, const Block& cs, int n) {
    for (int i = 0; i < n; ++i)
        out.r[i] = Mode::f(cb.r[i], cs.r[i]);
    for (int i = 0; i < n; ++i)
        out.g[i] = Mode::f(cb.g[i], cs.g[i]);
    for (int i = 0; i < n; ++i)
        out.b[i] = Mode::f(cb.b[i], cs.b[i]);
}

// Helpers of the non-separable modes, with the weights of the compositing standard.
CI_ALWAYS_INLINE float pdfLum(float r, float g, float b) {
    return 0.3f * r + 0.59f * g + 0.11f * b;
}

CI_ALWAYS_INLINE void clipColor(float& r, float& g, float& b) {
    float l = pdfLum(r, g, b);
    float mn = minf(r, minf(g, b)), mx = maxf(r, maxf(g, b));
    float toZero = safeDiv(l, l - mn);
    float kLo = pick(mn < 0.f, toZero, 1.f);
    r = l + (r - l) * kLo;
    g = l + (g - l) * kLo;
    b = l + (b - l) * kLo;
    mx = l + (mx - l) * kLo;
    float toOne = safeDiv(1.f - l, mx - l);
    float kHi = pick(mx > 1.f, toOne, 1.f);
    r = l + (r - l) * kHi;
    g = l + (g - l) * kHi;
    b = l + (b - l) * kHi;
}

CI_ALWAYS_INLINE void setLum(float& r, float& g, float& b, float l) {
    float d = l - pdfLum(r, g, b);
    r += d;
    g += d;
    b += d;
    clipColor(r, g, b);
}

CI_ALWAYS_INLINE float satOf(float r, float g, float b) {
    return maxf(r, maxf(g, b)) - minf(r, minf(g, b));
}

CI_ALWAYS_INLINE void setSat(float& r, float& g, float& b, float s) {
    float mn = minf(r, minf(g, b)), mx = maxf(r, maxf(g, b));
    float range = mx - mn;
    float q = s / pick(range > 0.f, range, 1.f);
    float k = pick(range > 0.f, q, 0.f);
    r = (r - mn) * k;
    g = (g - mn) * k;
    b = (b - mn) * k;
}

enum class NonSeparable { Hue, Saturation, Luminosity };

template <NonSeparable M> void blendNonSeparable(Block& out, const Block& cb, const Block& cs, int n) {
    for (int i = 0; i < n; ++i) {
        float r, g, b;
        if constexpr (M == NonSeparable::Hue) {
            r = cs.r[i], g = cs.g[i], b = cs.b[i];
            setSat(r, g, b, satOf(cb.r[i], cb.g[i], cb.b[i]));
        } else if constexpr (M == NonSeparable::Saturation) {
            r = cb.r[i], g = cb.g[i], b = cb.b[i];
            setSat(r, g, b, satOf(cs.r[i], cs.g[i], cs.b[i]));
        } else {
            r = cb.r[i], g = cb.g[i], b = cb.b[i];
        }
        float ls = pdfLum(cs.r[i], cs.g[i], cs.b[i]), lb = pdfLum(cb.r[i], cb.g[i], cb.b[i]);
        float l = M == NonSeparable::Luminosity ? ls : lb;
        setLum(r, g, b, l);
        out.r[i] = r;
        out.g[i] = g;
        out.b[i] = b;
    }
}

using BlendFunction = void (*)(Block&, const Block&, const Block&, int);

/// Blend of the source (input 0) over the backdrop (input 1) by the standard compositing
/// formula, with B computed on straight colours in the filter's space.
ColorKernel::Function blendKernel(Space space, BlendFunction blend) {
    return [space, blend](const ColorRow& row) {
        vectorised([&] {
            Block s, d, bl;
            for (int o = 0; o < row.count; o += kBlock) {
                int n = std::min(kBlock, row.count - o);
                load(row.in[0] + 4 * o, s, n);
                load(row.in[1] + 4 * o, d, n);
                unpremultiply(s, n);
                unpremultiply(d, n);
                encode(s, n, space);
                encode(d, n, space);
                blend(bl, d, s, n);
                for (int i = 0; i < n; ++i) {
                    float as = s.a[i], ab = d.a[i];
                    float ws = (1.f - ab) * as, wb = (1.f - as) * ab, wx = as * ab;
                    bl.r[i] = ws * s.r[i] + wb * d.r[i] + wx * bl.r[i];
                    bl.g[i] = ws * s.g[i] + wb * d.g[i] + wx * bl.g[i];
                    bl.b[i] = ws * s.b[i] + wb * d.b[i] + wx * bl.b[i];
                    bl.a[i] = as + ab - as * ab;
                }
                if (space != Space::Linear) {
                    unpremultiply(bl, n);
                    decode(bl, n, space);
                    premultiply(bl, n);
                }
                store(bl, row.out + 4 * o, n);
            }
        });
    };
}

struct BlendMode {
    const char* name;
    const char* displayName;
    BlendFunction blend;
};

const BlendMode kBlendModes[] = {
    {"CIColorBurnBlendMode", "Color Burn Blend Mode", blendSeparable<ColorBurn>},
    {"CIColorDodgeBlendMode", "Color Dodge Blend Mode", blendSeparable<ColorDodge>},
    {"CIDarkenBlendMode", "Darken Blend Mode", blendSeparable<Darken>},
    {"CIDifferenceBlendMode", "Difference Blend Mode", blendSeparable<Difference>},
    {"CIDivideBlendMode", "Divide Blend Mode", blendSeparable<Divide>},
    {"CIExclusionBlendMode", "Exclusion Blend Mode", blendSeparable<Exclusion>},
    {"CIHardLightBlendMode", "Hard Light Blend Mode", blendSeparable<HardLight>},
    {"CIHueBlendMode", "Hue Blend Mode", blendNonSeparable<NonSeparable::Hue>},
    {"CILightenBlendMode", "Lighten Blend Mode", blendSeparable<Lighten>},
    {"CILinearBurnBlendMode", "Linear Burn Blend Mode", blendSeparable<LinearBurn>},
    {"CILinearDodgeBlendMode", "Linear Dodge Blend Mode", blendSeparable<LinearDodge>},
    {"CILuminosityBlendMode", "Luminosity Blend Mode", blendNonSeparable<NonSeparable::Luminosity>},
    {"CIMultiplyBlendMode", "Multiply Blend Mode", blendSeparable<Multiply>},
    {"CIOverlayBlendMode", "Overlay Blend Mode", blendSeparable<Overlay>},
    {"CIPinLightBlendMode", "Pin Light Blend Mode", blendSeparable<PinLight>},
    {"CISaturationBlendMode", "Saturation Blend Mode", blendNonSeparable<NonSeparable::Saturation>},
    {"CIScreenBlendMode", "Screen Blend Mode", blendSeparable<Screen>},
    {"CISoftLightBlendMode", "Soft Light Blend Mode", blendSeparable<SoftLight>},
    {"CISubtractBlendMode", "Subtract Blend Mode", blendSeparable<Subtract>},
};

// ---- Plain compositing on premultiplied pixels ----

Image sourceOver(const Inputs& in) {
    Image s = in.image("inputImage"), d = in.image("inputBackgroundImage");
    if (!s || !d)
        return {};
    auto fn = [](const ColorRow& row) {
        const float* a = row.in[0];
        const float* b = row.in[1];
        float* o = row.out;
        for (int i = 0; i < row.count; ++i) {
            float k = 1.f - a[4 * i + 3];
            float v0 = a[4 * i] + b[4 * i] * k, v1 = a[4 * i + 1] + b[4 * i + 1] * k;
            float v2 = a[4 * i + 2] + b[4 * i + 2] * k, v3 = a[4 * i + 3] + b[4 * i + 3] * k;
            o[4 * i] = finite(v0);
            o[4 * i + 1] = finite(v1);
            o[4 * i + 2] = finite(v2);
            o[4 * i + 3] = finite(v3);
        }
    };
    return ColorKernel::apply(fn, {s, d});
}

Image multiplyCompositing(const Inputs& in) {
    Image s = in.image("inputImage"), d = in.image("inputBackgroundImage");
    if (!s || !d)
        return {};
    auto fn = [](const ColorRow& row) {
        const float* a = row.in[0];
        const float* b = row.in[1];
        float* o = row.out;
        for (int i = 0; i < 4 * row.count; ++i) {
            float v = a[i] * b[i];
            o[i] = finite(v);
        }
    };
    return ColorKernel::apply(fn, {s, d}, s.extent().intersected(d.extent()));
}

Image blendWithMask(const Inputs& in) {
    Image s = in.image("inputImage"), d = in.image("inputBackgroundImage"), m = in.image("inputMaskImage");
    if (!s || !d || !m)
        return {};
    auto fn = [](const ColorRow& row) {
        const float* a = row.in[0];
        const float* b = row.in[1];
        const float* mk = row.in[2];
        float* o = row.out;
        for (int i = 0; i < row.count; ++i) {
            float w = mk[4 * i + 1];
            for (int c = 0; c < 4; ++c) {
                float v = a[4 * i + c] * w + b[4 * i + c] * (1.f - w);
                o[4 * i + c] = finite(v);
            }
        }
    };
    Rect extent = d.extent().united(s.extent().intersected(m.extent()));
    return ColorKernel::apply(fn, {s, d, m}, extent);
}

} // namespace

void registerCompositeFilters() {
    const std::vector<std::string> cats = {"CICategoryCompositeOperation",
                                           "CICategoryVideo",
                                           "CICategoryStillImage",
                                           "CICategoryInterlaced",
                                           "CICategoryNonSquarePixels",
                                           "CICategoryHighDynamicRange",
                                           "CICategoryBuiltIn"};
    const std::vector<InputSpec> twoImages = {imageInput(),
                                              imageInput("inputBackgroundImage", "Background Image")};
    for (const BlendMode& mode : kBlendModes) {
        const Space space = spaceOf(mode.name);
        BlendFunction blend = mode.blend;
        defineBuiltin(
            {mode.name, mode.displayName, cats, twoImages, [space, blend](const Inputs& in) -> Image {
                 Image s = in.image("inputImage"), d = in.image("inputBackgroundImage");
                 if (!s || !d)
                     return {};
                 return ColorKernel::apply(blendKernel(space, blend), {s, d});
             }});
    }
    defineBuiltin({"CISourceOverCompositing", "Source Over Compositing", cats, twoImages, sourceOver});
    defineBuiltin({"CIMultiplyCompositing", "Multiply Compositing", cats, twoImages, multiplyCompositing});
    defineBuiltin({"CIBlendWithMask",
                   "Blend With Mask",
                   {"CICategoryStylize", "CICategoryVideo", "CICategoryStillImage", "CICategoryInterlaced",
                    "CICategoryNonSquarePixels", "CICategoryBuiltIn"},
                   {imageInput(), imageInput("inputBackgroundImage", "Background Image"),
                    imageInput("inputMaskImage", "Mask Image")},
                   blendWithMask});
}

} // namespace ci::builtin
