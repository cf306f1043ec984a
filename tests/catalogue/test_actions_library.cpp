#include "support/TestSupport.h"

#include "catalogue/ActionsLibrary.h"
#include "ci/core/Context.h"
#include "filters/Registry.h"
#include "model/ImageOperations.h"
#include "model/ParameterValues.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>

#include "FakeLoadingTarget.h"

#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>

using namespace model;

namespace {

// Every parameter of the library as the tables list it:
// category|entry|sys|name|key|value|sample ("same" when the sample is the value object itself).
const char* kExpected =
    R"(Blend|Color Burn|CIColorBurnBlendMode|Background|inputBackgroundImage|image(metalic-roof)|same
Blend|Color Dodge|CIColorDodgeBlendMode|Background|inputBackgroundImage|image(metalic-roof)|same
Blend|Darken|CIDarkenBlendMode|Background|inputBackgroundImage|image(metalic-roof)|same
Blend|Difference|CIDifferenceBlendMode|Background|inputBackgroundImage|image(metalic-roof)|same
Blend|Divide|CIDivideBlendMode|Background|inputBackgroundImage|image(metalic-roof)|same
Blend|Exclude|CIExclusionBlendMode|Background|inputBackgroundImage|image(metalic-roof)|same
Blend|Hard Light|CIHardLightBlendMode|Background|inputBackgroundImage|image(metalic-roof)|same
Blend|Hue|CIHueBlendMode|Background|inputBackgroundImage|image(metalic-roof)|same
Blend|Lighten|CILightenBlendMode|Background|inputBackgroundImage|image(metalic-roof)|same
Blend|Linear Burn|CILinearBurnBlendMode|Background|inputBackgroundImage|image(metalic-roof)|same
Blend|Linear Dodge|CILinearDodgeBlendMode|Background|inputBackgroundImage|image(metalic-roof)|same
Blend|Luminosity|CILuminosityBlendMode|Background|inputBackgroundImage|image(metalic-roof)|same
Blend|Multiply|CIMultiplyBlendMode|Background|inputBackgroundImage|image(metalic-roof)|same
Blend|Overlay|CIOverlayBlendMode|Background|inputBackgroundImage|image(metalic-roof)|same
Blend|Pin Light|CIPinLightBlendMode|Background|inputBackgroundImage|image(metalic-roof)|same
Blend|Saturation|CISaturationBlendMode|Background|inputBackgroundImage|image(metalic-roof)|same
Blend|Screen|CIScreenBlendMode|Background|inputBackgroundImage|image(metalic-roof)|same
Blend|Soft Light|CISoftLightBlendMode|Background|inputBackgroundImage|image(metalic-roof)|same
Blend|Subtract|CISubtractBlendMode|Background|inputBackgroundImage|image(metalic-roof)|same
Blur|Box|CIBoxBlur|Radius|inputRadius|rel(1.5, 1)|same
Blur|Disc|CIDiscBlur|Radius|inputRadius|rel(1.5, 1)|same
Blur|Gaussian|CIGaussianBlur|Radius|inputRadius|rel(1.5, 1)|same
Blur|Median|CIMedianFilter|||
Blur|Motion|CIMotionBlur|Angle|inputAngle|num(0, -180, 180)|same
Blur|Motion|CIMotionBlur|Radius|inputRadius|rel(1.5, 1)|same
Blur|Zoom|CIZoomBlur|Center|inputCenter|centre(false)|centre(false)
Blur|Zoom|CIZoomBlur|Amount|inputAmount|num(20, -200, 200)|same
Color Adjustment|Brightness|CIColorControls|Value|inputBrightness|num(0, -1, 1)|single(0.3)
Color Adjustment|Clarity|ClarityFilter|Value|inputClarity|num(0, -1, 1)|num(0.3, -1, 1)
Color Adjustment|Contrast|CIColorControls|Value|inputContrast|num(1, 0.25, 4)|single(1.5)
Color Adjustment|Exposure|CIExposureAdjust|Variance|inputEV|num(0, -10, 10)|single(2)
Color Adjustment|Gamma|CIGammaAdjust|Power|inputPower|num(1, 0.25, 4)|single(2)
Color Adjustment|Highlights|CIHighlightShadowAdjust|Amount|inputHighlightAmount|num(1, 0.3, 1)|num(-0.6, 0.3, 1)
Color Adjustment|Hue|CIHueAdjust|Angle|inputAngle|num(0, -180, 180)|num(120, -180, 180)
Color Adjustment|Saturation|CIColorControls|Value|inputSaturation|num(1, 0, 2)|single(1.5)
Color Adjustment|Selective Hue|ShiftHues|Red|inputRed|num(0, -1, 1)|num(0, -1, 1)
Color Adjustment|Selective Hue|ShiftHues|Orange|inputOrange|num(0, -1, 1)|num(0, -1, 1)
Color Adjustment|Selective Hue|ShiftHues|Yellow|inputYellow|num(0, -1, 1)|num(0, -1, 1)
Color Adjustment|Selective Hue|ShiftHues|Green|inputGreen|num(0, -1, 1)|num(0, -1, 1)
Color Adjustment|Selective Hue|ShiftHues|Aqua|inputAqua|num(0, -1, 1)|num(0, -1, 1)
Color Adjustment|Selective Hue|ShiftHues|Blue|inputBlue|num(0, -1, 1)|num(-0.5, -1, 1)
Color Adjustment|Selective Hue|ShiftHues|Purple|inputPurple|num(0, -1, 1)|num(0, -1, 1)
Color Adjustment|Selective Hue|ShiftHues|Magenta|inputMagenta|num(0, -1, 1)|num(0, -1, 1)
Color Adjustment|Selective Saturation|ShiftSaturations|Red|inputRed|num(1, 0, 2)|num(0, 0, 2)
Color Adjustment|Selective Saturation|ShiftSaturations|Orange|inputOrange|num(1, 0, 2)|num(0, 0, 2)
Color Adjustment|Selective Saturation|ShiftSaturations|Yellow|inputYellow|num(1, 0, 2)|num(0, 0, 2)
Color Adjustment|Selective Saturation|ShiftSaturations|Green|inputGreen|num(1, 0, 2)|num(0, 0, 2)
Color Adjustment|Selective Saturation|ShiftSaturations|Aqua|inputAqua|num(1, 0, 2)|num(1, 0, 2)
Color Adjustment|Selective Saturation|ShiftSaturations|Blue|inputBlue|num(1, 0, 2)|num(1.2, 0, 2)
Color Adjustment|Selective Saturation|ShiftSaturations|Purple|inputPurple|num(1, 0, 2)|num(0, 0, 2)
Color Adjustment|Selective Saturation|ShiftSaturations|Magenta|inputMagenta|num(1, 0, 2)|num(0, 0, 2)
Color Adjustment|Shadows|CIHighlightShadowAdjust|Amount|inputShadowAmount|num(0, -1, 1)|num(0.2, -1, 1)
Color Adjustment|Temperature|IMAdjustTemperature|Amount|inputAmount|num(6500, 0, 10000)|num(3000, 0, 10000)
Color Adjustment|Tint|IMAdjustTint|Amount|inputAmount|num(0, -1000, 1000)|num(150, -1000, 1000)
Color Adjustment|Vibrance|CIVibrance|Amount|inputAmount|num(0, -1, 1)|single(0.5)
Color Effects|Invert|CIColorInvert|||
Color Effects|Mask to Alpha|CIMaskToAlpha|||
Color Effects|Minimum Component|CIMinimumComponent|||
Color Effects|Maximum Component|CIMaximumComponent|||
Color Effects|Monochrome|CIColorMonochrome|Color|inputColor|colour(70, 170, 50, 255)|same
Color Effects|Monochrome|CIColorMonochrome|Intensity|inputIntensity|num(1, 0, 1)|same
Color Effects|Sepia|CISepiaTone|Intensity|inputIntensity|num(1, 0, 1)|same
Color Effects|Vignette|CIVignette|Radius|inputRadius|rel(50, 1)|same
Color Effects|Vignette|CIVignette|Intensity|inputIntensity|num(0.5, -1, 1)|same
Distortion|Bump|CIBumpDistortion|Center|inputCenter|centre(false)|centre(false)
Distortion|Bump|CIBumpDistortion|Radius|inputRadius|rel(20, 1)|same
Distortion|Bump|CIBumpDistortion|Scale|inputScale|num(0.5, -1, 1)|same
Distortion|Bump Linear|CIBumpDistortionLinear|Angle|inputAngle|num(0, 0, 360)|single(100)
Distortion|Bump Linear|CIBumpDistortionLinear|Center|inputCenter|centre(false)|centre(false)
Distortion|Bump Linear|CIBumpDistortionLinear|Radius|inputRadius|rel(50, 1)|same
Distortion|Bump Linear|CIBumpDistortionLinear|Scale|inputScale|num(0.5, -1, 1)|same
Distortion|Circular Wrap|CICircularWrap|Angle|inputAngle|num(0, -180, 180)|single(100)
Distortion|Circular Wrap|CICircularWrap|Center|inputCenter|centre(false)|centre(false)
Distortion|Circular Wrap|CICircularWrap|Radius|inputRadius|rel(10, 1)|same
Distortion|Displacement|CIDisplacementDistortion|Displacement Image|inputDisplacementImage|image(metalic-roof)|same
Distortion|Displacement|CIDisplacementDistortion|Scale|inputScale|num(100, 0, 200)|same
Distortion|Glass|CIGlassDistortion|Center|inputCenter|centre(false)|centre(false)
Distortion|Glass|CIGlassDistortion|Texture|inputTexture|image(metalic-roof)|same
Distortion|Glass|CIGlassDistortion|Scale|inputScale|num(200, 0.01, 500)|same
Distortion|Hole|CIHoleDistortion|Center|inputCenter|centre(false)|centre(false)
Distortion|Hole|CIHoleDistortion|Radius|inputRadius|rel(10, 1)|same
Distortion|Pinch|CIPinchDistortion|Center|inputCenter|centre(false)|centre(false)
Distortion|Pinch|CIPinchDistortion|Radius|inputRadius|rel(10, 1)|same
Distortion|Pinch|CIPinchDistortion|Scale|inputScale|num(0.5, 0, 2)|same
Distortion|Twirl|CITwirlDistortion|Angle|inputAngle|num(180, -720, 720)|same
Distortion|Twirl|CITwirlDistortion|Center|inputCenter|centre(false)|centre(false)
Distortion|Twirl|CITwirlDistortion|Radius|inputRadius|rel(10, 1)|same
Distortion|Vortex|CIVortexDistortion|Angle|inputAngle|num(3240, -5400, 5400)|same
Distortion|Vortex|CIVortexDistortion|Center|inputCenter|centre(false)|centre(false)
Distortion|Vortex|CIVortexDistortion|Radius|inputRadius|rel(10, 1)|same
Enhancement|Auto Adjustment|AutoAdjustFilter|||
Enhancement|Noise Reduction|CINoiseReduction|Noise Level|inputNoiseLevel|num(0.02, 0, 0.1)|same
Enhancement|Noise Reduction|CINoiseReduction|Sharpness|inputSharpness|rel(1.5, 1)|same
Enhancement|Sharpen|CISharpenLuminance|Intensity|inputSharpness|num(0.4, 0, 2)|same
Enhancement|Sharpen|CISharpenLuminance|Radius|inputRadius|rel(5, 1)|same
Enhancement|Smoothing|FPKuwaharaFilter|Radius|inputRadius|rel(15, 0)|same
Enhancement|Unsharpen|CIUnsharpMask|Intensity|inputIntensity|num(0.5, 0, 1)|same
Enhancement|Unsharpen|CIUnsharpMask|Radius|inputRadius|rel(5, 1)|same
Facial Recognition|Blur Faces|IMFaceBlur|Size|inputSize|rel(1, 1)|same
Facial Recognition|Pixellate Faces|IMFacePixellate|Size|inputSize|rel(1, 1)|same
Geometry|Crop|IMCropAction|Rectangle (start)|inputRectangleStart|ownPoint(-20, 1, -20, 1, 4)|same
Geometry|Crop|IMCropAction|Rectangle (end)|inputRectangleEnd|ownPoint(20, 1, 20, 1, 4)|same
Geometry|Flip Horizontally|IMFlipHorizontallyAction|||
Geometry|Flip Vertically|IMFlipVerticallyAction|||
Geometry|Resize|IMResizeAction|Aspect Ratio|inputMaintainRatio|boolean(false, "Maintain aspect ratio")|same
Geometry|Resize|IMResizeAction|Width|inputWidth|rel(500, 0)|same
Geometry|Resize|IMResizeAction|Height|inputHeight|rel(500, 0)|same
Geometry|Rotate|IMRotateAction|Angle|inputAngle|num(90, -360, 360)|same
Geometry|Scale|IMScaleAction|Factor|inputFactor|num(0.6, 0.05, 1.5)|same
Halftone|Circular|CICircularScreen|Center|inputCenter|centre(false)|centre(false)
Halftone|Circular|CICircularScreen|Width|inputWidth|rel(1.2, 1)|same
Halftone|Circular|CICircularScreen|Sharpness|inputSharpness|num(0.7, 0, 1)|same
Halftone|Dot|CIDotScreen|Center|inputCenter|centre(false)|centre(false)
Halftone|Dot|CIDotScreen|Width|inputWidth|rel(1.2, 1)|same
Halftone|Dot|CIDotScreen|Angle|inputAngle|num(0, -180, 180)|same
Halftone|Dot|CIDotScreen|Sharpness|inputSharpness|num(0.7, 0, 1)|same
Halftone|Hatched|CIHatchedScreen|Center|inputCenter|centre(false)|centre(false)
Halftone|Hatched|CIHatchedScreen|Width|inputWidth|rel(1.2, 1)|same
Halftone|Hatched|CIHatchedScreen|Angle|inputAngle|num(0, -180, 180)|same
Halftone|Hatched|CIHatchedScreen|Sharpness|inputSharpness|num(0.7, 0, 1)|same
Halftone|Line|CILineScreen|Center|inputCenter|centre(false)|centre(false)
Halftone|Line|CILineScreen|Width|inputWidth|rel(1.2, 1)|same
Halftone|Line|CILineScreen|Angle|inputAngle|num(0, -180, 180)|same
Halftone|Line|CILineScreen|Sharpness|inputSharpness|num(0.7, 0, 1)|same
Stylize|Bloom|CIBloom|Radius|inputRadius|rel(3, 1)|same
Stylize|Bloom|CIBloom|Intensity|inputIntensity|num(0.3, 0, 1)|same
Stylize|Comic Effect|CIComicEffect|||
Stylize|Crystallize|CICrystallize|Center|inputCenter|centre(false)|centre(false)
Stylize|Crystallize|CICrystallize|Radius|inputRadius|rel(2.5, 1)|same
Stylize|Edges|CIEdges|Intensity|inputIntensity|rel(7, 1)|same
Stylize|Gloom|CIGloom|Radius|inputRadius|rel(3, 1)|same
Stylize|Gloom|CIGloom|Intensity|inputIntensity|num(0.3, 0, 1)|same
Stylize|Pixellate|CIPixellate|Center|inputCenter|centre(false)|centre(false)
Stylize|Pixellate|CIPixellate|Scale|inputScale|num(2.5, 1, 100)|same
Stylize|Pointillize|CIPointillize|Center|inputCenter|centre(false)|centre(false)
Stylize|Pointillize|CIPointillize|Radius|inputRadius|rel(1.5, 1)|same
Stylize|Shaded Material|CIShadedMaterial|Shading|inputShadingImage|image(metalic-roof)|same
Stylize|Shaded Material|CIShadedMaterial|Scale|inputScale|num(1, 0.5, 200)|same
Stylize|Woodblock Cutout|CIEdgeWork|Radius|inputRadius|rel(0.2, 0)|same
Tile|Eightfold Reflected|CIEightfoldReflectedTile|Center|inputCenter|centre(false)|centre(false)
Tile|Eightfold Reflected|CIEightfoldReflectedTile|Angle|inputAngle|num(0, -180, 180)|same
Tile|Eightfold Reflected|CIEightfoldReflectedTile|Width|inputWidth|rel(100, 0)|same
Tile|Fourfold Reflected|CIFourfoldReflectedTile|Center|inputCenter|centre(false)|centre(false)
Tile|Fourfold Reflected|CIFourfoldReflectedTile|Angle|inputAngle|num(0, -180, 180)|same
Tile|Fourfold Reflected|CIFourfoldReflectedTile|Acute Angle|inputAcuteAngle|num(50, -180, 180)|same
Tile|Fourfold Reflected|CIFourfoldReflectedTile|Width|inputWidth|rel(100, 0)|same
Tile|Fourfold Rotated|CIFourfoldRotatedTile|Center|inputCenter|centre(false)|centre(false)
Tile|Fourfold Rotated|CIFourfoldRotatedTile|Angle|inputAngle|num(0, -180, 180)|same
Tile|Fourfold Rotated|CIFourfoldRotatedTile|Width|inputWidth|rel(100, 0)|same
Tile|Fourfold Translated|CIFourfoldTranslatedTile|Center|inputCenter|centre(false)|centre(false)
Tile|Fourfold Translated|CIFourfoldTranslatedTile|Angle|inputAngle|num(0, -180, 180)|same
Tile|Fourfold Translated|CIFourfoldTranslatedTile|Acute Angle|inputAcuteAngle|num(50, -180, 180)|same
Tile|Fourfold Translated|CIFourfoldTranslatedTile|Width|inputWidth|rel(100, 0)|same
Tile|Glide Reflected|CIGlideReflectedTile|Center|inputCenter|centre(false)|centre(false)
Tile|Glide Reflected|CIGlideReflectedTile|Angle|inputAngle|num(0, -180, 180)|same
Tile|Glide Reflected|CIGlideReflectedTile|Width|inputWidth|rel(100, 0)|same
Tile|Kaleidoscope|CIKaleidoscope|Center|inputCenter|centre(false)|centre(false)
Tile|Kaleidoscope|CIKaleidoscope|Angle|inputAngle|num(0, -180, 180)|same
Tile|Kaleidoscope|CIKaleidoscope|Number|inputCount|num(6, 1, 64)|same
Tile|Parallelogram|CIParallelogramTile|Center|inputCenter|centre(false)|centre(false)
Tile|Parallelogram|CIParallelogramTile|Angle|inputAngle|num(0, -180, 180)|same
Tile|Parallelogram|CIParallelogramTile|Acute Angle|inputAcuteAngle|num(50, -180, 180)|same
Tile|Parallelogram|CIParallelogramTile|Width|inputWidth|rel(100, 0)|same
Tile|Sixfold Reflected|CISixfoldReflectedTile|Center|inputCenter|centre(false)|centre(false)
Tile|Sixfold Reflected|CISixfoldReflectedTile|Angle|inputAngle|num(0, -180, 180)|same
Tile|Sixfold Reflected|CISixfoldReflectedTile|Width|inputWidth|rel(100, 0)|same
Tile|Sixfold Rotated|CISixfoldRotatedTile|Center|inputCenter|centre(false)|centre(false)
Tile|Sixfold Rotated|CISixfoldRotatedTile|Angle|inputAngle|num(0, -180, 180)|same
Tile|Sixfold Rotated|CISixfoldRotatedTile|Width|inputWidth|rel(100, 0)|same
Tile|Triangle|CITriangleTile|Center|inputCenter|centre(false)|centre(false)
Tile|Triangle|CITriangleTile|Angle|inputAngle|num(0, -180, 180)|same
Tile|Triangle|CITriangleTile|Width|inputWidth|rel(100, 0)|same
Tile|Triangle Kaleidoscope|CITriangleKaleidoscope|Center|inputPoint|centre(false)|centre(false)
Tile|Triangle Kaleidoscope|CITriangleKaleidoscope|Rotation|inputRotation|num(300, 0, 360)|same
Tile|Triangle Kaleidoscope|CITriangleKaleidoscope|Size|inputSize|rel(500, 0)|same
Tile|Triangle Kaleidoscope|CITriangleKaleidoscope|Decay|inputDecay|num(0.85, 0, 1)|same
Watermark|Image|IMWatermarkImageAction|Watermark|inputWatermark|image(createdWith)|same
Watermark|Image|IMWatermarkImageAction|Adaptive|inputAdaptive|boolean(true, "Adapt watermark dimensions")|same
Watermark|Image|IMWatermarkImageAction|Size|inputSize|rel(40, 1)|same
Watermark|Image|IMWatermarkImageAction|Placement & Padding|inputPlacement|centre(true)|centre(true)
Watermark|Image|IMWatermarkImageAction|Opacity|inputOpacity|num(0.5, 0, 1)|same
Watermark|Text|IMWatermarkTextAction|Watermark|inputWatermark|string("Created with Glimmerworks")|same
Watermark|Text|IMWatermarkTextAction|Font|inputFont|font(Helvetica)|same
Watermark|Text|IMWatermarkTextAction|Font Size|inputFontSize|rel(1.5, 1)|same
Watermark|Text|IMWatermarkTextAction|Font Color|inputFontColor|colour(0, 0, 0, 255)|same
Watermark|Text|IMWatermarkTextAction|Placement & Padding|inputPlacement|centre(true)|centre(true)
Watermark|Text|IMWatermarkTextAction|Opacity|inputOpacity|num(0.5, 0, 1)|same)";

