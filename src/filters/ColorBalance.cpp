#include "ColorBalance.h"

#include "ci/builtin/AutoAdjust.h"
#include "ci/core/Console.h"

namespace filters {

// ---- Automatic adjustment ---------------------------------------------------------------------

AutoAdjustFilter::AutoAdjustFilter() {
    bindImage("inputImage", inputImage);
}

void AutoAdjustFilter::setDefaults() {
    inputImage = {};
}

ci::Attributes AutoAdjustFilter::attributes() const {
    ci::Attributes a = ci::Attributes::object();
    a[ci::attr::FilterDisplayName] = fname;
    a["inputImage"] = imageAttribute();
    return a;
}

ci::Image AutoAdjustFilter::outputImage() {
    if (inputImage.isNull())
        return {};
    const ci::Image input = ci::renderedForRereading(inputImage);
    const auto proposed = ci::autoAdjustmentFilters(input);
    ci::Image current = input;
    for (const auto& filter : proposed) {
        filter->setValue("inputImage", current);
        current = filter->outputImage();
    }
    return current;
}

// ---- White balance ----------------------------------------------------------------------------

WhiteBalanceFilter::WhiteBalanceFilter() {
    bindImage("inputImage", inputImage);
    bindNumber("inputTemperature", inputTemperature, 0.02);
    bindNumber("inputTint", inputTint, 0.05);
}

void WhiteBalanceFilter::setDefaults() {
    inputImage = {};
    inputTemperature = 6500;
    inputTint = 0;
}

ci::Attributes WhiteBalanceFilter::attributes() const {
    ci::Attributes a = ci::Attributes::object();
    a[ci::attr::FilterDisplayName] = "White Balance";
    a["inputImage"] = imageAttribute();
    a["inputTemperature"] = numberAttribute(6500.0, "Temperature", 2000, 2000, 10000);
    a["inputTint"] = numberAttribute(0.0, "Tint", -100, -100, 100);
    return a;
}

ci::Image WhiteBalanceFilter::outputImage() {
    if (inputImage.isNull()) {
        ci::console("No input image");
        return {};
    }
    return inputImage.applyingFilter("CITemperatureAndTint",
                                     {{"inputNeutral", ci::Vector{inputTemperature, inputTint}},
                                      {"inputTargetNeutral", ci::Vector{6500.0, 0.0}}});
}

// ---- Temperature and tint ---------------------------------------------------------------------

AdjustTemperature::AdjustTemperature() {
    bindImage("inputImage", inputImage);
    bindNumber("inputAmount", inputAmount, 0.0);
}

ci::Image AdjustTemperature::outputImage() {
    if (inputImage.isNull())
        return {};
    return inputImage.applyingFilter("CITemperatureAndTint",
                                     {{"inputNeutral", ci::Vector{inputAmount, 0.0}}});
}

AdjustTint::AdjustTint() {
    bindImage("inputImage", inputImage);
    bindNumber("inputAmount", inputAmount, 0.0);
}

ci::Image AdjustTint::outputImage() {
    if (inputImage.isNull())
        return {};
    return inputImage.applyingFilter("CITemperatureAndTint",
                                     {{"inputNeutral", ci::Vector{6500.0, inputAmount}}});
}

} // namespace filters
