#include "FilterTestSupport.h"

#include "filters/ChannelFilters.h"
#include "filters/ColorBalance.h"
#include "filters/ContrastAndOpacity.h"
#include "filters/FilmGrainFilter.h"
#include "filters/FixedLooks.h"
#include "filters/KuwaharaFilter.h"
#include "filters/MultiBandHSV.h"
#include "filters/OwnFilter.h"
#include "filters/SplitToningAndVignette.h"
#include "filters/UnsharpMaskAndClarity.h"

#include "effects/PhotoEffect.h"

#include <set>

using filters::makeFilter;

namespace {

// The own filters of positions 13 to 37 (the actions come with their own classes).
const std::vector<std::string> ownFilterNames = {"IMAdjustTemperature",
                                                 "IMAdjustTint",
                                                 "IMFX1",
                                                 "CZAirFilter",
                                                 "CZCrystalFilter",
                                                 "CZVividFilter",
                                                 "FPKuwaharaFilter",
                                                 "MultiBandHSV",
                                                 "SplitToningFilter",
                                                 "FilmGrainFilter",
                                                 "CenteredVignetteFilter",
                                                 "UnsharpMaskFilter",
                                                 "ClarityFilter",
                                                 "AutoAdjustFilter",
                                                 "RGBChannelCompositing",
                                                 "RGBChannelToneCurve",
                                                 "RGBChannelBrightnessAndContrast",
                                                 "ChromaticAberration",
                                                 "RGBChannelGaussianBlur",
                                                 "WhiteBalanceFilter",
                                                 "ContrastFilter",
                                                 "OpacityFilter",
                                                 "ShiftHues",
                                                 "ShiftSaturations",
                                                 "IMTestAction"};

template <class T> bool is(const std::shared_ptr<ci::Filter>& f) {
    return dynamic_cast<T*>(f.get()) != nullptr;
}

} // namespace

TEST(Registry, NamesInTheirFixedOrder) {
    const auto& names = filters::customFilterNames();
    ASSERT_EQ(names.size(), 315u);
    EXPECT_EQ(names[0], "IMCropAction");
    EXPECT_EQ(names[10], "IMFacePixellate");
    EXPECT_EQ(names[11], "IMFaceBlur");
    EXPECT_EQ(names[12], "IMAdjustTemperature");
    EXPECT_EQ(names[36], "IMTestAction");
    EXPECT_EQ(names[37], "GWPhotoEffect1");
    EXPECT_EQ(names[136], "GWPhotoEffect100");
    EXPECT_EQ(names[314], "GWPhotoEffect278");
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), 315u);
    for (const auto& n : ownFilterNames)
        EXPECT_NE(std::find(names.begin() + 12, names.begin() + 37, n), names.begin() + 37) << n;
}

TEST(Registry, EachNameMakesANewObjectOfItsClass) {
    EXPECT_TRUE(is<filters::AdjustTemperature>(makeFilter("IMAdjustTemperature")));
    EXPECT_TRUE(is<filters::AdjustTint>(makeFilter("IMAdjustTint")));
    EXPECT_TRUE(is<filters::IMFX1>(makeFilter("IMFX1")));
    EXPECT_TRUE(is<filters::CZAirFilter>(makeFilter("CZAirFilter")));
    EXPECT_TRUE(is<filters::CZCrystalFilter>(makeFilter("CZCrystalFilter")));
    EXPECT_TRUE(is<filters::CZVividFilter>(makeFilter("CZVividFilter")));
    EXPECT_TRUE(is<filters::FPKuwaharaFilter>(makeFilter("FPKuwaharaFilter")));
    EXPECT_TRUE(is<filters::MultiBandHSV>(makeFilter("MultiBandHSV")));
    EXPECT_TRUE(is<filters::SplitToningFilter>(makeFilter("SplitToningFilter")));
    EXPECT_TRUE(is<filters::FilmGrainFilter>(makeFilter("FilmGrainFilter")));
    EXPECT_TRUE(is<filters::CenteredVignetteFilter>(makeFilter("CenteredVignetteFilter")));
    EXPECT_TRUE(is<filters::UnsharpMaskFilter>(makeFilter("UnsharpMaskFilter")));
    EXPECT_TRUE(is<filters::ClarityFilter>(makeFilter("ClarityFilter")));
    EXPECT_TRUE(is<filters::AutoAdjustFilter>(makeFilter("AutoAdjustFilter")));
    EXPECT_TRUE(is<filters::RGBChannelCompositing>(makeFilter("RGBChannelCompositing")));
    EXPECT_TRUE(is<filters::RGBChannelToneCurve>(makeFilter("RGBChannelToneCurve")));
    EXPECT_TRUE(is<filters::RGBChannelBrightnessAndContrast>(makeFilter("RGBChannelBrightnessAndContrast")));
    EXPECT_TRUE(is<filters::ChromaticAberration>(makeFilter("ChromaticAberration")));
    EXPECT_TRUE(is<filters::RGBChannelGaussianBlur>(makeFilter("RGBChannelGaussianBlur")));
    EXPECT_TRUE(is<filters::WhiteBalanceFilter>(makeFilter("WhiteBalanceFilter")));
    EXPECT_TRUE(is<filters::ContrastFilter>(makeFilter("ContrastFilter")));
    EXPECT_TRUE(is<filters::OpacityFilter>(makeFilter("OpacityFilter")));
    EXPECT_TRUE(is<filters::ShiftHues>(makeFilter("ShiftHues")));
    EXPECT_TRUE(is<filters::ShiftSaturations>(makeFilter("ShiftSaturations")));
    EXPECT_TRUE(is<filters::TestAction>(makeFilter("IMTestAction")));

    // Two requests give two objects whose inputs are independent.
    auto a = makeFilter("ContrastFilter");
    auto b = makeFilter("ContrastFilter");
    ASSERT_TRUE(a && b);
    EXPECT_NE(a.get(), b.get());
    EXPECT_EQ(a->name(), "ContrastFilter");
    a->setValue("inputImage", ftest::solid(2, 2, 0.5f, 0.5f, 0.5f));
    EXPECT_TRUE(b->outputImage().isNull());
}