std::string fmt(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

std::string describe(const std::shared_ptr<FilterParamValue>& v) {
    switch (v->type()) {
    case 0:
        return "num(" + fmt(v->numericV()) + ", " + fmt(v->numericMinV()) + ", " + fmt(v->numericMaxV()) +
               ")";
    case 1:
        return "single(" + fmt(v->numericV()) + ")";
    case 2:
        return "rel(" + fmt(v->relativeNumericV()->n()) + ", " +
               std::to_string(v->relativeNumericV()->measure()) + ")";
    case 3: {
        const auto& c = v->colorV();
        return "colour(" + std::to_string(c->red()) + ", " + std::to_string(c->green()) + ", " +
               std::to_string(c->blue()) + ", " + std::to_string(c->alpha()) + ")";
    }
    case 4:
        if (v->imageV() == metalRoofImage())
            return "image(metalic-roof)";
        if (v->imageV() == createdWithImage())
            return "image(createdWith)";
        return "image(?)";
    case 5: {
        const auto& p = v->pointV();
        const std::string dcp = v->dontCalculatePoints() ? "true" : "false";
        if (p == centrePoint())
            return "centre(" + dcp + ")";
        return "ownPoint(" + fmt(p->x()->n()) + ", " + std::to_string(p->x()->measure()) + ", " +
               fmt(p->y()->n()) + ", " + std::to_string(p->y()->measure()) + ", " +
               std::to_string(p->gravity()->g()) + ")";
    }
    case 6:
        return std::string("boolean(") + (v->booleanV()->b() ? "true" : "false") + ", \"" +
               v->booleanV()->title() + "\")";
    case 7:
        return "string(\"" + v->stringV() + "\")";
    case 8:
        return "font(" + v->fontV()->name() + ")";
    }
    return "type " + std::to_string(v->type());
}

const catalogue::Library& library() {
    static catalogue::Library lib = [] {
        filters::registerCustomFilters();
        auto target = std::make_shared<FakeLoadingTarget>();
        QElapsedTimer timer;
        timer.start();
        auto l = catalogue::buildActionsLibrary(target);
        std::printf("actions library with thumbnails built in %lld ms\n",
                    static_cast<long long>(timer.elapsed()));
        QCoreApplication::processEvents();
        return l;
    }();
    return lib;
}

std::shared_ptr<model::Filter> find(const std::string& category, const std::string& entry) {
    for (const auto& c : library())
        if (c->name() == category)
            for (const auto& f : c->filters())
                if (f->name() == entry)
                    return f;
    return nullptr;
}

} // namespace

