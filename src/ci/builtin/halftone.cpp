#include "Builtins.h"

#include "ci/core/Filter.h"
#include "ci/core/Kernel.h"
#include "spatial_support.h"

namespace ci::builtin {

using namespace spatial;

namespace {

enum class Screen { Circular, Dot, Hatched, Line };

// Monochrome screens: the luminance is thresholded against a periodic screen function.
Image halftone(const Image& image, Screen kind, Point c, double angle, double width, double sharpness) {
    // A width of zero or less has no pitch; the smallest sensible one keeps the output defined.
    const double w = std::max(width, 1e-3);
    const double e0 = std::max((1 - sharpness) / 2, 1 / w);
    const double ca = std::cos(angle), sa = std::sin(angle);
    const double k = 2 * kPi / w;
    return ColorKernel::apply(
        [=](const ColorRow& row) {
            const float* p = row.in[0];
            const double py = double(row.y) + 0.5 - c.y;
            for (int i = 0; i < row.count; ++i) {
                const float* q = p + i * 4;
                const double L = lumaStraight(q);
                const double px = double(row.x + i) + 0.5 - c.x;
                const double u = ca * px + sa * py, v = -sa * px + ca * py;
                double val;
                switch (kind) {
                case Screen::Circular:
                    val = smoothstep(-e0, e0, L - (0.5 + 0.5 * std::cos(k * std::hypot(px, py))));
                    break;
                case Screen::Dot:
                    val = smoothstep(-e0, e0, L - (0.5 + 0.25 * (std::cos(k * u) + std::cos(k * v))));
                    break;
                case Screen::Hatched:
                    val = smoothstep(-e0, e0, L - (0.5 + 0.5 * std::cos(k * v))) *
                          smoothstep(-e0, e0, 2 * L - (0.5 + 0.5 * std::cos(k * u)));
                    break;
                case Screen::Line:
                default:
                    val = smoothstep(-e0, e0, L - (0.5 + 0.5 * std::cos(k * v)));
                    break;
                }
                float* o = row.out + i * 4;
                o[0] = o[1] = o[2] = float(val) * q[3];
                o[3] = q[3];
            }
        },
        {image});
}

} // namespace

void registerHalftoneFilters() {
    struct Entry {
        const char* name;
        const char* display;
        Screen kind;
    };
    for (const Entry& e : {Entry{"CICircularScreen", "Circular Screen", Screen::Circular},
                           Entry{"CIDotScreen", "Dot Screen", Screen::Dot},
                           Entry{"CIHatchedScreen", "Hatched Screen", Screen::Hatched},
                           Entry{"CILineScreen", "Line Screen", Screen::Line}}) {
        std::vector<InputSpec> inputs = {imageInput(),
                                         vectorInput("inputCenter", Vector{150, 150}, "Center")};
        if (e.kind != Screen::Circular)
            inputs.push_back(numberSpec("inputAngle", "Angle", 0, -kPi, kPi, {}, 0, attr::TypeAngle));
        inputs.push_back(numberSpec("inputWidth", "Width", 6, 2, 50, 1, {}, attr::TypeDistance));
        InputSpec sharp = numberSpec("inputSharpness", "Sharpness", 0.7, 0, 1, 0);
        sharp.max = 1;
        inputs.push_back(sharp);
        const Screen kind = e.kind;
        defineBuiltin(
            {e.name,
             e.display,
             {"CICategoryHalftoneEffect", "CICategoryVideo", "CICategoryStillImage", "CICategoryBuiltIn"},
             inputs,
             [kind](const Inputs& in) -> Image {
                 Image image = in.image("inputImage");
                 if (!image)
                     return {};
                 return halftone(image, kind, point(in, "inputCenter"),
                                 kind == Screen::Circular ? 0 : number(in, "inputAngle", 0),
                                 number(in, "inputWidth", 6), number(in, "inputSharpness", 0.7));
             }});
    }
}

} // namespace ci::builtin
