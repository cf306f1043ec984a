// Peak memory of a 24-megapixel photograph through a 10-step chain, encoded as JPEG.
//
//     chain_memory [IMAGE]

#include "ci/core/Context.h"
#include "ci/core/Value.h"
#include "ci/io/Codec.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>

int main(int argc, char** argv) {
    const std::string path = argc > 1 ? argv[1] : std::string(GW_TEST_DATA_DIR) + "/rocket.jpg";
    auto decoded = ci::io::decodeFile(path);
    if (!decoded) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), decoded.error().c_str());
        return 1;
    }
    // Scale up to 6000 x 4000 and hold it as pixels, as a decoded 24-megapixel file would be.
    const ci::Rect frame = ci::Rect::make(0, 0, 6000, 4000);
    auto big = ci::Context().render(
        decoded->image.transformed(ci::Affine::scale(6000.0 / decoded->width, 4000.0 / decoded->height))
            .cropped(frame));
    if (!big) {
        std::fprintf(stderr, "%s\n", big.error().c_str());
        return 1;
    }
    const ci::Image src = ci::Image::fromBitmap(std::move(*big));

    const auto start = std::chrono::steady_clock::now();
    ci::Image img = src;
    img = img.applyingFilter("CIColorControls", {{"inputSaturation", 1.2}});
    img = img.applyingFilter("CIExposureAdjust", {{"inputEV", 0.2}});
    img = img.clampedToExtent().applyingFilter("CIGaussianBlur", {{"inputRadius", 4.0}}).cropped(frame);
    img = img.applyingFilter("CIVibrance", {{"inputAmount", 0.5}});
    img = img.applyingFilter("CISharpenLuminance", {{"inputSharpness", 0.6}});
    img = img.applyingFilter("CIHueAdjust", {{"inputAngle", 0.1}});
    img = img.applyingFilter("CIVignette", {{"inputIntensity", 0.8}, {"inputRadius", 2.0}});
    img = img.applyingFilter("CIAffineTransform", {{"inputTransform", ci::Affine::rotation(0.05)}})
              .cropped(frame);
    img = img.applyingFilter("CIGammaAdjust", {{"inputPower", 1.1}});
    img = img.applyingFilter("CISepiaTone", {{"inputIntensity", 0.3}});
    if (img.isNull()) {
        std::fprintf(stderr, "a step of the chain is missing\n");
        return 1;
    }
    auto bytes = ci::io::encodeImage(img, ci::io::FileType::JPEG, 0.8);
    if (!bytes) {
        std::fprintf(stderr, "%s\n", bytes.error().c_str());
        return 1;
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    std::printf("24 MP, 10 steps: %.2f s, %zu bytes of JPEG, peak RSS %.0f MB\n", s, bytes->size(),
                ru.ru_maxrss / 1024.0);
    return 0;
}
