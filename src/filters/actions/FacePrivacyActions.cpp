#include "filters/actions/FacePrivacyActions.h"

#include "ci/face/FaceDetector.h"

#include <algorithm>
#include <cmath>

namespace filters::actions {

ci::Image applyToFaces(const ci::Image& image, double size, const std::string& effect,
                       const std::string& sizeKey) {
    if (!image || !std::isfinite(size))
        return {};
    const auto detector = ci::FaceDetector::make();
    if (!detector)
        return {};
    // A picture that could not be searched is a failure, never a picture without faces: the
    // faces it may hold would stay visible.
    const auto found = detector->search(image);
    if (!found)
        return {};
    const std::vector<ci::FaceFeature>& faces = found.value();
    // Nothing to hide: blending without a mask would lose the whole step.
    if (faces.empty())
        return image;

    ci::Image mask;
    for (const ci::FaceFeature& face : faces) {
        const ci::Rect& b = face.bounds;
        const double r0 = std::min(b.height(), b.width()) / 1.5;
        const ci::Image disc = ci::Image().applyingFilter(
            "CIRadialGradient",
            {{"inputRadius0", r0},
             {"inputRadius1", r0 + 1.0},
             {"inputColor0", ci::Color{0, 1, 0, 1}},
             {"inputColor1", ci::Color{0, 0, 0, 0}},
             {"inputCenter", ci::Vector{b.x0 + b.width() * 0.5, b.y0 + b.height() * 0.5}}});
        mask = mask ? disc.applyingFilter("CISourceOverCompositing", {{"inputBackgroundImage", mask}}) : disc;
    }
    const ci::Image treated = image.applyingFilter(effect, {{sizeKey, size}});
    const ci::Image blended = treated.applyingFilter(
        "CIBlendWithMask", {{"inputBackgroundImage", image}, {"inputMaskImage", mask}});
    return blended ? blended.cropped(image.extent()) : blended;
}

FacePixellateAction::FacePixellateAction() {
    property("inputImage", inputImage);
    property("inputSize", inputSize, 15.0);
}

ci::Image FacePixellateAction::outputImage() {
    return applyToFaces(inputImage, inputSize, "CIPixellate", "inputScale");
}

FaceBlurAction::FaceBlurAction() {
    property("inputImage", inputImage);
    property("inputSize", inputSize, 15.0);
}

ci::Image FaceBlurAction::outputImage() {
    return applyToFaces(inputImage, inputSize, "CIGaussianBlur", "inputRadius");
}

} // namespace filters::actions
