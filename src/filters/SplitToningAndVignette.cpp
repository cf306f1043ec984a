#include "SplitToningAndVignette.h"

#include "ci/core/Console.h"

#include <algorithm>
#include <cmath>

namespace filters {

SplitToningFilter::SplitToningFilter() {
    bindImage("inputImage", inputImage);
    bindNumber("inputHighlightHue", inputHighlightHue, 0.0);
    bindNumber("inputHighlightSaturation", inputHighlightSaturation, 0.5);
    bindNumber("inputHighlightBrightness", inputHighlightBrightness, 0.901961);
    bindNumber("inputShadowHue", inputShadowHue, 0.1);
    bindNumber("inputShadowSaturation", inputShadowSaturation, 0.5);
    bindNumber("inputShadowBrightness", inputShadowBrightness, 0.270588);
}

void SplitToningFilter::setDefaults() {
    resetToStart(true);
}

ci::Attributes SplitToningFilter::attributes() const {
    ci::Attributes a = ci::Attributes::object();
    a[ci::attr::FilterDisplayName] = "Split Toning";
    a["inputImage"] = imageAttribute();
    a["inputHighlightHue"] = numberAttribute(0.0, "Highlight Hue", 0.0, 0.0, 1.0);
    a["inputHighlightSaturation"] = numberAttribute(0.5, "Highlight Saturation", 0.0, 0.0, 1.0);
    a["inputHighlightBrightness"] = numberAttribute(0.901961, "Highlight Brightness", 0.0, 0.0, 1.0);
    a["inputShadowHue"] = numberAttribute(0.1, "Shadow Hue", 0.0, 0.0, 1.0);
    a["inputShadowSaturation"] = numberAttribute(0.5, "Shadow Saturation", 0.0, 0.0, 1.0);
    a["inputShadowBrightness"] = numberAttribute(0.270588, "Shadow Brightness", 0.0, 0.0, 1.0);
    return a;
}

ci::Image SplitToningFilter::outputImage() {
    if (inputImage.isNull()) {
        ci::console("No input image");
        return {};
    }
    const double amount = std::fabs(inputShadowHue) + std::fabs(inputShadowSaturation) +
                          std::fabs(inputHighlightHue) + std::fabs(inputHighlightSaturation);
    if (!(amount > 0.001))
        return inputImage;
    // The numbers go into red, green and blue as they are; the looks are tuned to that.
    const ci::Color shadow{inputShadowHue, inputShadowSaturation, inputShadowBrightness, 1.0};
    const ci::Color highlight{inputHighlightHue, inputHighlightSaturation, inputHighlightBrightness, 1.0};
    return applyChain(inputImage, {
                                      {"CIFalseColor", {{"inputColor0", shadow}, {"inputColor1", highlight}}},
                                      {"CIScreenBlendMode", {{"inputBackgroundImage", inputImage}}},
                                  });
}

CenteredVignetteFilter::CenteredVignetteFilter() {
    bindImage("inputImage", inputImage);
    bindNumber("inputRadius", inputRadius, 0.75);
    bindNumber("inputIntensity", inputIntensity, 0.5);
    bindNumber("inputFalloff", inputFalloff, 0.25);
}

void CenteredVignetteFilter::setDefaults() {
    resetToStart(true);
}

ci::Attributes CenteredVignetteFilter::attributes() const {
    ci::Attributes a = ci::Attributes::object();
    a[ci::attr::FilterDisplayName] = fname;
    a["inputImage"] = imageAttribute();
    a["inputRadius"] = numberAttribute(0.5, "Radius", 0.0, 0.0, 1.0);
    a["inputIntensity"] = numberAttribute(0.75, "Intensity", 0.0, 0.0, 1.0);
    a["inputFalloff"] = numberAttribute(0.25, "Falloff", 0.0, 0.0, 1.0);
    return a;
}

ci::Image CenteredVignetteFilter::outputImage() {
    if (inputImage.isNull())
        return {};
    const ci::Rect extent = inputImage.extent();
    // An unbounded or empty picture has no centre to shade around.
    if (extent.isInfinite() || extent.isEmpty())
        return inputImage;
    // The middle of the extent, so that a vignette after a crop is still centred.
    const ci::Vector centre{extent.midX(), extent.midY()};
    const double radius = std::min(extent.width(), extent.height()) * inputRadius;
    return inputImage.applyingFilter("CIVignetteEffect", {{"inputCenter", centre},
                                                          {"inputRadius", radius},
                                                          {"inputIntensity", inputIntensity},
                                                          {"inputFalloff", inputFalloff}});
}

} // namespace filters