TEST(ActionsLibrary, EveryEntryAndParameterAsTabulated) {
    std::ostringstream built;
    size_t params = 0;
    for (const auto& c : library())
        for (const auto& f : c->filters()) {
            EXPECT_EQ(f->parent(), c->name() + " → " + f->name());
            EXPECT_TRUE(f->isEnabled());
            EXPECT_FALSE(f->isCurrent());
            EXPECT_EQ(f->sourceIndx(), -1);
            if (f->params().empty())
                built << c->name() << "|" << f->name() << "|" << f->sys() << "|||\n";
            for (const auto& p : f->params()) {
                ++params;
                built << c->name() << "|" << f->name() << "|" << f->sys() << "|" << p->name() << "|"
                      << p->sys() << "|" << describe(p->value()) << "|"
                      << (p->sampleV() == p->value() ? std::string("same") : describe(p->sampleV())) << "\n";
            }
        }
    EXPECT_EQ(built.str(), std::string(kExpected) + "\n");
    EXPECT_EQ(params, 178u);

    std::vector<std::string> names;
    std::vector<size_t> counts;
    for (const auto& c : library()) {
        names.push_back(c->name());
        counts.push_back(c->filters().size());
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Blend", "Blur", "Color Adjustment", "Color Effects",
                                               "Distortion", "Enhancement", "Facial Recognition", "Geometry",
                                               "Halftone", "Stylize", "Tile", "Watermark"}));
    EXPECT_EQ(counts, (std::vector<size_t>{19, 6, 14, 7, 9, 5, 2, 6, 4, 9, 11, 2}));
}

