#include "MultiBandHSV.h"

#include "Kernels.h"

namespace filters {

namespace {

constexpr std::array<const char*, 8> bandInputKeys = {"inputRed",    "inputOrange", "inputYellow",
                                                      "inputGreen",  "inputAqua",   "inputBlue",
                                                      "inputPurple", "inputMagenta"};

constexpr std::array<const char*, 8> shiftDisplayNames = {
    "Red Shift (HSL)",  "Orange Shift (HSL)", "Yellow Shift (HSL)", "Green Shift (HSL)",
    "Aqua Shift (HSL)", "Blue Shift (HSL)",   "Purple Shift (HSL)", "Magenta Shift (HSL)"};

ci::Image applyBandShifts(const ci::Image& image, const std::array<double, 8>& bands, bool hue) {
    ci::Dictionary inputs;
    for (size_t i = 0; i < 8; ++i) {
        const double n = bands[i];
        inputs[MultiBandHSV::shiftKeys()[i]] = hue ? ci::Vector{n, 1.0, 1.0} : ci::Vector{0.0, n, 1.0};
    }
    return image.applyingFilter("MultiBandHSV", inputs);
}

} // namespace

const std::array<const char*, 8>& MultiBandHSV::shiftKeys() {
    static constexpr std::array<const char*, 8> keys = {
        "inputRedShift",  "inputOrangeShift", "inputYellowShift", "inputGreenShift",
        "inputAquaShift", "inputBlueShift",   "inputPurpleShift", "inputMagentaShift"};
    return keys;
}

MultiBandHSV::MultiBandHSV() {
    bindImage("inputImage", inputImage);
    for (size_t i = 0; i < 8; ++i)
        bindVector(shiftKeys()[i], shifts[i], ci::Vector{0, 1, 1});
}

ci::Attributes MultiBandHSV::attributes() const {
    ci::Attributes a = ci::Attributes::object();
    a[ci::attr::FilterDisplayName] = "MultiBandHSV";
    a["inputImage"] = imageAttribute();
    for (size_t i = 0; i < 8; ++i) {
        ci::Attributes in = ci::Attributes::object();
        in[ci::attr::Identity] = 0;
        in[ci::attr::Class] = "CIVector";
        in[ci::attr::Description] = "Set the hue, saturation and lightness for this color band.";
        in[ci::attr::Default] = {0, 1, 1};
        in[ci::attr::DisplayName] = shiftDisplayNames[i];
        in[ci::attr::Type] = "CIAttributeTypePosition3";
        a[shiftKeys()[i]] = in;
    }
    return a;
}

ci::Value MultiBandHSV::value(const std::string& key) const {
    if (key == "inputImage")
        return inputImage.isNull() ? ci::Value() : ci::Value(inputImage);
    if (key == "outputImage") {
        ci::Image out = const_cast<MultiBandHSV*>(this)->outputImage();
        return out.isNull() ? ci::Value() : ci::Value(out);
    }
    for (size_t i = 0; i < 8; ++i)
        if (key == shiftKeys()[i])
            return shifts[i];
    reportInvalidKey(key);
    return {};
}

ci::Image MultiBandHSV::outputImage() {
    if (inputImage.isNull())
        return {};
    kernels::BandShifts s{};
    for (size_t i = 0; i < 8; ++i)
        for (size_t k = 0; k < 3; ++k)
            s[i][k] = float(shifts[i].at(k));
    return kernels::multiBandHSV(inputImage, s);
}

ShiftHues::ShiftHues() {
    bindImage("inputImage", inputImage);
    for (size_t i = 0; i < 8; ++i)
        bindNumber(bandInputKeys[i], bands[i], 0.0);
}

ci::Image ShiftHues::outputImage() {
    if (inputImage.isNull())
        return {};
    return applyBandShifts(inputImage, bands, true);
}

ShiftSaturations::ShiftSaturations() {
    bindImage("inputImage", inputImage);
    for (size_t i = 0; i < 8; ++i)
        bindNumber(bandInputKeys[i], bands[i], 0.0);
}

ci::Image ShiftSaturations::outputImage() {
    if (inputImage.isNull())
        return {};
    return applyBandShifts(inputImage, bands, false);
}

} // namespace filters
