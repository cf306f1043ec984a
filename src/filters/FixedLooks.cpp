#include "FixedLooks.h"

namespace filters {

ci::Image FixedLook::outputImage() {
    if (inputImage.isNull())
        return {};
    return applyChain(inputImage, steps());
}

const std::vector<ChainStep>& IMFX1::steps() const {
    static const std::vector<ChainStep> chain = {
        {"CIExposureAdjust", {{"inputEV", 0.6}}},
        {"CIVibrance", {{"inputAmount", 1.0}}},
    };
    return chain;
}

const std::vector<ChainStep>& CZAirFilter::steps() const {
    static const std::vector<ChainStep> chain = {
        {"CIExposureAdjust", {{"inputEV", 0.25}}},
        {"CITemperatureAndTint", {{"inputNeutral", ci::Vector{6000, 0}}}},
        {"CIHighlightShadowAdjust", {{"inputHighlightAmount", 1.05}}},
        {"CIColorControls", {{"inputContrast", 1.05}, {"inputSaturation", 1.05}, {"inputBrightness", 0.01}}},
        {"CISharpenLuminance", {{"inputSharpness", 0.1}}},
    };
    return chain;
}

const std::vector<ChainStep>& CZCrystalFilter::steps() const {
    static const std::vector<ChainStep> chain = {
        {"CIExposureAdjust", {{"inputEV", 0.15}}},
        {"CIHighlightShadowAdjust", {{"inputHighlightAmount", 1.1}, {"inputShadowAmount", -0.05}}},
        {"CIColorControls", {{"inputContrast", 1.05}, {"inputBrightness", 0.01}}},
        {"CISharpenLuminance", {{"inputSharpness", 0.6}}},
    };
    return chain;
}

const std::vector<ChainStep>& CZVividFilter::steps() const {
    static const std::vector<ChainStep> chain = {
        {"CIExposureAdjust", {{"inputEV", 0.1}}},
        {"CIColorControls", {{"inputContrast", 1.05}, {"inputSaturation", 1.5}, {"inputBrightness", 0.01}}},
        {"CITemperatureAndTint", {{"inputNeutral", ci::Vector{6800, 0}}}},
        {"CIGaussianBlur", {{"inputRadius", 0.4}}},
    };
    return chain;
}

const std::vector<ChainStep>& TestAction::steps() const {
    static const ci::Vector x{0, 0.25, 0.5, 0.75, 1};
    static const std::vector<ChainStep> chain = {
        {"UnsharpMaskFilter", {{"inputAmount", 0.25}, {"inputRadius", 1.0}, {"inputThreshold", 0.4}}},
        {"CINoiseReduction", {{"inputNoiseLevel", 0.025}, {"inputSharpness", 0.1}}},
        {"FilmGrainFilter", {{"inputAmount", 0.25}, {"inputSize", 0.0}}},
        {"CIHighlightShadowAdjust", {{"inputShadowAmount", -0.22}, {"inputHighlightAmount", 1.0}}},
        {"MultiBandHSV",
         {{"inputRedShift", ci::Vector{0.0475, 0.7, 0.82}},
          {"inputOrangeShift", ci::Vector{0.0125, 0.96, 1.0}},
          {"inputYellowShift", ci::Vector{0.0125, 0.96, 1.0}},
          {"inputGreenShift", ci::Vector{0.08, 0.64, 1.0}},
          {"inputAquaShift", ci::Vector{0.0075, 0.88, 1.0}},
          {"inputBlueShift", ci::Vector{-0.0225, 0.75, 0.88}},
          {"inputPurpleShift", ci::Vector{0.01, 1.0, 1.0}},
          {"inputMagentaShift", ci::Vector{0.0275, 0.82, 1.0}}}},
        {"RGBChannelToneCurve",
         {{"inputRedXvalues", x},
          {"inputGreenXvalues", x},
          {"inputBlueXvalues", x},
          {"inputRedYvalues", ci::Vector{0, 0.086275, 0.482353, 0.780392, 1}},
          {"inputGreenYvalues", ci::Vector{0, 0.090196, 0.478431, 0.776471, 1}},
          {"inputBlueYvalues", ci::Vector{0, 0.137109, 0.546432, 0.821922, 1}}}},
        {"CIToneCurve",
         {{"inputPoint0", ci::Vector{0, 0.194616}},
          {"inputPoint1", ci::Vector{0.19, 0.294616}},
          {"inputPoint2", ci::Vector{0.5, 0.487149}},
          {"inputPoint3", ci::Vector{0.75, 0.744911}},
          {"inputPoint4", ci::Vector{1, 1}}}},
        {"SplitToningFilter",
         {{"inputHighlightHue", 0.0},
          {"inputHighlightSaturation", 0.0},
          {"inputShadowHue", 0.0},
          {"inputShadowSaturation", 0.0}}},
    };
    return chain;
}

} // namespace filters