TEST(ActionsLibrary, SharedValueObjectsAreShared) {
    // One blur radius behind four blurs and the noise-reduction sharpness: an edit shows in all.
    const auto box = find("Blur", "Box")->params()[0]->value();
    box->relativeNumericV()->setN(2.5);
    for (auto [cat, entry, index] :
         std::vector<std::tuple<std::string, std::string, int>>{{"Blur", "Disc", 0},
                                                                {"Blur", "Gaussian", 0},
                                                                {"Blur", "Motion", 1},
                                                                {"Enhancement", "Noise Reduction", 1}})
        EXPECT_EQ(find(cat, entry)->params()[index]->value()->relativeNumericV(), box->relativeNumericV())
            << entry;
    EXPECT_EQ(find("Enhancement", "Noise Reduction")->params()[1]->value()->relativeNumericV()->n(), 2.5);
    box->relativeNumericV()->setN(1.5);
    EXPECT_NE(box, find("Blur", "Disc")->params()[0]->value()); // each parameter has its own value object

    EXPECT_EQ(find("Distortion", "Hole")->params()[1]->value()->relativeNumericV(),
              find("Distortion", "Vortex")->params()[2]->value()->relativeNumericV());
    EXPECT_EQ(find("Enhancement", "Sharpen")->params()[1]->value()->relativeNumericV(),
              find("Enhancement", "Unsharpen")->params()[1]->value()->relativeNumericV());
    EXPECT_EQ(find("Halftone", "Dot")->params()[1]->value()->relativeNumericV(),
              find("Halftone", "Line")->params()[1]->value()->relativeNumericV());
    EXPECT_NE(find("Tile", "Triangle")->params()[2]->value()->relativeNumericV(),
              find("Tile", "Sixfold Rotated")->params()[2]->value()->relativeNumericV());
    EXPECT_NE(find("Facial Recognition", "Blur Faces")->params()[0]->value()->relativeNumericV(),
              find("Facial Recognition", "Pixellate Faces")->params()[0]->value()->relativeNumericV());

    // Points: a value and a separate sample object on the one centre point.
    const auto zoom = find("Blur", "Zoom")->params()[0];
    EXPECT_NE(zoom->value(), zoom->sampleV());
    EXPECT_EQ(zoom->value()->pointV(), zoom->sampleV()->pointV());
    const auto crop = find("Geometry", "Crop");
    EXPECT_NE(crop->params()[0]->value()->pointV(), crop->params()[1]->value()->pointV());
    EXPECT_NE(crop->params()[0]->value()->pointV()->gravity(), centrePoint()->gravity());

    // Nineteen blend entries over one background image value.
    std::set<const ImageValue*> backgrounds;
    for (const auto& f : library()[0]->filters())
        backgrounds.insert(f->params()[0]->value()->imageV().get());
    EXPECT_EQ(backgrounds, std::set<const ImageValue*>{metalRoofImage().get()});
    EXPECT_EQ(find("Watermark", "Text")->params()[1]->value()->fontV(), helveticaFont());
    EXPECT_EQ(find("Watermark", "Text")->params()[3]->value()->colorV(), blackColor());
}