TEST(Registry, PhotoEffectNamesGoToTheEffects) {
    auto f = makeFilter("GWPhotoEffect278");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->name(), "GWPhotoEffect278");
    EXPECT_TRUE(f->outputImage().isNull());
    EXPECT_NE(makeFilter("GWPhotoEffect1").get(), makeFilter("GWPhotoEffect1").get());
}

TEST(Registry, OtherNamesMakeNothingAndPrintNothing) {
    gwtest::ConsoleCapture console;
    for (const char* name :
         {"CropAction", "imcropaction", "IMCROPACTION", "contrastfilter", "ContrastFilter ", "Contrast",
          "GWPhotoEffect0", "GWPhotoEffect279", "GWPhotoEffect01", "", "CIColorControls"})
        EXPECT_FALSE(makeFilter(name)) << name;
    EXPECT_TRUE(console.lines().empty());
}

TEST(Registry, RegistersEveryNameWithItsOwnConstructor) {
    std::vector<std::string> names;
    std::set<ci::FilterConstructor*> constructors;
    std::vector<std::shared_ptr<ci::FilterConstructor>> kept;
    filters::registerCustomFilters(
        [&](const std::string& name, std::shared_ptr<ci::FilterConstructor> c, ci::Attributes attributes) {
            names.push_back(name);
            constructors.insert(c.get());
            kept.push_back(c);
            EXPECT_TRUE(attributes.is_object() && attributes.empty()) << name;
        });
    EXPECT_EQ(names, filters::customFilterNames());
    EXPECT_EQ(constructors.size(), 315u);
    // Any constructor builds any own name.
    EXPECT_TRUE(is<filters::ContrastFilter>(kept.front()->filterWithName("ContrastFilter")));
    EXPECT_FALSE(kept.back()->filterWithName("CropAction"));

    // Through the engine's registry, the own names are made like built-ins.
    ftest::ensureRegistered();
    EXPECT_TRUE(ci::FilterRegistry::isRegistered("IMTestAction"));
    EXPECT_TRUE(is<filters::OpacityFilter>(ci::Filter::make("OpacityFilter")));
    EXPECT_FALSE(ci::Filter::make("CropAction"));
}

TEST(OwnFilterContract, KeysTheFilterDoesNotHave) {
    const ci::Image image = ftest::solid(2, 2, 0.2f, 0.3f, 0.4f);
    gwtest::ConsoleCapture console;
    auto contrast = makeFilter("ContrastFilter");
    contrast->setValue("inputImage", image);
    EXPECT_EQ(contrast->setValue("inputOpacity", 3.0), ci::SetResult::Ok);
    EXPECT_EQ(contrast->setValue("inputimage", ci::Value(2.0)), ci::SetResult::Ok);
    ASSERT_EQ(console.lines().size(), 2u);
    EXPECT_EQ(console.lines()[0], "Invalid key: inputOpacity");
    EXPECT_EQ(console.lines()[1], "Invalid key: inputimage");

    // Property-form filters report the key too and go on.
    auto kuwahara = makeFilter("FPKuwaharaFilter");
    EXPECT_EQ(kuwahara->setValue("inputIntensity", 1.0), ci::SetResult::Ok);
    EXPECT_EQ(console.lines().back(), "Invalid key: inputIntensity");

    // The compositing filter takes "inputImage" silently and ignores it.
    auto compositing = makeFilter("RGBChannelCompositing");
    const size_t before = console.lines().size();
    EXPECT_EQ(compositing->setValue("inputImage", image), ci::SetResult::Ok);
    EXPECT_EQ(console.lines().size(), before);
    EXPECT_TRUE(compositing->outputImage().isNull());
}

