#include "ChannelFilters.h"

#include "Kernels.h"

#include <cmath>

namespace filters {

namespace {

ci::Attributes vectorAttribute(const std::string& displayName, const std::string& description) {
    ci::Attributes a = ci::Attributes::object();
    a[ci::attr::Identity] = 0;
    a[ci::attr::Class] = "CIVector";
    a[ci::attr::Default] = {0, 0.25, 0.5, 0.75, 1};
    a[ci::attr::DisplayName] = displayName;
    a[ci::attr::Description] = description;
    a[ci::attr::Type] = ci::attr::TypeOffset;
    return a;
}

const ci::Vector identityCurve{0, 0.25, 0.5, 0.75, 1};

ci::Image recombine(RGBChannelCompositing& compositing, const ci::Image& red, const ci::Image& green,
                    const ci::Image& blue) {
    compositing.setValue("inputRedImage", red);
    compositing.setValue("inputGreenImage", green);
    compositing.setValue("inputBlueImage", blue);
    return compositing.outputImage();
}

} // namespace

// ---- Compositing ------------------------------------------------------------------------------

RGBChannelCompositing::RGBChannelCompositing() {
    bindImage("inputRedImage", inputRedImage);
    bindImage("inputGreenImage", inputGreenImage);
    bindImage("inputBlueImage", inputBlueImage);
    // Chains hand every filter the running image; this one has no use for it.
    bindIgnored("inputImage");
}

ci::Attributes RGBChannelCompositing::attributes() const {
    ci::Attributes a = ci::Attributes::object();
    a[ci::attr::FilterDisplayName] = "RGB Compositing";
    a["inputRedImage"] = imageAttribute("Red Image");
    a["inputGreenImage"] = imageAttribute("Green Image");
    a["inputBlueImage"] = imageAttribute("Blue Image");
    return a;
}

ci::Image RGBChannelCompositing::outputImage() {
    if (inputRedImage.isNull() || inputGreenImage.isNull() || inputBlueImage.isNull())
        return {};
    return kernels::compositeChannels(inputRedImage, inputGreenImage, inputBlueImage);
}

// ---- Tone curve -------------------------------------------------------------------------------

RGBChannelToneCurve::RGBChannelToneCurve()
    : rgbChannelCompositing(std::make_unique<RGBChannelCompositing>()) {
    bindImage("inputImage", inputImage);
    bindVector("inputRedXvalues", inputRedXvalues, identityCurve);
    bindVector("inputGreenXvalues", inputGreenXvalues, identityCurve);
    bindVector("inputBlueXvalues", inputBlueXvalues, identityCurve);
    bindVector("inputRedYvalues", inputRedYvalues, identityCurve);
    bindVector("inputGreenYvalues", inputGreenYvalues, identityCurve);
    bindVector("inputBlueYvalues", inputBlueYvalues, identityCurve);
}

void RGBChannelToneCurve::setDefaults() {
    resetToStart(false);
}

ci::Attributes RGBChannelToneCurve::attributes() const {
    ci::Attributes a = ci::Attributes::object();
    a[ci::attr::FilterDisplayName] = "RGB Tone Curve";
    a["inputImage"] = imageAttribute();
    a["inputRedXvalues"] = vectorAttribute("Red 'x' values", "Red tone curve 'x' values");
    a["inputRedYvalues"] = vectorAttribute("Red 'y' values", "Red tone curve 'y' values");
    a["inputGreenXvalues"] = vectorAttribute("Green 'x' values", "Green tone curve 'x' values");
    a["inputGreenYvalues"] = vectorAttribute("Green 'y' values", "Green tone curve 'y' values");
    a["inputBlueXvalues"] = vectorAttribute("Blue 'x' values", "Blue tone curve 'x' values");
    a["inputBlueYvalues"] = vectorAttribute("Blue 'y' values", "Blue tone curve 'y' values");
    return a;
}

ci::Image RGBChannelToneCurve::outputImage() {
    if (inputImage.isNull())
        return {};
    auto channel = [this](const ci::Vector& xs, const ci::Vector& ys) {
        ci::Dictionary points;
        for (size_t i = 0; i < 5; ++i)
            points["inputPoint" + std::to_string(i)] = ci::Vector{xs.at(i), ys.at(i)};
        return inputImage.applyingFilter("CIToneCurve", points);
    };
    const ci::Image red = channel(inputRedXvalues, inputRedYvalues);
    const ci::Image green = channel(inputGreenXvalues, inputGreenYvalues);
    const ci::Image blue = channel(inputBlueXvalues, inputBlueYvalues);
    return recombine(*rgbChannelCompositing, red, green, blue);
}

// ---- Brightness and contrast ------------------------------------------------------------------

RGBChannelBrightnessAndContrast::RGBChannelBrightnessAndContrast()
    : rgbChannelCompositing(std::make_unique<RGBChannelCompositing>()) {
    bindImage("inputImage", inputImage);
    bindNumber("inputRedBrightness", inputRedBrightness, 0.0);
    bindNumber("inputRedContrast", inputRedContrast, 1.0);
    bindNumber("inputGreenBrightness", inputGreenBrightness, 0.0);
    bindNumber("inputGreenContrast", inputGreenContrast, 1.0);
    bindNumber("inputBlueBrightness", inputBlueBrightness, 0.0);
    bindNumber("inputBlueContrast", inputBlueContrast, 1.0);
}

void RGBChannelBrightnessAndContrast::setDefaults() {
    resetToStart(false);
}

ci::Attributes RGBChannelBrightnessAndContrast::attributes() const {
    ci::Attributes a = ci::Attributes::object();
    a[ci::attr::FilterDisplayName] = "RGB Brightness And Contrast";
    a["inputImage"] = imageAttribute();
    for (const char* c : {"Red", "Green", "Blue"}) {
        const std::string colour = c;
        a["input" + colour + "Brightness"] = numberAttribute(0, colour + " Brightness", -1, -1, 1);
        a["input" + colour + "Contrast"] = numberAttribute(1, colour + " Contrast", 0.25, 0.25, 4);
    }
    return a;
}

ci::Image RGBChannelBrightnessAndContrast::outputImage() {
    if (inputImage.isNull())
        return {};
    auto channel = [this](double brightness, double contrast) {
        return inputImage.applyingFilter("CIColorControls",
                                         {{"inputBrightness", brightness}, {"inputContrast", contrast}});
    };
    const ci::Image red = channel(inputRedBrightness, inputRedContrast);
    const ci::Image green = channel(inputGreenBrightness, inputGreenContrast);
    const ci::Image blue = channel(inputBlueBrightness, inputBlueContrast);
    return recombine(*rgbChannelCompositing, red, green, blue);
}

// ---- Chromatic aberration ---------------------------------------------------------------------

ChromaticAberration::ChromaticAberration()
    : rgbChannelCompositing(std::make_unique<RGBChannelCompositing>()) {
    bindImage("inputImage", inputImage);
    bindNumber("inputAngle", inputAngle, 0.0);
    bindNumber("inputRadius", inputRadius, 2.0);
}

void ChromaticAberration::setDefaults() {
    resetToStart(false);
}

ci::Attributes ChromaticAberration::attributes() const {
    ci::Attributes a = ci::Attributes::object();
    a[ci::attr::FilterDisplayName] = "Chromatic Abberation";
    a["inputImage"] = imageAttribute();
    a["inputAngle"] = numberAttribute(0, "Angle", 0, 0, 6.283185307179586);
    a["inputRadius"] = numberAttribute(2, "Radius", 0, 0, 25);
    return a;
}

ci::Affine ChromaticAberration::channelOffset(int channel, double angle, double radius) {
    // Green and blue sit at 0.333 and 0.666 of a turn from red, not at exact thirds.
    static constexpr double turns[3] = {6.283185307179586, 2.092300707290802, 4.184601414581604};
    const double theta = angle + turns[channel];
    return ci::Affine::translation(radius * std::sin(theta), radius * std::cos(theta));
}

ci::Image ChromaticAberration::outputImage() {
    if (inputImage.isNull())
        return {};
    const ci::Rect extent = inputImage.extent();
    auto channel = [&](int c) -> ci::Image {
        const ci::Image moved = inputImage.applyingFilter(
            "CIAffineTransform", {{"inputTransform", channelOffset(c, inputAngle, inputRadius)}});
        return moved.isNull() ? moved : moved.cropped(extent);
    };
    const ci::Image red = channel(0);
    const ci::Image green = channel(1);
    const ci::Image blue = channel(2);
    return recombine(*rgbChannelCompositing, red, green, blue);
}

// ---- Gaussian blur ----------------------------------------------------------------------------

RGBChannelGaussianBlur::RGBChannelGaussianBlur()
    : rgbChannelCompositing(std::make_unique<RGBChannelCompositing>()) {
    bindImage("inputImage", inputImage);
    bindNumber("inputRedRadius", inputRedRadius, 2.0);
    bindNumber("inputGreenRadius", inputGreenRadius, 4.0);
    bindNumber("inputBlueRadius", inputBlueRadius, 8.0);
}

void RGBChannelGaussianBlur::setDefaults() {
    resetToStart(false);
}

ci::Attributes RGBChannelGaussianBlur::attributes() const {
    ci::Attributes a = ci::Attributes::object();
    a[ci::attr::FilterDisplayName] = "RGB Channel Gaussian Blur";
    a["inputImage"] = imageAttribute();
    a["inputRedRadius"] = numberAttribute(2, "Red Radius", 0, 0, 100);
    a["inputGreenRadius"] = numberAttribute(4, "Green Radius", 0, 0, 100);
    a["inputBlueRadius"] = numberAttribute(8, "Blue Radius", 0, 0, 100);
    return a;
}

ci::Image RGBChannelGaussianBlur::outputImage() {
    if (inputImage.isNull())
        return {};
    const ci::Rect extent = inputImage.extent();
    auto channel = [&](double radius) -> ci::Image {
        const ci::Image blurred = inputImage.applyingFilter("CIGaussianBlur", {{"inputRadius", radius}});
        return blurred.isNull() ? blurred : blurred.clampedToExtent().cropped(extent);
    };
    const ci::Image red = channel(inputRedRadius);
    const ci::Image green = channel(inputGreenRadius);
    const ci::Image blue = channel(inputBlueRadius);
    return recombine(*rgbChannelCompositing, red, green, blue);
}

} // namespace filters