TEST(ActionsLibrary, CapitalisedNames) {
    EXPECT_EQ(catalogue::capitalized("placement & padding"), "Placement & Padding");
    EXPECT_EQ(catalogue::capitalized("noise level"), "Noise Level");
    EXPECT_EQ(catalogue::capitalized("rectangle (start)"), "Rectangle (start)");
    EXPECT_EQ(catalogue::capitalized("dISPLACEMENT image"), "Displacement Image");
}

TEST(ActionsLibrary, EveryEntryRendersItsThumbnailAndTicksTheOverlay) {
    const auto& sampleBase = sharedSampleImage();
    ASSERT_NE(sampleBase.firstRepresentation(), nullptr);
    const int w = sampleBase.firstRepresentation()->pixelsWide();
    const int h = sampleBase.firstRepresentation()->pixelsHigh();
    for (const auto& c : library())
        for (const auto& f : c->filters()) {
            const platform::ImageRep* rep = f->sample().firstRepresentation();
            ASSERT_NE(rep, nullptr) << f->parent();
            // A rendered thumbnail, not the untouched "the_image".
            EXPECT_NE(rep, defaultSampleImage().firstRepresentation()) << f->parent();
            EXPECT_GT(rep->pixelsWide(), 0) << f->parent();
            EXPECT_GT(rep->pixelsHigh(), 0) << f->parent();
            if (c->name() == "Tile") {
                EXPECT_EQ(rep->pixelsWide(), w) << f->parent();
                EXPECT_EQ(rep->pixelsHigh(), h) << f->parent();
            }
        }

    auto target = std::make_shared<FakeLoadingTarget>();
    auto again = catalogue::buildActionsLibrary(target);
    EXPECT_TRUE(target->subMessages.empty()); // the ticks run on the main queue, later
    QCoreApplication::processEvents();
    EXPECT_EQ(target->messages, std::vector<std::string>{"Loading actions..."});
    EXPECT_EQ(target->current, 94);
    ASSERT_EQ(target->subMessages.size(), 94u);
    EXPECT_EQ(target->subMessages.front(), "Blend → Color Burn");
    EXPECT_EQ(target->subMessages.back(), "Watermark → Text");
    EXPECT_EQ(loadingProgressTarget(), target);
    setLoadingProgressTarget(nullptr);
}

