#include "filters/actions/GeometryActions.h"

#include "model/ImageOperations.h"

#include <cmath>

namespace filters::actions {

namespace {

bool finite(const ci::Vector& v) {
    return std::isfinite(v.x()) && std::isfinite(v.y());
}

ci::Image flipped(const ci::Image& image, bool horizontally, bool vertically) {
    if (!image)
        return {};
    return unwrap(model::flippedImage(wrap(image), horizontally, vertically));
}

} // namespace

CropAction::CropAction() {
    property("inputImage", inputImage);
    property("inputRectangleStart", inputRectangleStart);
    property("inputRectangleEnd", inputRectangleEnd);
}

ci::Image CropAction::outputImage() {
    if (!inputImage || !inputRectangleStart || !inputRectangleEnd)
        return {};
    const ci::Vector& a = *inputRectangleStart;
    const ci::Vector& b = *inputRectangleEnd;
    if (!finite(a) || !finite(b))
        return {};
    const ci::Vector rect{std::min(a.x(), b.x()), std::min(a.y(), b.y()), std::abs(b.x() - a.x()),
                          std::abs(b.y() - a.y())};
    return inputImage.applyingFilter("CICrop", {{"inputRectangle", rect}});
}

FlipHorizontallyAction::FlipHorizontallyAction() {
    property("inputImage", inputImage);
}

ci::Image FlipHorizontallyAction::outputImage() {
    return flipped(inputImage, true, false);
}

FlipVerticallyAction::FlipVerticallyAction() {
    property("inputImage", inputImage);
}

ci::Image FlipVerticallyAction::outputImage() {
    return flipped(inputImage, false, true);
}

ResizeAction::ResizeAction() {
    property("inputImage", inputImage);
    property("inputWidth", inputWidth, 0);
    property("inputHeight", inputHeight, 0);
    property("inputMaintainRatio", inputMaintainRatio, true);
}

ci::Image ResizeAction::outputImage() {
    if (!inputImage)
        return {};
    const platform::WindowImage wrapped = wrap(inputImage);
    // Sizes that are not usable numbers make the operations yield nothing.
    return unwrap(inputMaintainRatio ? model::resizedImage(wrapped, inputWidth, inputHeight)
                                     : model::redrawnImage(wrapped, inputWidth, inputHeight));
}

RotateAction::RotateAction() {
    property("inputImage", inputImage);
    property("inputAngle", inputAngle, 0);
}

ci::Image RotateAction::outputImage() {
    const std::optional<int64_t> degrees = wholeNumber(inputAngle);
    if (!inputImage || !degrees)
        return {};
    return unwrap(model::rotatedImage(wrap(inputImage), *degrees));
}

ScaleAction::ScaleAction() {
    property("inputImage", inputImage);
    property("inputFactor", inputFactor, 1.0);
}

ci::Image ScaleAction::outputImage() {
    // A factor that is not a finite positive number has no picture to show.
    if (!inputImage || !std::isfinite(inputFactor) || inputFactor <= 0)
        return {};
    return inputImage.applyingFilter("CILanczosScaleTransform",
                                     {{"inputAspectRatio", 1.0}, {"inputScale", inputFactor}});
}

} // namespace filters::actions
