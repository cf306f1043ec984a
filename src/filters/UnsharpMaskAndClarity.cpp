#include "UnsharpMaskAndClarity.h"

#include "Kernels.h"

#include "ci/core/Console.h"

namespace filters {

UnsharpMaskFilter::UnsharpMaskFilter() {
    bindImage("inputImage", inputImage);
    bindNumber("inputAmount", inputAmount, 0);
    bindNumber("inputRadius", inputRadius, 0);
    bindNumber("inputThreshold", inputThreshold, 0);
}

void UnsharpMaskFilter::setDefaults() {
    inputImage = {};
    inputAmount = 0.25;
    inputRadius = 4.0;
    inputThreshold = 0.25;
}

ci::Attributes UnsharpMaskFilter::attributes() const {
    ci::Attributes a = ci::Attributes::object();
    a[ci::attr::FilterDisplayName] = "Unsharp Mask";
    a["inputImage"] = imageAttribute();
    a["inputAmount"] = numberAttribute(0.25, "Amount", 0.0, 0.0, 2.0);
    a["inputRadius"] = numberAttribute(4.0, "Radius", 0.0, 0.0, 50.0);
    a["inputThreshold"] = numberAttribute(0.25, "Threshold", 0.0, 0.0, 40.0);
    return a;
}

ci::Image UnsharpMaskFilter::outputImage() {
    if (inputImage.isNull()) {
        ci::console("No input image");
        return {};
    }
    const ci::Rect extent = inputImage.extent();
    // Blurring the picture with its edges extended keeps transparent surroundings from
    // bleeding in: otherwise every border turns into a bright, opaque band as wide as the blur.
    const ci::Image blurred =
        inputImage.clampedToExtent().applyingFilter("CIGaussianBlur", {{"inputRadius", inputRadius}});
    if (blurred.isNull())
        return {};
    return kernels::unsharpCombine(inputImage, blurred.cropped(extent), inputAmount, inputThreshold, extent);
}

ClarityFilter::ClarityFilter() {
    bindImage("inputImage", inputImage);
    bindNumber("inputClarity", inputClarity, 0.2);
}

void ClarityFilter::setDefaults() {
    resetToStart(true);
}

ci::Attributes ClarityFilter::attributes() const {
    ci::Attributes a = ci::Attributes::object();
    a[ci::attr::FilterDisplayName] = fname;
    a["inputImage"] = imageAttribute();
    a["inputClarity"] = numberAttribute(0.2, "Clarity", -1, -1, 1);
    return a;
}

ci::Image ClarityFilter::outputImage() {
    if (inputImage.isNull())
        return {};
    const double c = inputClarity;
    return applyChain(inputImage, {
                                      {"CIVibrance", {{"inputAmount", (c + 1.0) * 0.2}}},
                                      {"UnsharpMaskFilter",
                                       {{"inputAmount", 0.25}, {"inputRadius", 50}, {"inputThreshold", 0}}},
                                      {"OpacityFilter", {{"inputOpacity", c}}},
                                      {"CILuminosityBlendMode", {{"inputBackgroundImage", inputImage}}},
                                  });
}

} // namespace filters