TEST(ActionsLibrary, VignetteDarkensTheCornersOfALargePhoto) {
    // A 12-megapixel photograph, as the entry meets it in an export.
    const ci::Image photo = gwtest::loadPhoto("rocket.jpg");
    ASSERT_FALSE(photo.isNull());
    const int w = 4000, h = 3000;
    const ci::Image large =
        photo.transformed(ci::Affine::scale(w / photo.extent().width(), h / photo.extent().height()))
            .cropped(ci::Rect::make(0, 0, w, h));
    auto render = [&](const ci::Image& image) {
        auto pixels = ci::Context().render(image, ci::Rect::make(0, 0, w, h));
        EXPECT_TRUE(pixels.ok());
        return std::move(pixels.value());
    };
    const ci::Bitmap before = render(large);
    const model::FilterStep step = find("Color Effects", "Vignette")->parameterDictionary(w, h, false);
    const ci::Bitmap vignette = render(model::applyFilterNamed(large, step.first, step.second, w, h));
    auto luma = [](const float* p) { return 0.2126 * p[0] + 0.7152 * p[1] + 0.0722 * p[2]; };

    // At 50% of the width: the corners visibly darker, the centre untouched.
    for (auto [x, y] : std::vector<std::pair<int, int>>{{2, 2}, {w - 3, 2}, {2, h - 3}, {w - 3, h - 3}})
        EXPECT_LT(luma(vignette.pixel(x, y)), 0.7 * luma(before.pixel(x, y))) << x << "," << y;
    EXPECT_NEAR(luma(vignette.pixel(w / 2, h / 2)), luma(before.pixel(w / 2, h / 2)), 1e-6);
}

