#include "ContrastAndOpacity.h"

#include "ci/core/Console.h"

namespace filters {

ContrastFilter::ContrastFilter() {
    bindImage("inputImage", inputImage);
    bindNumber("inputContrast", inputContrast, 1.0);
}

void ContrastFilter::setDefaults() {
    resetToStart(true);
}

ci::Attributes ContrastFilter::attributes() const {
    ci::Attributes a = ci::Attributes::object();
    a[ci::attr::FilterDisplayName] = fname;
    a["inputImage"] = imageAttribute();
    a["inputContrast"] = numberAttribute(1.0, "Contrast", 0.25, 0.25, 4.0);
    return a;
}

ci::Image ContrastFilter::outputImage() {
    if (inputImage.isNull())
        return {};
    return inputImage.applyingFilter("CIColorControls", {{"inputContrast", inputContrast}});
}

OpacityFilter::OpacityFilter()
    : colorMatrix(ci::Filter::make("CIColorMatrix")), composite(ci::Filter::make("CISourceOverCompositing")) {
    bindImage("inputImage", inputImage);
    bindImage("inputBackgroundImage", inputBackgroundImage);
    bindNumber("inputOpacity", inputOpacity, 1.0);
}

void OpacityFilter::setDefaults() {
    resetToStart(true);
}

ci::Attributes OpacityFilter::attributes() const {
    ci::Attributes a = ci::Attributes::object();
    a[ci::attr::FilterDisplayName] = "Opacity";
    a["inputImage"] = imageAttribute();
    a["inputBackgroundImage"] = imageAttribute();
    a["inputOpacity"] = numberAttribute(1, "Opacity", 0, 0, 1);
    return a;
}

ci::Image OpacityFilter::outputImage() {
    if (inputImage.isNull()) {
        ci::console("NIL image supplied");
        return {};
    }
    if (!colorMatrix || !composite) {
        ci::console("Filters not set up");
        return {};
    }
    colorMatrix->setDefaults();
    colorMatrix->setValue("inputImage", inputImage);
    rgba[3] = inputOpacity;
    colorMatrix->setValue("inputAVector", ci::Vector{rgba[0], rgba[1], rgba[2], rgba[3]});
    img = colorMatrix->outputImage();
    if (inputBackgroundImage.isNull())
        return img;
    composite->setDefaults();
    composite->setValue("inputImage", img);
    composite->setValue("inputBackgroundImage", inputBackgroundImage);
    return composite->outputImage();
}

} // namespace filters
