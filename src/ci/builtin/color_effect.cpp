#include "Builtins.h"
#include "ColorPipeline.h"

#include "ci/core/Filter.h"

#include <cmath>

namespace ci::builtin {

using namespace color;

namespace {

Image colorInvert(const Inputs& in) {
    return pointFilter(in.image("inputImage"), spaceOf("CIColorInvert"), Form::Straight,
                       [](Block& p, int n, const Place&) { forRGB(p, n, [](float c) { return 1.f - c; }); });
}

Image maskToAlpha(const Inputs& in) {
    // White, with the (clamped) luma times the source alpha as its alpha.
    return pointFilter(in.image("inputImage"), spaceOf("CIMaskToAlpha"), Form::Straight,
                       [](Block& p, int n, const Place&) {
                           for (int i = 0; i < n; ++i) {
                               p.a[i] = clamp01(lum709(p.r[i], p.g[i], p.b[i]) * p.a[i]);
                               p.r[i] = p.g[i] = p.b[i] = 1.f;
                           }
                       });
}

template <bool Max> Image componentFilter(const Inputs& in, const char* name) {
    return pointFilter(
        in.image("inputImage"), spaceOf(name), Form::Homogeneous, [](Block& p, int n, const Place&) {
            for (int i = 0; i < n; ++i) {
                float m = Max ? maxf(p.r[i], maxf(p.g[i], p.b[i])) : minf(p.r[i], minf(p.g[i], p.b[i]));
                p.r[i] = p.g[i] = p.b[i] = m;
            }
        });
}

Image colorMonochrome(const Inputs& in) {
    Image image = in.image("inputImage");
    float intensity = float(in.number("inputIntensity"));
    if (image && intensity == 0.f)
        return image;
    const Space space = spaceOf("CIColorMonochrome");
    auto k = colorIn(in.color("inputColor"), space);
    return pointFilter(image, space, Form::Homogeneous, [k, intensity](Block& p, int n, const Place&) {
        for (int i = 0; i < n; ++i) {
            float y = lum709(p.r[i], p.g[i], p.b[i]);
            p.r[i] = mixf(p.r[i], y * k[0], intensity);
            p.g[i] = mixf(p.g[i], y * k[1], intensity);
            p.b[i] = mixf(p.b[i], y * k[2], intensity);
        }
    });
}

Image sepiaTone(const Inputs& in) {
    Image image = in.image("inputImage");
    float intensity = float(in.number("inputIntensity"));
    if (image && intensity == 0.f)
        return image;
    return pointFilter(image, spaceOf("CISepiaTone"), Form::Straight,
                       [intensity](Block& p, int n, const Place&) {
                           for (int i = 0; i < n; ++i) {
                               float y = 0.299f * p.r[i] + 0.587f * p.g[i] + 0.114f * p.b[i];
                               p.r[i] = mixf(p.r[i], 1.2f * y, intensity);
                               p.g[i] = mixf(p.g[i], y, intensity);
                               p.b[i] = mixf(p.b[i], 0.8f * y, intensity);
                           }
                       });
}

Image falseColor(const Inputs& in) {
    const Space space = spaceOf("CIFalseColor");
    auto c0 = colorIn(in.color("inputColor0"), space);
    auto c1 = colorIn(in.color("inputColor1"), space);
    return pointFilter(in.image("inputImage"), space, Form::Straight,
                       [c0, c1](Block& p, int n, const Place&) {
                           for (int i = 0; i < n; ++i) {
                               float t = clamp01(lum709(p.r[i], p.g[i], p.b[i]));
                               p.r[i] = mixf(c0[0], c1[0], t);
                               p.g[i] = mixf(c0[1], c1[1], t);
                               p.b[i] = mixf(c0[2], c1[2], t);
                               p.a[i] *= mixf(c0[3], c1[3], t);
                           }
                       });
}

Image vignette(const Inputs& in) {
    Image image = in.image("inputImage");
    float intensity = float(in.number("inputIntensity"));
    float radius = float(in.number("inputRadius"));
    if (!image)
        return {};
    Rect e = image.extent();
    if (intensity == 0.f || e.isInfinite() || e.isEmpty())
        return image;
    const double cx = e.midX(), cy = e.midY();
    const double halfDiagonal = 0.5 * std::hypot(e.width(), e.height());
    const float e0 = 0.3f * radius, e1 = 1.2f * radius;
    return pointFilter(image, spaceOf("CIVignette"), Form::Homogeneous,
                       [=](Block& p, int n, const Place& at) {
                           float dy = float(at.y() - cy);
                           float x0 = float(at.x(0) - cx);
                           float inv = float(1.0 / halfDiagonal);
                           for (int i = 0; i < n; ++i) {
                               float dx = x0 + float(i);
                               float rho = fastSqrt(dx * dx + dy * dy) * inv;
                               float k = 1.f - intensity * smoothstepSafe(e0, e1, rho);
                               p.r[i] *= k;
                               p.g[i] *= k;
                               p.b[i] *= k;
                           }
                       });
}

Image vignetteEffect(const Inputs& in) {
    Image image = in.image("inputImage");
    float intensity = float(in.number("inputIntensity"));
    if (!image)
        return {};
    if (intensity == 0.f)
        return image;
    Vector center = in.vector("inputCenter");
    float radius = float(in.number("inputRadius"));
    float falloff = float(in.number("inputFalloff"));
    const double cx = center.x(), cy = center.y();
    const float e0 = radius * (1.f - falloff), e1 = radius * (1.f + falloff);
    const bool towardsWhite = intensity < 0.f;
    const float strength = std::fabs(intensity);
    return pointFilter(image, spaceOf("CIVignetteEffect"), Form::Straight,
                       [=](Block& p, int n, const Place& at) {
                           float dy = float(at.y() - cy);
                           float x0 = float(at.x(0) - cx);
                           for (int i = 0; i < n; ++i) {
                               float dx = x0 + float(i);
                               float v = smoothstepSafe(e0, e1, fastSqrt(dx * dx + dy * dy));
                               // Towards black (scale by 1 - k) or towards white (mix towards 1 by k).
                               float k = strength * v;
                               float keep = 1.f - k, add = pick(towardsWhite, k, 0.f);
                               p.r[i] = p.r[i] * keep + add;
                               p.g[i] = p.g[i] * keep + add;
                               p.b[i] = p.b[i] * keep + add;
                           }
                       });
}

} // namespace

void registerColorEffectFilters() {
    const auto cats = categories("CICategoryColorEffect");
    defineBuiltin({"CIColorInvert", "Color Invert", cats, {imageInput()}, colorInvert});
    defineBuiltin({"CIMaskToAlpha", "Mask to Alpha", cats, {imageInput()}, maskToAlpha});
    defineBuiltin({"CIMinimumComponent", "Minimum Component", cats, {imageInput()}, [](const Inputs& in) {
                       return componentFilter<false>(in, "CIMinimumComponent");
                   }});
    defineBuiltin({"CIMaximumComponent", "Maximum Component", cats, {imageInput()}, [](const Inputs& in) {
                       return componentFilter<true>(in, "CIMaximumComponent");
                   }});
    defineBuiltin({"CIColorMonochrome",
                   "Color Monochrome",
                   cats,
                   {imageInput(), colorInput("inputColor", Color{0.6, 0.45, 0.3, 1}, "Color"),
                    number("inputIntensity", 1, "Intensity", 0, 1, 0, {}, 0)},
                   colorMonochrome});
    defineBuiltin({"CISepiaTone",
                   "Sepia Tone",
                   cats,
                   {imageInput(), number("inputIntensity", 1, "Intensity", 0, 1, 0, {}, 0)},
                   sepiaTone});
    defineBuiltin({"CIFalseColor",
                   "False Color",
                   cats,
                   {imageInput(), colorInput("inputColor0", Color{0.3, 0, 0, 1}, "Color 1"),
                    colorInput("inputColor1", Color{1, 0.9, 0.8, 1}, "Color 2")},
                   falseColor});
    defineBuiltin({"CIVignette",
                   "Vignette",
                   cats,
                   {imageInput(), number("inputIntensity", 0, "Intensity", -1, 1, -1, 1, 0),
                    number("inputRadius", 1, "Radius", 0, 2, 0, 2, {})},
                   vignette});
    defineBuiltin({"CIVignetteEffect",
                   "Vignette Effect",
                   cats,
                   {imageInput(), vectorInput("inputCenter", Vector{150, 150}, "Center", attr::TypePosition),
                    number("inputRadius", 150, "Radius", 0, 2000, 0, {}, {}, attr::TypeDistance),
                    number("inputIntensity", 1, "Intensity", -1, 1, -1, 1, 0),
                    number("inputFalloff", 0.5, "Falloff", 0, 1, 0, 1, {})},
                   vignetteEffect});
}

} // namespace ci::builtin
