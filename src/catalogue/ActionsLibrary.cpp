#include "ActionsLibrary.h"

#include "model/ParameterValues.h"
#include "platform/Dispatch.h"

#include <QString>

namespace catalogue {

using namespace model;

namespace {

using Value = std::shared_ptr<FilterParamValue>;

Value num(double v, double min, double max) {
    return FilterParamValue::numeric(v, min, max);
}
Value single(double v) {
    return FilterParamValue::number(v);
}
Value rel(const std::shared_ptr<NumericValue>& n) {
    return FilterParamValue::relativeNumeric(n);
}
Value relNew(double n, int64_t measure) {
    return rel(NumericValue::make(n, measure));
}
Value centre(bool dontCalculatePoints) {
    return FilterParamValue::point(centrePoint(), dontCalculatePoints);
}
Value image(const std::shared_ptr<ImageValue>& v) {
    return FilterParamValue::image(v);
}
Value colour(int64_t r, int64_t g, int64_t b, int64_t a) {
    return FilterParamValue::color(ColorValue::make(r, g, b, a));
}
Value boolean(bool b, const char* title) {
    return FilterParamValue::boolean(BooleanValue::make(b, title));
}
Value ownPoint(double x, int64_t mx, double y, int64_t my, int64_t gravity) {
    auto p = std::make_shared<PointValue>(NumericValue::make(x, mx), NumericValue::make(y, my),
                                          GravityValue::make(gravity));
    return FilterParamValue::point(p, false);
}

/// One parameter; without a sample of its own the parameter's sample is its value itself.
std::shared_ptr<FilterParam> param(const char* literal, const char* key, Value value, Value sample,
                                   const char* tooltip) {
    auto p = std::make_shared<FilterParam>();
    p->setName(capitalized(literal));
    p->setSys(key);
    p->setTooltip(tooltip);
    p->setValue(value);
    p->setSampleV(sample ? sample : value);
    return p;
}

std::shared_ptr<Filter> entry(const char* name, const char* sys, const char* tooltip, FilterParams params) {
    return Filter::make(name, sys, tooltip, std::move(params));
}

} // namespace

std::string capitalized(const std::string& literal) {
    QString s = QString::fromStdString(literal).toLower();
    bool wordStart = true;
    for (QChar& c : s) {
        if (c.isSpace()) {
            wordStart = true;
            continue;
        }
        if (wordStart)
            c = c.toUpper();
        wordStart = false;
    }
    return s.toStdString();
}

void showLoadingActionsMessage(const std::shared_ptr<LoadingProgressTarget>& delegate) {
    setLoadingProgressTarget(delegate);
    if (delegate)
        delegate->setProgressOverlayMessage("Loading actions...");
}

std::shared_ptr<Filter> makeBlendModeFilter(const std::string& name, const std::string& key,
                                            const std::string& tooltip) {
    FilterParams ps;
    ps.push_back(param("background", "inputBackgroundImage", image(metalRoofImage()), nullptr,
                       "The image to use as a background image."));
    return Filter::make(name, "CI" + key + "BlendMode", tooltip, std::move(ps));
}

Library buildActionsLibrary(std::shared_ptr<LoadingProgressTarget> delegate) {
    platform::MainQueue::async([delegate] { showLoadingActionsMessage(delegate); });

    // Values shared by several parameters: an edit through one is seen by all.
    const auto blurRadius = NumericValue::make(1.5, 1);
    const auto distortionRadius = NumericValue::make(10, 1);
    const auto sharpenRadius = NumericValue::make(5, 1);
    const auto halftoneWidth = NumericValue::make(1.2, 1);

    Library library;
    {
        Filters entries;
        entries.push_back(
            makeBlendModeFilter("Color Burn", "ColorBurn",
                                "Darkens the background image samples to reflect the source image samples."));
        entries.push_back(makeBlendModeFilter(
            "Color Dodge", "ColorDodge",
            "Brightens the background image samples to reflect the source image samples."));
        entries.push_back(makeBlendModeFilter("Darken", "Darken",
                                              "Creates composite image samples by choosing the darker "
                                              "samples (from either the source image or the background)."));
        entries.push_back(makeBlendModeFilter(
            "Difference", "Difference",
            "Subtracts either the source image sample color from the background image sample color, or the "
            "reverse, depending on which sample has the greater brightness value."));
        entries.push_back(makeBlendModeFilter(
            "Divide", "Divide",
            "Divides the background image sample color from the source image sample color."));
        entries.push_back(makeBlendModeFilter(
            "Exclude", "Exclusion",
            "Produces an effect similar to that produced Blend/Difference but with lower contrast."));
        entries.push_back(makeBlendModeFilter(
            "Hard Light", "HardLight",
            "Either multiplies or screens colors, depending on the source image sample color."));
        entries.push_back(makeBlendModeFilter("Hue", "Hue",
                                              "Uses the luminance and saturation values of the background "
                                              "image with the hue of the input image."));
        entries.push_back(makeBlendModeFilter("Lighten", "Lighten",
                                              "Creates composite image samples by choosing the lighter "
                                              "samples (either from the source image or the background)."));
        entries.push_back(makeBlendModeFilter("Linear Burn", "LinearBurn",
                                              "Darkens the background image samples to reflect the source "
                                              "image samples while also increasing contrast."));
        entries.push_back(makeBlendModeFilter("Linear Dodge", "LinearDodge",
                                              "Brightens the background image samples to reflect the source "
                                              "image samples while also increasing contrast."));
        entries.push_back(makeBlendModeFilter(
            "Luminosity", "Luminosity",
            "Uses the hue and saturation of the background image with the luminance of the input image."));
        entries.push_back(makeBlendModeFilter(
            "Multiply", "Multiply", "Multiplies the input image samples with the background image samples."));
        entries.push_back(
            makeBlendModeFilter("Overlay", "Overlay",
                                "Either multiplies or screens the input image samples with the background "
                                "image samples, depending on the background color."));
        entries.push_back(
            makeBlendModeFilter("Pin Light", "PinLight",
                                "Conditionally replaces background image samples with source image samples "
                                "depending on the brightness of the source image samples."));
        entries.push_back(makeBlendModeFilter("Saturation", "Saturation",
                                              "Uses the luminance and hue values of the background image "
                                              "with the saturation of the input image."));
        entries.push_back(makeBlendModeFilter("Screen", "Screen",
                                              "Multiplies the inverse of the input image samples with the "
                                              "inverse of the background image samples."));
        entries.push_back(makeBlendModeFilter(
            "Soft Light", "SoftLight",
            "Either darkens or lightens colors, depending on the input image sample color."));
        entries.push_back(makeBlendModeFilter(
            "Subtract", "Subtract",
            "Subtracts the background image sample color from the source image sample color."));
        library.push_back(FilterCategory::make("Blend", std::move(entries)));
    }
    {
        Filters entries;
        {
            FilterParams ps;
            ps.push_back(param("radius", "inputRadius", rel(blurRadius), nullptr,
                               "The radius determines how many pixels are used to create the blur. The "
                               "larger the radius, the blurrier the result."));
            entries.push_back(entry("Box", "CIBoxBlur",
                                    "Blurs an image using a box-shaped convolution kernel.", std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("radius", "inputRadius", rel(blurRadius), nullptr,
                               "The radius determines how many pixels are used to create the blur. The "
                               "larger the radius, the blurrier the result."));
            entries.push_back(entry("Disc", "CIDiscBlur",
                                    "Blurs an image using a disc-shaped convolution kernel.", std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("radius", "inputRadius", rel(blurRadius), nullptr,
                               "The radius determines how many pixels are used to create the blur. The "
                               "larger the radius, the blurrier the result."));
            entries.push_back(entry(
                "Gaussian", "CIGaussianBlur",
                "Spreads source pixels by an amount specified by a Gaussian distribution.", std::move(ps)));
        }
        entries.push_back(entry("Median", "CIMedianFilter",
                                "Computes the median value for a group of neighboring pixels and replaces "
                                "each pixel value with the median.",
                                {}));
        {
            FilterParams ps;
            ps.push_back(param("angle", "inputAngle", num(0, -180, 180), nullptr,
                               "The angle of the motion determines which direction the blur smears."));
            ps.push_back(param("radius", "inputRadius", rel(blurRadius), nullptr,
                               "The radius determines how many pixels are used to create the blur. The "
                               "larger the radius, the blurrier the result."));
            entries.push_back(entry("Motion", "CIMotionBlur",
                                    "Blurs an image to simulate the effect of using a camera that moves a "
                                    "specified angle and distance while capturing the image.",
                                    std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("center", "inputCenter", centre(false), centre(false),
                               "The center of the effect as x and y pixel coordinates."));
            ps.push_back(param("amount", "inputAmount", num(20, -200, 200), nullptr,
                               "The zoom-in amount. Larger values result in more zooming in."));
            entries.push_back(entry("Zoom", "CIZoomBlur",
                                    "Simulates the effect of zooming the camera while capturing the image.",
                                    std::move(ps)));
        }
        library.push_back(FilterCategory::make("Blur", std::move(entries)));
    }
    {
        Filters entries;
        {
            FilterParams ps;
            ps.push_back(
                param("value", "inputBrightness", num(0, -1, 1), single(0.3),
                      "The amount of brightness to apply. The larger the value, the brighter the result."));
            entries.push_back(
                entry("Brightness", "CIColorControls", "Adjusts color brightness.", std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("value", "inputClarity", num(0, -1, 1), num(0.3, -1, 1),
                               "The level of color clarity."));
            entries.push_back(entry("Clarity", "ClarityFilter", "Adjusts image clarity.", std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("value", "inputContrast", num(1, 0.25, 4), single(1.5),
                               "The amount of contrast to apply. The larger the value, the more contrast in "
                               "the resulting image."));
            entries.push_back(entry("Contrast", "CIColorControls", "Adjusts color contrast.", std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("variance", "inputEV", num(0, -10, 10), single(2),
                               "The amount to adjust the exposure of the image by. The larger the value, the "
                               "brighter the exposure."));
            entries.push_back(entry("Exposure", "CIExposureAdjust",
                                    "Adjusts the exposure setting for an image similar to the way you "
                                    "control exposure for a camera when you change the F-stop.",
                                    std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("power", "inputPower", num(1, 0.25, 4), single(2),
                               "A gamma value to use to correct image brightness. The larger the value, the "
                               "darker the result."));
            entries.push_back(entry("Gamma", "CIGammaAdjust", "Adjusts gamma.", std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("amount", "inputHighlightAmount", num(1, 0.3, 1), num(-0.6, 0.3, 1),
                               "The amount of adjustment to the highlights."));
            entries.push_back(entry("Highlights", "CIHighlightShadowAdjust",
                                    "Adjusts the highlights of the image, while preserving spatial details",
                                    std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("angle", "inputAngle", num(0, -180, 180), num(120, -180, 180),
                               "An angle in radians to use to correct the hue of an image."));
            entries.push_back(entry("Hue", "CIHueAdjust",
                                    "Changes the overall hue, or tint, of the source pixels.",
                                    std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param(
                "value", "inputSaturation", num(1, 0, 2), single(1.5),
                "The amount of saturation to apply. The larger the value, the more saturated the result."));
            entries.push_back(
                entry("Saturation", "CIColorControls", "Adjusts color saturation.", std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("red", "inputRed", num(0, -1, 1), num(0, -1, 1), "Red hue value adjustment."));
            ps.push_back(
                param("orange", "inputOrange", num(0, -1, 1), num(0, -1, 1), "Orange hue value adjustment."));
            ps.push_back(
                param("yellow", "inputYellow", num(0, -1, 1), num(0, -1, 1), "Yellow hue value adjustment."));
            ps.push_back(
                param("green", "inputGreen", num(0, -1, 1), num(0, -1, 1), "Green hue value adjustment."));
            ps.push_back(
                param("aqua", "inputAqua", num(0, -1, 1), num(0, -1, 1), "Aqua hue value adjustment."));
            ps.push_back(
                param("blue", "inputBlue", num(0, -1, 1), num(-0.5, -1, 1), "Blue hue value adjustment."));
            ps.push_back(
                param("purple", "inputPurple", num(0, -1, 1), num(0, -1, 1), "Purple hue value adjustment."));
            ps.push_back(param("magenta", "inputMagenta", num(0, -1, 1), num(0, -1, 1),
                               "Magenta hue value adjustment."));
            entries.push_back(entry("Selective Hue", "ShiftHues",
                                    "Selectively adjusts different hues simultaneously.", std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(
                param("red", "inputRed", num(1, 0, 2), num(0, 0, 2), "Red saturation value adjustment."));
            ps.push_back(param("orange", "inputOrange", num(1, 0, 2), num(0, 0, 2),
                               "Orange saturation value adjustment."));
            ps.push_back(param("yellow", "inputYellow", num(1, 0, 2), num(0, 0, 2),
                               "Yellow saturation value adjustment."));
            ps.push_back(param("green", "inputGreen", num(1, 0, 2), num(0, 0, 2),
                               "Green saturation value adjustment."));
            ps.push_back(
                param("aqua", "inputAqua", num(1, 0, 2), num(1, 0, 2), "Aqua saturation value adjustment."));
            ps.push_back(param("blue", "inputBlue", num(1, 0, 2), num(1.2, 0, 2),
                               "Blue saturation value adjustment."));
            ps.push_back(param("purple", "inputPurple", num(1, 0, 2), num(0, 0, 2),
                               "Purple saturation value adjustment."));
            ps.push_back(param("magenta", "inputMagenta", num(1, 0, 2), num(0, 0, 2),
                               "Magenta saturation value adjustment."));
            entries.push_back(entry("Selective Saturation", "ShiftSaturations",
                                    "Selectively adjusts different saturation values simultaneously.",
                                    std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("amount", "inputShadowAmount", num(0, -1, 1), num(0.2, -1, 1),
                               "The amount of adjustment to the shadows."));
            entries.push_back(entry("Shadows", "CIHighlightShadowAdjust",
                                    "Adjusts the shadows of the image, while preserving spatial details",
                                    std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("amount", "inputAmount", num(6500, 0, 10000), num(3000, 0, 10000),
                               "The desired white point defined by temperature."));
            entries.push_back(entry("Temperature", "IMAdjustTemperature",
                                    "Adjusts the color temperature of the image.", std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("amount", "inputAmount", num(0, -1000, 1000), num(150, -1000, 1000),
                               "The desired white point defined by tint."));
            entries.push_back(
                entry("Tint", "IMAdjustTint", "Adjust the color tint of the image.", std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("amount", "inputAmount", num(0, -1, 1), single(0.5),
                               "The amount to adjust the saturation."));
            entries.push_back(entry("Vibrance", "CIVibrance",
                                    "Adjusts the saturation of an image while keeping pleasing skin tones.",
                                    std::move(ps)));
        }
        library.push_back(FilterCategory::make("Color Adjustment", std::move(entries)));
    }
    {
        Filters entries;
        entries.push_back(entry("Invert", "CIColorInvert", "Inverts the colors in an image.", {}));
        entries.push_back(entry("Mask to Alpha", "CIMaskToAlpha",
                                "Converts a grayscale image to a white image that is masked by alpha.", {}));
        entries.push_back(entry("Minimum Component", "CIMinimumComponent",
                                "Returns a grayscale image from min(r,g,b).", {}));
        entries.push_back(entry("Maximum Component", "CIMaximumComponent",
                                "Returns a grayscale image from max(r,g,b).", {}));
        {
            FilterParams ps;
            ps.push_back(param("color", "inputColor", colour(70, 170, 50, 255), nullptr,
                               "The monochrome color to apply to the image."));
            ps.push_back(
                param("intensity", "inputIntensity", num(1, 0, 1), nullptr, "The intensity of the effect."));
            entries.push_back(entry("Monochrome", "CIColorMonochrome",
                                    "Remaps colors so they fall within shades of a single color.",
                                    std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(
                param("intensity", "inputIntensity", num(1, 0, 1), nullptr, "The intensity of the effect."));
            entries.push_back(entry("Sepia", "CISepiaTone",
                                    "Maps the colors of an image to various shades of brown.",
                                    std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("radius", "inputRadius", relNew(50, 1), nullptr,
                               "The distance from the center of the effect."));
            ps.push_back(param("intensity", "inputIntensity", num(0.5, -1, 1), nullptr,
                               "The intensity of the effect."));
            entries.push_back(entry("Vignette", "CIVignette",
                                    "Reduces the brightness of an image at the periphery.", std::move(ps)));
        }
        library.push_back(FilterCategory::make("Color Effects", std::move(entries)));
    }
    {
        Filters entries;
        {
            FilterParams ps;
            ps.push_back(param("center", "inputCenter", centre(false), centre(false),
                               "The center of the effect as x and y pixel coordinates."));
            ps.push_back(param("radius", "inputRadius", relNew(20, 1), nullptr,
                               "The radius determines how many pixels are used to create the distortion. The "
                               "larger the radius, the wider the extent of the distortion."));
            ps.push_back(param(
                "scale", "inputScale", num(0.5, -1, 1), nullptr,
                "The scale of the effect determines the curvature of the bump. A value of 0.0 has no effect. "
                "Positive values create an outward bump; negative values create an inward bump."));
            entries.push_back(entry("Bump", "CIBumpDistortion",
                                    "Creates a bump that originates at a specified point in the image.",
                                    std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("angle", "inputAngle", num(0, 0, 360), single(100),
                               "The angle of the line around which the distortion occurs."));
            ps.push_back(param("center", "inputCenter", centre(false), centre(false),
                               "The center of the effect as x and y pixel coordinates."));
            ps.push_back(param("radius", "inputRadius", relNew(50, 1), nullptr,
                               "The radius determines how many pixels are used to create the distortion. The "
                               "larger the radius, the wider the extent of the distortion."));
            ps.push_back(param(
                "scale", "inputScale", num(0.5, -1, 1), nullptr,
                "The scale of the effect determines the curvature of the bump. A value of 0.0 has no effect. "
                "Positive values create an outward bump; negative values create an inward bump."));
            entries.push_back(
                entry("Bump Linear", "CIBumpDistortionLinear",
                      "Creates a concave or convex distortion that originates from a line in the image.",
                      std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(
                param("angle", "inputAngle", num(0, -180, 180), single(100), "The angle of the distortion."));
            ps.push_back(param("center", "inputCenter", centre(false), centre(false),
                               "The center of the effect as x and y pixel coordinates."));
            ps.push_back(param("radius", "inputRadius", rel(distortionRadius), nullptr,
                               "The radius determines how many pixels are used to create the distortion. The "
                               "larger the radius, the wider the extent of the distortion."));
            entries.push_back(entry("Circular Wrap", "CICircularWrap",
                                    "Wraps an image around a transparent circle.", std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("displacement image", "inputDisplacementImage", image(metalRoofImage()),
                               nullptr,
                               "An image whose grayscale values will be applied to the source image."));
            ps.push_back(param("scale", "inputScale", num(100, 0, 200), nullptr,
                               "The amount of texturing of the resulting image. The larger the value, the "
                               "greater the texturing."));
            entries.push_back(entry("Displacement", "CIDisplacementDistortion",
                                    "Applies the grayscale values of the second image to the first image.",
                                    std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("center", "inputCenter", centre(false), centre(false),
                               "The center of the effect as x and y pixel coordinates."));
            ps.push_back(param("texture", "inputTexture", image(metalRoofImage()), nullptr,
                               "A texture to apply to the source image."));
            ps.push_back(param("scale", "inputScale", num(200, 0.01, 500), nullptr,
                               "The amount of texturing of the resulting image. The larger the value, the "
                               "greater the texturing."));
            entries.push_back(entry("Glass", "CIGlassDistortion",
                                    "Distorts an image by applying a glass-like texture.", std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("center", "inputCenter", centre(false), centre(false),
                               "The center of the effect as x and y pixel coordinates."));
            ps.push_back(param("radius", "inputRadius", rel(distortionRadius), nullptr,
                               "The radius determines how many pixels are used to create the distortion. The "
                               "larger the radius, the wider the extent of the distortion."));
            entries.push_back(entry("Hole", "CIHoleDistortion",
                                    "Creates a circular area that pushes the image pixels outward, "
                                    "distorting those pixels closest to the circle the most.",
                                    std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("center", "inputCenter", centre(false), centre(false),
                               "The center of the effect as x and y pixel coordinates."));
            ps.push_back(param("radius", "inputRadius", rel(distortionRadius), nullptr,
                               "The radius determines how many pixels are used to create the distortion. The "
                               "larger the radius, the wider the extent of the distortion."));
            ps.push_back(param("scale", "inputScale", num(0.5, 0, 2), nullptr, "The amount of pinching."));
            entries.push_back(entry("Pinch", "CIPinchDistortion",
                                    "Creates a rectangular area that pinches source pixels inward, "
                                    "distorting those pixels closest to the rectangle the most.",
                                    std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(
                param("angle", "inputAngle", num(180, -720, 720), nullptr, "The angle of the distortion."));
            ps.push_back(param("center", "inputCenter", centre(false), centre(false),
                               "The center of the effect as x and y pixel coordinates."));
            ps.push_back(param("radius", "inputRadius", rel(distortionRadius), nullptr,
                               "The radius determines how many pixels are used to create the distortion. The "
                               "larger the radius, the wider the extent of the distortion."));
            entries.push_back(entry("Twirl", "CITwirlDistortion",
                                    "Rotates pixels around a point to give a twirling effect.",
                                    std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("angle", "inputAngle", num(3240, -5400, 5400), nullptr,
                               "The angle of the distortion."));
            ps.push_back(param("center", "inputCenter", centre(false), centre(false),
                               "The center of the effect as x and y pixel coordinates."));
            ps.push_back(param("radius", "inputRadius", rel(distortionRadius), nullptr,
                               "The radius determines how many pixels are used to create the distortion. The "
                               "larger the radius, the wider the extent of the distortion."));
            entries.push_back(entry("Vortex", "CIVortexDistortion",
                                    "Rotates pixels around a point to simulate a vortex.", std::move(ps)));
        }
        library.push_back(FilterCategory::make("Distortion", std::move(entries)));
    }
    {
        Filters entries;
        entries.push_back(
            entry("Auto Adjustment", "AutoAdjustFilter", "Automatically enhances basic photo details.", {}));
        {
            FilterParams ps;
            ps.push_back(
                param("noise level", "inputNoiseLevel", num(0.02, 0, 0.1), nullptr,
                      "The amount of noise reduction. The larger the value, the more noise reduction."));
            ps.push_back(
                param("sharpness", "inputSharpness", rel(blurRadius), nullptr,
                      "The sharpness of the final image. The larger the value, the sharper the result."));
            entries.push_back(entry(
                "Noise Reduction", "CINoiseReduction",
                "Reduces noise using a threshold value to define what is considered noise.", std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("intensity", "inputSharpness", num(0.4, 0, 2), nullptr,
                               "The amount of sharpening to apply. Larger values are sharper."));
            ps.push_back(param("radius", "inputRadius", rel(sharpenRadius), nullptr,
                               "The distance from the center of the effect."));
            entries.push_back(entry("Sharpen", "CISharpenLuminance", "Increases image detail by sharpening.",
                                    std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("radius", "inputRadius", relNew(15, 0), nullptr, "The radius of the effect"));
            entries.push_back(entry("Smoothing", "FPKuwaharaFilter",
                                    "Edge-preserving Non-linear smoothing using the Kuwahara filter.",
                                    std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("intensity", "inputIntensity", num(0.5, 0, 1), nullptr,
                               "The intensity of the effect. The larger the value, the more contrast in the "
                               "affected area."));
            ps.push_back(param("radius", "inputRadius", rel(sharpenRadius), nullptr,
                               "The distance from the center of the effect."));
            entries.push_back(
                entry("Unsharpen", "CIUnsharpMask",
                      "Increases the contrast of the edges between pixels of different colors in an image.",
                      std::move(ps)));
        }
        library.push_back(FilterCategory::make("Enhancement", std::move(entries)));
    }
    {
        Filters entries;
        {
            FilterParams ps;
            ps.push_back(
                param("size", "inputSize", relNew(1, 1), nullptr,
                      "The value determines how many pixels will be used to create the blur effect."));
            entries.push_back(
                entry("Blur Faces", "IMFaceBlur", "Blur faces detected within the image.", std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("size", "inputSize", relNew(1, 1), nullptr,
                               "The value determines how big the squares are going to be."));
            entries.push_back(entry("Pixellate Faces", "IMFacePixellate",
                                    "Pixellate faces detected within the image.", std::move(ps)));
        }
        library.push_back(FilterCategory::make("Facial Recognition", std::move(entries)));
    }
    {
        Filters entries;
        {
            FilterParams ps;
            ps.push_back(
                param("rectangle (start)", "inputRectangleStart", ownPoint(-20, 1, -20, 1, 4), nullptr,
                      "The starting point of rectangle that specifies the crop to apply to the image."));
            ps.push_back(
                param("rectangle (end)", "inputRectangleEnd", ownPoint(20, 1, 20, 1, 4), nullptr,
                      "The starting end of rectangle that specifies the crop to apply to the image."));
            entries.push_back(entry("Crop", "IMCropAction", "Applies a crop to an image.", std::move(ps)));
        }
        entries.push_back(entry("Flip Horizontally", "IMFlipHorizontallyAction",
                                "Flips an image on the horizontal axis.", {}));
        entries.push_back(
            entry("Flip Vertically", "IMFlipVerticallyAction", "Flips an image on the vertical axis.", {}));
        {
            FilterParams ps;
            ps.push_back(param("aspect ratio", "inputMaintainRatio", boolean(false, "Maintain aspect ratio"),
                               nullptr, "Maintain aspect ratio while resizing."));
            ps.push_back(
                param("width", "inputWidth", relNew(500, 0), nullptr, "The width of the resulting image."));
            ps.push_back(param("height", "inputHeight", relNew(500, 0), nullptr,
                               "The height of the resulting image."));
            entries.push_back(
                entry("Resize", "IMResizeAction", "Resizes an image using given dimensions.", std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(
                param("angle", "inputAngle", num(90, -360, 360), nullptr, "The angle of the rotation."));
            entries.push_back(
                entry("Rotate", "IMRotateAction", "Rotates an image by given degrees.", std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("factor", "inputFactor", num(0.6, 0.05, 1.5), nullptr,
                               "The scaling factor to use on the image. Values less than 1.0 scale down the "
                               "images. Values greater than 1.0 scale up the image."));
            entries.push_back(entry("Scale", "IMScaleAction",
                                    "Produces a high-quality, scaled version of a source image.",
                                    std::move(ps)));
        }
        library.push_back(FilterCategory::make("Geometry", std::move(entries)));
    }
    {
        Filters entries;
        {
            FilterParams ps;
            ps.push_back(param("center", "inputCenter", centre(false), centre(false),
                               "The center of the effect as x and y pixel coordinates."));
            ps.push_back(param("width", "inputWidth", rel(halftoneWidth), nullptr,
                               "The distance between each circle in the pattern."));
            ps.push_back(
                param("sharpness", "inputSharpness", num(0.7, 0, 1), nullptr,
                      "The sharpness of the circles. The larger the value, the sharper the circles."));
            entries.push_back(entry("Circular", "CICircularScreen",
                                    "Simulates a circular-shaped halftone screen.", std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("center", "inputCenter", centre(false), centre(false),
                               "The center of the effect as x and y pixel coordinates."));
            ps.push_back(param("width", "inputWidth", rel(halftoneWidth), nullptr,
                               "The distance between dots in the pattern."));
            ps.push_back(
                param("angle", "inputAngle", num(0, -180, 180), nullptr, "The angle of the pattern"));
            ps.push_back(
                param("sharpness", "inputSharpness", num(0.7, 0, 1), nullptr,
                      "The sharpness of the pattern. The larger the value, the sharper the pattern."));
            entries.push_back(entry("Dot", "CIDotScreen", "Simulates the dot patterns of a halftone screen.",
                                    std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("center", "inputCenter", centre(false), centre(false),
                               "The center of the effect as x and y pixel coordinates."));
            ps.push_back(param("width", "inputWidth", rel(halftoneWidth), nullptr,
                               "The distance between each line in the pattern."));
            ps.push_back(
                param("angle", "inputAngle", num(0, -180, 180), nullptr, "The angle of the pattern"));
            ps.push_back(param("sharpness", "inputSharpness", num(0.7, 0, 1), nullptr,
                               "The amount of sharpening to apply."));
            entries.push_back(entry("Hatched", "CIHatchedScreen",
                                    "Simulates the hatched pattern of a halftone screen.", std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("center", "inputCenter", centre(false), centre(false),
                               "The center of the effect as x and y pixel coordinates."));
            ps.push_back(param("width", "inputWidth", rel(halftoneWidth), nullptr,
                               "The distance between each line in the pattern."));
            ps.push_back(
                param("angle", "inputAngle", num(0, -180, 180), nullptr, "The angle of the pattern"));
            ps.push_back(
                param("sharpness", "inputSharpness", num(0.7, 0, 1), nullptr,
                      "The sharpness of the pattern. The larger the value, the sharper the pattern."));
            entries.push_back(entry("Line", "CILineScreen",
                                    "Simulates the line pattern of a halftone screen.", std::move(ps)));
        }
        library.push_back(FilterCategory::make("Halftone", std::move(entries)));
    }
    {
        Filters entries;
        {
            FilterParams ps;
            ps.push_back(param("radius", "inputRadius", relNew(3, 1), nullptr,
                               "The radius determines how many pixels are used to create the effect. The "
                               "larger the radius, the greater the effect."));
            ps.push_back(param("intensity", "inputIntensity", num(0.3, 0, 1), nullptr,
                               "The intensity of the effect."));
            entries.push_back(entry("Bloom", "CIBloom",
                                    "Softens edges and applies a pleasant glow to an image.", std::move(ps)));
        }
        entries.push_back(entry(
            "Comic Effect", "CIComicEffect",
            "Simulates a comic book drawing by outlining edges and applying a color halftone effect.", {}));
        {
            FilterParams ps;
            ps.push_back(param("center", "inputCenter", centre(false), centre(false),
                               "The center of the effect as x and y pixel coordinates."));
            ps.push_back(param("radius", "inputRadius", relNew(2.5, 1), nullptr,
                               "The radius determines how many pixels are used to create the effect. The "
                               "larger the radius, the larger the resulting crystals."));
            entries.push_back(
                entry("Crystallize", "CICrystallize",
                      "Creates polygon-shaped color blocks by aggregating source pixel-color values.",
                      std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(
                param("intensity", "inputIntensity", relNew(7, 1), nullptr,
                      "The intensity of the edges. The larger the value, the higher the intensity."));
            entries.push_back(entry("Edges", "CIEdges",
                                    "Finds all edges in an image and displays them in color.",
                                    std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("radius", "inputRadius", relNew(3, 1), nullptr,
                               "The radius determines how many pixels are used to create the effect. The "
                               "larger the radius, the greater the effect."));
            ps.push_back(param("intensity", "inputIntensity", num(0.3, 0, 1), nullptr,
                               "The intensity of the effect."));
            entries.push_back(entry("Gloom", "CIGloom", "Dulls the highlights of an image.", std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("center", "inputCenter", centre(false), centre(false),
                               "The center of the effect as x and y pixel coordinates."));
            ps.push_back(param(
                "scale", "inputScale", num(2.5, 1, 100), nullptr,
                "The scale determines the size of the squares. Larger values result in larger squares."));
            entries.push_back(entry("Pixellate", "CIPixellate",
                                    "Makes an image blocky by mapping the image to colored squares whose "
                                    "color is defined by the replaced pixels.",
                                    std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("center", "inputCenter", centre(false), centre(false),
                               "The center of the effect as x and y pixel coordinates."));
            ps.push_back(param("radius", "inputRadius", relNew(1.5, 1), nullptr,
                               "The radius of the circles in the resulting pattern."));
            entries.push_back(entry("Pointillize", "CIPointillize",
                                    "Renders the source image in a pointillistic style.", std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(
                param("shading", "inputShadingImage", image(metalRoofImage()), nullptr,
                      "The image to use as the height field. The resulting image has greater heights with "
                      "lighter shades, and lesser heights (lower areas) with darker shades."));
            ps.push_back(
                param("scale", "inputScale", num(1, 0.5, 200), nullptr,
                      "The scale of the effect. The higher the value, the more dramatic the effect."));
            entries.push_back(entry("Shaded Material", "CIShadedMaterial",
                                    "Produces a shaded image from a height field.", std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("radius", "inputRadius", relNew(0.2, 0), nullptr,
                               "The thickness of the edges. The larger the value, the thicker the edges."));
            entries.push_back(entry("Woodblock Cutout", "CIEdgeWork",
                                    "Produces a stylized black-and-white rendition of an image that looks "
                                    "similar to a woodblock cutout.",
                                    std::move(ps)));
        }
        library.push_back(FilterCategory::make("Stylize", std::move(entries)));
    }
    {
        Filters entries;
        {
            FilterParams ps;
            ps.push_back(param("center", "inputCenter", centre(false), centre(false),
                               "The center of the effect as x and y pixel coordinates."));
            ps.push_back(
                param("angle", "inputAngle", num(0, -180, 180), nullptr, "The angle of the tiled pattern."));
            ps.push_back(param("width", "inputWidth", relNew(100, 0), nullptr, "The width of a tile."));
            entries.push_back(
                entry("Eightfold Reflected", "CIEightfoldReflectedTile",
                      "Produces a tiled image from a source image by applying an 8-way reflected symmetry.",
                      std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("center", "inputCenter", centre(false), centre(false),
                               "The center of the effect as x and y pixel coordinates."));
            ps.push_back(
                param("angle", "inputAngle", num(0, -180, 180), nullptr, "The angle of the tiled pattern."));
            ps.push_back(param("acute angle", "inputAcuteAngle", num(50, -180, 180), nullptr,
                               "The primary angle for the repeating reflected tile. Small values create thin "
                               "diamond tiles, and higher values create fatter reflected tiles."));
            ps.push_back(param("width", "inputWidth", relNew(100, 0), nullptr, "The width of a tile."));
            entries.push_back(
                entry("Fourfold Reflected", "CIFourfoldReflectedTile",
                      "Produces a tiled image from a source image by applying an 4-way reflected symmetry.",
                      std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("center", "inputCenter", centre(false), centre(false),
                               "The center of the effect as x and y pixel coordinates."));
            ps.push_back(
                param("angle", "inputAngle", num(0, -180, 180), nullptr, "The angle of the tiled pattern."));
            ps.push_back(param("width", "inputWidth", relNew(100, 0), nullptr, "The width of a tile."));
            entries.push_back(entry("Fourfold Rotated", "CIFourfoldRotatedTile",
                                    "Produces a tiled image from a source image by rotating the source image "
                                    "at increments of 90 degrees.",
                                    std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("center", "inputCenter", centre(false), centre(false),
                               "The center of the effect as x and y pixel coordinates."));
            ps.push_back(
                param("angle", "inputAngle", num(0, -180, 180), nullptr, "The angle of the tiled pattern."));
            ps.push_back(param("acute angle", "inputAcuteAngle", num(50, -180, 180), nullptr,
                               "The primary angle for the repeating translated tile. Small values create "
                               "thin diamond tiles, and higher values create fatter translated tiles."));
            ps.push_back(param("width", "inputWidth", relNew(100, 0), nullptr, "The width of a tile."));
            entries.push_back(
                entry("Fourfold Translated", "CIFourfoldTranslatedTile",
                      "Produces a tiled image from a source image by applying 4 translation operations.",
                      std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("center", "inputCenter", centre(false), centre(false),
                               "The center of the effect as x and y pixel coordinates."));
            ps.push_back(
                param("angle", "inputAngle", num(0, -180, 180), nullptr, "The angle of the tiled pattern."));
            ps.push_back(param("width", "inputWidth", relNew(100, 0), nullptr, "The width of a tile."));
            entries.push_back(
                entry("Glide Reflected", "CIGlideReflectedTile",
                      "Produces a tiled image from a source image by translating and smearing the image.",
                      std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("center", "inputCenter", centre(false), centre(false),
                               "The center of the effect as x and y pixel coordinates."));
            ps.push_back(
                param("angle", "inputAngle", num(0, -180, 180), nullptr, "The angle of the tiled pattern."));
            ps.push_back(param("number", "inputCount", num(6, 1, 64), nullptr,
                               "The number of reflections in the pattern."));
            entries.push_back(
                entry("Kaleidoscope", "CIKaleidoscope",
                      "Produces a kaleidoscopic image from a source image by applying 12-way symmetry.",
                      std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("center", "inputCenter", centre(false), centre(false),
                               "The center of the effect as x and y pixel coordinates."));
            ps.push_back(
                param("angle", "inputAngle", num(0, -180, 180), nullptr, "The angle of the tiled pattern."));
            ps.push_back(param("acute angle", "inputAcuteAngle", num(50, -180, 180), nullptr,
                               "The primary angle for the repeating parallelogram tile. Small values create "
                               "thin diamond tiles, and higher values create fatter parallelogram tiles."));
            ps.push_back(param("width", "inputWidth", relNew(100, 0), nullptr, "The width of a tile."));
            entries.push_back(
                entry("Parallelogram", "CIParallelogramTile",
                      "Warps an image by reflecting it in a parallelogram, and then tiles the result.",
                      std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("center", "inputCenter", centre(false), centre(false),
                               "The center of the effect as x and y pixel coordinates."));
            ps.push_back(
                param("angle", "inputAngle", num(0, -180, 180), nullptr, "The angle of the tiled pattern."));
            ps.push_back(param("width", "inputWidth", relNew(100, 0), nullptr, "The width of a tile."));
            entries.push_back(
                entry("Sixfold Reflected", "CISixfoldReflectedTile",
                      "Produces a tiled image from a source image by applying a 6-way reflected symmetry.",
                      std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("center", "inputCenter", centre(false), centre(false),
                               "The center of the effect as x and y pixel coordinates."));
            ps.push_back(
                param("angle", "inputAngle", num(0, -180, 180), nullptr, "The angle of the tiled pattern."));
            ps.push_back(param("width", "inputWidth", relNew(100, 0), nullptr, "The width of a tile."));
            entries.push_back(entry("Sixfold Rotated", "CISixfoldRotatedTile",
                                    "Produces a tiled image from a source image by rotating the source image "
                                    "at increments of 60 degrees.",
                                    std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("center", "inputCenter", centre(false), centre(false),
                               "The center of the effect as x and y pixel coordinates."));
            ps.push_back(
                param("angle", "inputAngle", num(0, -180, 180), nullptr, "The angle of the tiled pattern."));
            ps.push_back(param("width", "inputWidth", relNew(100, 0), nullptr, "The width of a tile."));
            entries.push_back(
                entry("Triangle", "CITriangleTile",
                      "Maps a triangular portion of image to a triangular area and then tiles the result.",
                      std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param(
                "center", "inputPoint", centre(false), centre(false),
                "The x and y position to use as the center of the triangular area in the input image."));
            ps.push_back(param("rotation", "inputRotation", num(300, 0, 360), nullptr,
                               "Rotation angle of the triangle."));
            ps.push_back(param("size", "inputSize", relNew(500, 0), nullptr, "The size of the triangle."));
            ps.push_back(param("decay", "inputDecay", num(0.85, 0, 1), nullptr,
                               "The decay determines how fast the color fades from the center triangle."));
            entries.push_back(
                entry("Triangle Kaleidoscope", "CITriangleKaleidoscope",
                      "Maps a triangular portion of an input image to create a kaleidoscope effect.",
                      std::move(ps)));
        }
        library.push_back(FilterCategory::make("Tile", std::move(entries)));
    }
    {
        Filters entries;
        {
            FilterParams ps;
            ps.push_back(param("watermark", "inputWatermark", image(createdWithImage()), nullptr,
                               "The image to be used as a watermark"));
            ps.push_back(param(
                "adaptive", "inputAdaptive", boolean(true, "Adapt watermark dimensions"), nullptr,
                "Use custom dimensions for the watermark; if this is disabled, the size option below will be "
                "ignored and the watermark will always be of the same size as the original image."));
            ps.push_back(param("size", "inputSize", relNew(40, 1), nullptr,
                               "The size of the watermark, based on its longest edge; if the adaptive option "
                               "above is disabled, this will be ignored and the watermark will always be of "
                               "the same size as the original image"));
            ps.push_back(param("placement & padding", "inputPlacement", centre(true), centre(true),
                               "The relative position of the watermark, with x and y values for padding."));
            ps.push_back(param("opacity", "inputOpacity", num(0.5, 0, 1), nullptr,
                               "How opaque we want the watermark to be. More means more opaque; less means "
                               "more transparent."));
            entries.push_back(entry("Image", "IMWatermarkImageAction",
                                    "Watermarks an image using given image, at suggested coordinates.",
                                    std::move(ps)));
        }
        {
            FilterParams ps;
            ps.push_back(param("watermark", "inputWatermark",
                               FilterParamValue::string("Created with Glimmerworks"), nullptr,
                               "The text to be used as a watermark"));
            ps.push_back(param("font", "inputFont", FilterParamValue::font(helveticaFont()), nullptr,
                               "The font to be used."));
            ps.push_back(
                param("font size", "inputFontSize", relNew(1.5, 1), nullptr, "The size of the text font."));
            ps.push_back(param("font color", "inputFontColor", FilterParamValue::color(blackColor()), nullptr,
                               "The color of the text."));
            ps.push_back(param("placement & padding", "inputPlacement", centre(true), centre(true),
                               "The relative position of the watermark, with x and y values for padding."));
            ps.push_back(param("opacity", "inputOpacity", num(0.5, 0, 1), nullptr,
                               "How opaque we want the watermark to be. More means more opaque; less means "
                               "more transparent."));
            entries.push_back(entry("Text", "IMWatermarkTextAction",
                                    "Watermarks an image using given text, at suggested coordinates.",
                                    std::move(ps)));
        }
        library.push_back(FilterCategory::make("Watermark", std::move(entries)));
    }
    return library;
}

} // namespace catalogue