TEST(OwnFilterContract, ValuesOfTheWrongKind) {
    const ci::Image image = ftest::solid(2, 2, 0.2f, 0.3f, 0.4f);
    auto kuwahara = makeFilter("FPKuwaharaFilter");
    kuwahara->setValue("inputImage", image);
    EXPECT_FALSE(kuwahara->outputImage().isNull());
    // Anything but an image drops the image.
    kuwahara->setValue("inputImage", 3.0);
    EXPECT_TRUE(kuwahara->outputImage().isNull());

    // Integers are numbers; text, vectors and non-finite numbers are refused and change nothing.
    auto vignette = makeFilter("CenteredVignetteFilter");
    EXPECT_EQ(vignette->setValue("inputRadius", 2), ci::SetResult::Ok);
    EXPECT_EQ(vignette->setValue("inputRadius", "wide"), ci::SetResult::WrongKind);
    EXPECT_EQ(vignette->setValue("inputRadius", ci::Vector{1, 2}), ci::SetResult::WrongKind);
    EXPECT_EQ(vignette->setValue("inputRadius", std::nan("")), ci::SetResult::WrongKind);
    EXPECT_EQ(vignette->setValue("inputRadius", HUGE_VAL), ci::SetResult::WrongKind);

    auto curve = makeFilter("RGBChannelToneCurve");
    EXPECT_EQ(curve->setValue("inputRedYvalues", 0.5), ci::SetResult::WrongKind);
    EXPECT_EQ(curve->setValue("inputRedYvalues", ci::Vector{0, 1}), ci::SetResult::Ok);
}

TEST(OwnFilterContract, NoInputImageNoOutput) {
    ftest::ensureRegistered();
    const std::map<std::string, std::string> lines = {{"UnsharpMaskFilter", "No input image"},
                                                      {"OpacityFilter", "NIL image supplied"},
                                                      {"WhiteBalanceFilter", "No input image"},
                                                      {"SplitToningFilter", "No input image"},
                                                      {"FilmGrainFilter", "NIL image supplied"}};
    for (const auto& name : ownFilterNames) {
        gwtest::ConsoleCapture console;
        auto f = makeFilter(name);
        ASSERT_TRUE(f) << name;
        EXPECT_TRUE(f->outputImage().isNull()) << name;
        auto it = lines.find(name);
        if (it == lines.end()) {
            EXPECT_TRUE(console.lines().empty()) << name;
        } else {
            ASSERT_EQ(console.lines().size(), 1u) << name;
            EXPECT_EQ(console.lines()[0], it->second);
        }
    }
    // A background alone is not enough.
    gwtest::ConsoleCapture console;
    auto opacity = makeFilter("OpacityFilter");
    opacity->setValue("inputBackgroundImage", ftest::solid(2, 2, 1, 1, 1));
    EXPECT_TRUE(opacity->outputImage().isNull());
    EXPECT_TRUE(console.contains("NIL image supplied"));
}

TEST(OwnFilterContract, DefaultsAndStartValues) {
    const ci::Image image = ftest::solid(2, 2, 0.2f, 0.3f, 0.4f);
    gwtest::ConsoleCapture console;
    // setDefaults clears the image of the filters whose defaults say so...
    for (const char* name :
         {"UnsharpMaskFilter", "WhiteBalanceFilter", "ContrastFilter", "OpacityFilter", "ClarityFilter",
          "AutoAdjustFilter", "SplitToningFilter", "CenteredVignetteFilter", "FilmGrainFilter"}) {
        auto f = makeFilter(name);
        f->setValue("inputImage", image);
        f->setDefaults();
        EXPECT_TRUE(f->outputImage().isNull()) << name;
    }
    // ...and keeps it in the others.
    for (const char* name : {"RGBChannelToneCurve", "RGBChannelBrightnessAndContrast", "ChromaticAberration",
                             "RGBChannelGaussianBlur", "FPKuwaharaFilter"}) {
        auto f = makeFilter(name);
        f->setValue("inputImage", image);
        f->setDefaults();
        EXPECT_FALSE(f->outputImage().isNull()) << name;
    }

    auto hsv = makeFilter("MultiBandHSV");
    EXPECT_EQ(hsv->value("inputBlueShift").toVector()->components(), (std::vector<double>{0, 1, 1}));
    hsv->setValue("inputBlueShift", ci::Vector{0.5, 1, 1});
    EXPECT_EQ(hsv->value("inputBlueShift").toVector()->components(), (std::vector<double>{0.5, 1, 1}));
    EXPECT_TRUE(hsv->value("inputImage").isNone());
    EXPECT_TRUE(hsv->value("outputImage").isNone());
    hsv->setValue("inputImage", image);
    EXPECT_FALSE(hsv->value("outputImage").toImage().isNull());
    EXPECT_TRUE(hsv->value("inputAmount").isNone());
    EXPECT_EQ(console.lines().back(), "Invalid key: inputAmount");
}

