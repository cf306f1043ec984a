#include "filters/faces/EnhanceFilters.h"

#include "ci/core/Console.h"
#include "filters/faces/SmoothPath.h"

#include <algorithm>
#include <cmath>

namespace filters::faces {

namespace {

const ci::Vector kBandLift{0, 0.1, 1};

// The sharpening and clarity that every chain ends with.
std::vector<ChainStep> clarityAndSharpness(double clarity, double radius, double sharpness) {
    return {{"ClarityFilter", {{"inputClarity", clarity}}},
            {"CISharpenLuminance", {{"inputRadius", radius}, {"inputSharpness", sharpness}}}};
}

} // namespace

FacialFeatureFilter::FacialFeatureFilter(std::string displayName, bool reports)
    : fname_(std::move(displayName)), reports_(reports) {
    bindImage("inputImage", inputImage_);
}

void FacialFeatureFilter::addNumber(NumberInput input) {
    bindNumber(input.key, *input.field, input.start);
    numbers_.push_back(std::move(input));
}

ci::SetResult FacialFeatureFilter::setValue(const std::string& key, const ci::Value& value) {
    const std::vector<std::string> keys = inputKeys();
    if (!reports_ && std::find(keys.begin(), keys.end(), key) == keys.end())
        return ci::SetResult::UnknownKey;
    return OwnFilter::setValue(key, value);
}

ci::Value FacialFeatureFilter::value(const std::string& key) const {
    if (key == "inputImage")
        return inputImage_ ? ci::Value(inputImage_) : ci::Value();
    if (key == "outputImage") {
        // Reading the output back runs the detection, as asking for it does.
        const ci::Image out = const_cast<FacialFeatureFilter*>(this)->outputImage();
        return out ? ci::Value(out) : ci::Value();
    }
    for (const NumberInput& n : numbers_)
        if (key == n.key)
            return *n.field;
    if (reports_)
        reportInvalidKey(key);
    return {};
}

ci::Attributes FacialFeatureFilter::attributes() const {
    ci::Attributes a = ci::Attributes::object();
    a[ci::attr::FilterDisplayName] = fname_;
    a["inputImage"] = imageAttribute();
    for (const NumberInput& n : numbers_)
        a[n.key] = numberAttribute(n.advertised, n.displayName, 0, 0, n.sliderMax);
    return a;
}

void FacialFeatureFilter::setDefaults() {
    inputImage_ = ci::Image();
    processedImage_ = ci::Image();
    for (const NumberInput& n : numbers_)
        *n.field = n.setDefault;
}

ci::Image FacialFeatureFilter::outputImage() {
    if (!inputImage_) {
        if (reports_)
            ci::console("NIL input image");
        return {};
    }
    const std::vector<FacialFeatures> faces = FaceDetection::detectFaces(inputImage_);
    if (!faces.empty())
        handleDetectedFaces(faces);
    // Only a result made for this input in this call is shown; an earlier one may belong to
    // another picture.
    const bool processed = !faces.empty() && processedImage_;
    if (!reports_)
        ci::console(processed ? "returning" : "here");
    return processed ? processedImage_ : inputImage_;
}

void FacialFeatureFilter::handleDetectedFaces(const std::vector<FacialFeatures>& faces) {
    const ci::Image image = inputImage_;
    processedImage_ = image;
    const ci::Image treated = image ? adjusted(image) : ci::Image();
    if (!treated) {
        if (reports_)
            ci::console("NIL adjustedImg");
        return;
    }
    if (faces.empty()) {
        if (reports_)
            ci::console("No faces detected");
        return;
    }
    std::vector<Points> regions;
    for (const FacialFeatures& face : faces)
        for (Points& outline : outlines(face))
            regions.push_back(std::move(outline));
    const BezierPath path = smoothPath(regions);

    const ci::Rect extent = image.extent();
    if (extent.isEmpty() || extent.isInfinite())
        return;
    const ci::IRect pixels = extent.roundedOutPixels();
    const ci::Image mask = maskImage(path, double(pixels.width()), double(pixels.height()));
    if (!mask) {
        if (reports_)
            ci::console("NIL Mask");
        return;
    }
    // The outlines are relative to the extent's corner.
    const ci::Image placedMask =
        extent.x0 == 0 && extent.y0 == 0 ? mask : mask.translated(extent.x0, extent.y0);
    const ci::Image blended = treated.applyingFilter(
        "CIBlendWithMask", {{"inputMaskImage", placedMask}, {"inputBackgroundImage", image}});
    if (!reports_)
        ci::console("finished processing image");
    if (blended)
        processedImage_ = blended.cropped(extent);
}

EnhanceLipsFilter::EnhanceLipsFilter() : FacialFeatureFilter("Enhance Lips", true) {
    addNumber({"inputVibrance", &inputVibrance, 0.6, 0.6, 0.5, "Color Saturation", 2});
    addNumber({"inputClarity", &inputClarity, 0.5, 0.5, 0.6, "Clarity", 1});
    addNumber({"inputRadius", &inputRadius, 1.6, 1.6, 1.6, "Radius", 10});
    addNumber({"inputSharpness", &inputSharpness, 0.4, 0.4, 0.6, "Sharpness", 2});
}

ci::Image EnhanceLipsFilter::adjusted(const ci::Image& image) const {
    std::vector<ChainStep> steps = {
        {"MultiBandHSV", {{"inputYellowShift", kBandLift}, {"inputOrangeShift", kBandLift}}},
        {"CIVibrance", {{"inputAmount", inputVibrance}}},
    };
    for (ChainStep& s : clarityAndSharpness(inputClarity, inputRadius, inputSharpness))
        steps.push_back(std::move(s));
    return applyChain(image, steps);
}

std::vector<Points> EnhanceLipsFilter::outlines(const FacialFeatures& face) const {
    return {face.outerLips, face.innerLips};
}

EnhanceEyebrowsFilter::EnhanceEyebrowsFilter() : FacialFeatureFilter("Enhance Eyebrows", false) {
    addNumber({"inputClarity", &inputClarity, 1.0, 1.0, 1.0, "Clarity", 1});
}

ci::Image EnhanceEyebrowsFilter::adjusted(const ci::Image& image) const {
    return applyChain(image, clarityAndSharpness(inputClarity, 1.6, 0.9));
}

std::vector<Points> EnhanceEyebrowsFilter::outlines(const FacialFeatures& face) const {
    return {face.leftEye, face.rightEye};
}

EnhanceEyesFilter::EnhanceEyesFilter() : FacialFeatureFilter("Enhance Eyes", true) {
    addNumber({"inputBrightness", &inputBrightness, 0.01, 0.02, 0.01, "Brightness", 0.05});
    addNumber({"inputVibrance", &inputVibrance, 0.6, 0.8, 0.5, "Color Saturation", 2});
    addNumber({"inputClarity", &inputClarity, 0.5, 1.0, 0.6, "Clarity", 1});
    addNumber({"inputRadius", &inputRadius, 1.6, 1.6, 1.6, "Radius", 10});
    addNumber({"inputSharpness", &inputSharpness, 0.4, 0.6, 0.6, "Sharpness", 2});
}

ci::Image EnhanceEyesFilter::adjusted(const ci::Image& image) const {
    std::vector<ChainStep> steps = {
        {"MultiBandHSV", {{"inputRedShift", kBandLift}}},
        // No filter of the system is named for brightness alone; the colour controls' brightness
        // (saturation and contrast left at 1) is that step.
        {"CIColorControls", {{"inputBrightness", inputBrightness}}},
        {"CIVibrance", {{"inputAmount", inputVibrance}}},
    };
    for (ChainStep& s : clarityAndSharpness(inputClarity, inputRadius, inputSharpness))
        steps.push_back(std::move(s));
    return applyChain(image, steps);
}

std::vector<Points> EnhanceEyesFilter::outlines(const FacialFeatures& face) const {
    return {face.leftEye, face.rightEye};
}

} // namespace filters::faces
