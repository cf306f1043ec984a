#include "Builtins.h"
#include "ColorPipeline.h"

#include "ci/core/Filter.h"

#include <string>

namespace ci::builtin {

using namespace color;

namespace {

/// A look as data: saturation (or greyscale), a lift and gain per channel, then up to two
/// S-curves.
struct Look {
    const char* name;
    const char* displayName;
    bool mono;
    float saturation;
    float lift[3];
    float gain[3];
    float curve1, curve2;
};

// clang-format off
constexpr Look kLooks[] = {
    {"CIPhotoEffectChrome",   "Photo Effect Chrome",   false, 1.35f, {0, 0, 0},             {1, 1, 1},              0.35f, 0},
    {"CIPhotoEffectFade",     "Photo Effect Fade",     false, 0.65f, {0.10f, 0.10f, 0.10f}, {0.92f, 0.92f, 0.92f}, 0,     0},
    {"CIPhotoEffectInstant",  "Photo Effect Instant",  false, 0.85f, {0.06f, 0.04f, 0.10f}, {0.98f, 0.94f, 0.82f}, 0.15f, 0},
    {"CIPhotoEffectMono",     "Photo Effect Mono",     true,  1,     {0.05f, 0.05f, 0.05f}, {0.95f, 0.95f, 0.95f}, 0,     0},
    {"CIPhotoEffectNoir",     "Photo Effect Noir",     true,  1,     {0, 0, 0},             {1, 1, 1},              1.0f,  0.5f},
    {"CIPhotoEffectProcess",  "Photo Effect Process",  false, 0.9f,  {0.0f, 0.02f, 0.08f},  {0.92f, 1.0f, 1.0f},   0.2f,  0},
    {"CIPhotoEffectTonal",    "Photo Effect Tonal",    true,  1,     {0, 0, 0},             {1, 1, 1},              0,     0},
    {"CIPhotoEffectTransfer", "Photo Effect Transfer", false, 1.05f, {0.04f, 0.02f, 0.0f},  {1.0f, 0.96f, 0.85f},  0.15f, 0},
};
// clang-format on

CI_ALWAYS_INLINE float sCurve(float x, float k) {
    return mixf(x, x * x * (3.f - 2.f * x), k);
}

Image photoEffect(const Look& look, const Inputs& in) {
    const bool extrapolate = in.boolean("inputExtrapolate");
    return pointFilter(in.image("inputImage"), spaceOf(look.name), Form::Straight,
                       [look, extrapolate](Block& p, int n, const Place&) {
                           if (!extrapolate)
                               forRGB(p, n, clamp01);
                           for (int i = 0; i < n; ++i) {
                               float y = lum709(p.r[i], p.g[i], p.b[i]);
                               float c[3] = {p.r[i], p.g[i], p.b[i]};
                               for (int k = 0; k < 3; ++k) {
                                   float coloured = mixf(y, c[k], look.saturation);
                                   float v = pick(look.mono, y, coloured);
                                   v = look.lift[k] + (look.gain[k] - look.lift[k]) * v;
                                   v = sCurve(v, look.curve1);
                                   c[k] = sCurve(v, look.curve2);
                               }
                               p.r[i] = c[0];
                               p.g[i] = c[1];
                               p.b[i] = c[2];
                           }
                       });
}

} // namespace

void registerPhotoEffectFilters() {
    for (const Look& look : kLooks) {
        defineBuiltin(
            {look.name,
             look.displayName,
             {"CICategoryColorEffect", "CICategoryVideo", "CICategoryInterlaced", "CICategoryNonSquarePixels",
              "CICategoryStillImage", "CICategoryXMPSerializable", "CICategoryBuiltIn"},
             {imageInput(), boolInput("inputExtrapolate", false, "Extrapolate")},
             [&look](const Inputs& in) { return photoEffect(look, in); }});
    }
}

} // namespace ci::builtin