TEST(OwnFilterContract, Attributes) {
    const ci::Attributes air = filters::imageOnlyAttributes("Air");
    EXPECT_EQ(air.size(), 2u);
    EXPECT_EQ(air[ci::attr::FilterDisplayName], "Air");
    EXPECT_EQ(air["inputImage"][ci::attr::Identity], 0);
    EXPECT_EQ(air["inputImage"][ci::attr::Class], "CIImage");
    EXPECT_EQ(air["inputImage"][ci::attr::DisplayName], "Image");
    EXPECT_EQ(air["inputImage"][ci::attr::Type], ci::attr::TypeImage);
    EXPECT_EQ(makeFilter("CZVividFilter")->attributes()[ci::attr::FilterDisplayName], "Vivid");
    EXPECT_EQ(makeFilter("CZCrystalFilter")->attributes().size(), 2u);

    const ci::Attributes contrast = makeFilter("ContrastFilter")->attributes();
    EXPECT_EQ(contrast.size(), 3u);
    EXPECT_EQ(contrast[ci::attr::FilterDisplayName], "Contrast");
    EXPECT_TRUE(contrast["inputContrast"][ci::attr::Min].is_number_float());
    EXPECT_EQ(contrast["inputContrast"][ci::attr::SliderMax], 4.0);
    EXPECT_FALSE(contrast.contains(ci::attr::FilterCategories));

    const ci::Attributes opacity = makeFilter("OpacityFilter")->attributes();
    EXPECT_EQ(opacity.size(), 4u);
    EXPECT_TRUE(opacity["inputOpacity"][ci::attr::Default].is_number_integer());
    EXPECT_EQ(opacity["inputBackgroundImage"][ci::attr::DisplayName], "Image");

    const ci::Attributes clarity = makeFilter("ClarityFilter")->attributes();
    EXPECT_TRUE(clarity["inputClarity"][ci::attr::Default].is_number_float());
    EXPECT_EQ(clarity["inputClarity"][ci::attr::Min], -1);
    EXPECT_TRUE(clarity["inputClarity"][ci::attr::Min].is_number_integer());

    const ci::Attributes vignette = makeFilter("CenteredVignetteFilter")->attributes();
    EXPECT_EQ(vignette["inputRadius"][ci::attr::Default], 0.5);
    EXPECT_EQ(vignette["inputIntensity"][ci::attr::Default], 0.75);

    const ci::Attributes hsv = makeFilter("MultiBandHSV")->attributes();
    EXPECT_EQ(hsv["inputPurpleShift"][ci::attr::DisplayName], "Purple Shift (HSL)");
    EXPECT_EQ(hsv["inputPurpleShift"][ci::attr::Default], ci::Attributes({0, 1, 1}));

    EXPECT_EQ(makeFilter("ChromaticAberration")->attributes()[ci::attr::FilterDisplayName],
              "Chromatic Abberation");
    EXPECT_EQ(makeFilter("RGBChannelCompositing")->attributes()["inputGreenImage"][ci::attr::DisplayName],
              "Green Image");
    EXPECT_EQ(makeFilter("RGBChannelToneCurve")->attributes()["inputBlueYvalues"][ci::attr::Description],
              "Blue tone curve 'y' values");
    EXPECT_EQ(makeFilter("WhiteBalanceFilter")->attributes()["inputTemperature"][ci::attr::Default], 6500.0);
    EXPECT_EQ(makeFilter("FilmGrainFilter")->attributes()["inputSize"][ci::attr::DisplayName], "Grain Size");
    EXPECT_EQ(makeFilter("UnsharpMaskFilter")->attributes()[ci::attr::FilterDisplayName], "Unsharp Mask");
}