TEST(ActionsLibrary, NoiseReductionCleansANoisyPhotoAndSharpensMoreAsItsSharpnessRises) {
    // Soft shading, a few hard edges and sensor-like noise.
    const int w = 480, h = 360;
    uint32_t seed = 12345;
    auto uniform = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return (seed >> 8) / double(1u << 24);
    };
    auto gaussian = [&] {
        return std::sqrt(-2.0 * std::log(1.0 - uniform())) * std::cos(6.283185307 * uniform());
    };
    const ci::Image noisy = ci::Image::fromBitmap(gwtest::makeBitmap(w, h, [&](int x, int y, float* p) {
        double base = 0.15 + 0.35 * x / w + 0.1 * std::sin(y * 0.02);
        if (x > w / 3 && x < 2 * w / 3 && y > h / 3 && y < 2 * h / 3)
            base += 0.2;
        for (int c = 0; c < 3; ++c)
            p[c] = float(std::max(0.0, base * (1.0 - 0.1 * c) + 0.012 * gaussian()));
        p[3] = 1;
    }));
    // The spread of the picture less its 5 x 5 mean, over the three colours.
    auto highFrequency = [&](const ci::Image& image) {
        auto rendered = ci::Context().render(image, ci::Rect::make(0, 0, w, h));
        EXPECT_TRUE(rendered.ok());
        const ci::Bitmap& px = rendered.value();
        double sum = 0, squares = 0;
        int64_t n = 0;
        for (int y = 2; y < h - 2; ++y)
            for (int x = 2; x < w - 2; ++x)
                for (int c = 0; c < 3; ++c) {
                    double mean = 0;
                    for (int j = -2; j <= 2; ++j)
                        for (int i = -2; i <= 2; ++i)
                            mean += px.pixel(x + i, y + j)[c];
                    const double d = px.pixel(x, y)[c] - mean / 25;
                    sum += d;
                    squares += d * d;
                    ++n;
                }
        return std::sqrt(squares / n - (sum / n) * (sum / n));
    };
    const auto entry = find("Enhancement", "Noise Reduction");
    const auto sharpness = entry->params()[1]->value()->relativeNumericV();
    const double libraryValue = sharpness->n();
    auto cleaned = [&](double n) {
        sharpness->setN(n);
        const model::FilterStep step = entry->parameterDictionary(w, h, false);
        return highFrequency(model::applyFilterNamed(noisy, step.first, step.second, w, h));
    };

    const double input = highFrequency(noisy);
    const double atLibraryValues = cleaned(libraryValue);
    EXPECT_LT(atLibraryValues, 0.9 * input);
    // The slider still sharpens as it rises.
    const double half = cleaned(50), full = cleaned(100);
    EXPECT_GT(half, atLibraryValues);
    EXPECT_GT(full, half);
    sharpness->setN(libraryValue);
}
