#include "Builtins.h"

#include "ci/core/Filter.h"
#include "ci/core/Kernel.h"
#include "spatial_support.h"

namespace ci::builtin {

using namespace spatial;

namespace {

const std::vector<std::string> kSharpenCategories = {"CICategorySharpen", "CICategoryStillImage",
                                                     "CICategoryVideo", "CICategoryBuiltIn"};

// Luminance (on premultiplied values) in every channel, for blurring.
Image premultipliedLuminance(const Image& image) {
    return ColorKernel::apply(
        [](const ColorRow& r) {
            for (int i = 0; i < r.count; ++i) {
                const float l = luma(r.in[0] + i * 4);
                float* o = r.out + i * 4;
                o[0] = o[1] = o[2] = o[3] = l;
            }
        },
        {image});
}

Image sharpenLuminance(const Image& image, double sharpness, double radius) {
    if (sharpness == 0 || !(radius > 0) || image.extent().isEmpty())
        return image;
    const Image blurred = gaussianBlur(premultipliedLuminance(image), radius);
    const float s = float(sharpness);
    // The same amount goes to R, G and B, so the colour differences between channels are kept.
    return ColorKernel::apply(
        [s](const ColorRow& r) {
            const float* p = r.in[0];
            const float* b = r.in[1];
            for (int i = 0; i < r.count; ++i) {
                const float* q = p + i * 4;
                const float d = s * (luma(q) - b[i * 4]);
                float* o = r.out + i * 4;
                o[0] = q[0] + d;
                o[1] = q[1] + d;
                o[2] = q[2] + d;
                o[3] = q[3];
            }
        },
        {image, blurred}, image.extent());
}

Image unsharpMask(const Image& image, double radius, double intensity) {
    if (intensity == 0 || !(radius > 0) || image.extent().isEmpty())
        return image;
    const Image blurred = gaussianBlur(image, radius);
    const float k = float(intensity);
    return ColorKernel::apply(
        [k](const ColorRow& r) {
            const float* p = r.in[0];
            const float* b = r.in[1];
            for (int i = 0; i < r.count * 4; i += 4) {
                for (int c = 0; c < 3; ++c)
                    r.out[i + c] = p[i + c] + k * (p[i + c] - b[i + c]);
                r.out[i + 3] = p[i + 3];
            }
        },
        {image, blurred}, image.extent());
}

} // namespace

void registerSharpenFilters() {
    defineBuiltin({"CISharpenLuminance",
                   "Sharpen Luminance",
                   kSharpenCategories,
                   {imageInput(), numberSpec("inputSharpness", "Sharpness", 0.4, 0, 2, {}, 0),
                    numberSpec("inputRadius", "Radius", 1.69, 0, 20, {}, 0, attr::TypeDistance)},
                   [](const Inputs& in) -> Image {
                       Image image = in.image("inputImage");
                       if (!image)
                           return {};
                       return sharpenLuminance(image, number(in, "inputSharpness", 0.4),
                                               number(in, "inputRadius", 1.69));
                   }});
    defineBuiltin({"CIUnsharpMask",
                   "Unsharp Mask",
                   kSharpenCategories,
                   {imageInput(), numberSpec("inputRadius", "Radius", 2.5, 0, 100, 0, 0, attr::TypeDistance),
                    numberSpec("inputIntensity", "Intensity", 0.5, 0, 1, 0, 0)},
                   [](const Inputs& in) -> Image {
                       Image image = in.image("inputImage");
                       if (!image)
                           return {};
                       return unsharpMask(image, number(in, "inputRadius", 2.5),
                                          number(in, "inputIntensity", 0.5));
                   }});
}

} // namespace ci::builtin
