#include "Registry.h"

#include "ChannelFilters.h"
#include "ColorBalance.h"
#include "ContrastAndOpacity.h"
#include "FilmGrainFilter.h"
#include "FixedLooks.h"
#include "KuwaharaFilter.h"
#include "MultiBandHSV.h"
#include "SplitToningAndVignette.h"
#include "UnsharpMaskAndClarity.h"

#include "actions/FacePrivacyActions.h"
#include "actions/GeometryActions.h"
#include "actions/WatermarkActions.h"
#include "effects/PhotoEffect.h"

#include <unordered_map>

namespace filters {

namespace {

using Factory = std::shared_ptr<ci::Filter> (*)();

template <class T> std::shared_ptr<ci::Filter> create() {
    return std::make_shared<T>();
}

struct Entry {
    const char* name;
    Factory factory;
};

// Positions 1 to 37 of the registered names.
constexpr Entry ownFilters[] = {
    {"IMCropAction", create<actions::CropAction>},
    {"IMFlipHorizontallyAction", create<actions::FlipHorizontallyAction>},
    {"IMFlipVerticallyAction", create<actions::FlipVerticallyAction>},
    {"IMResizeAction", create<actions::ResizeAction>},
    {"IMRotateAction", create<actions::RotateAction>},
    {"IMScaleAction", create<actions::ScaleAction>},
    {"IMWatermarkImageAction", create<actions::WatermarkImageAction>},
    {"IMWatermarkImageFillAction", create<actions::WatermarkImageFillAction>},
    {"IMWatermarkTextAction", create<actions::WatermarkTextAction>},
    {"IMWatermarkTextFillAction", create<actions::WatermarkTextFillAction>},
    {"IMFacePixellate", create<actions::FacePixellateAction>},
    {"IMFaceBlur", create<actions::FaceBlurAction>},
    {"IMAdjustTemperature", create<AdjustTemperature>},
    {"IMAdjustTint", create<AdjustTint>},
    {"IMFX1", create<IMFX1>},
    {"CZAirFilter", create<CZAirFilter>},
    {"CZCrystalFilter", create<CZCrystalFilter>},
    {"CZVividFilter", create<CZVividFilter>},
    {"FPKuwaharaFilter", create<FPKuwaharaFilter>},
    {"MultiBandHSV", create<MultiBandHSV>},
    {"SplitToningFilter", create<SplitToningFilter>},
    {"FilmGrainFilter", create<FilmGrainFilter>},
    {"CenteredVignetteFilter", create<CenteredVignetteFilter>},
    {"UnsharpMaskFilter", create<UnsharpMaskFilter>},
    {"ClarityFilter", create<ClarityFilter>},
    {"AutoAdjustFilter", create<AutoAdjustFilter>},
    {"RGBChannelCompositing", create<RGBChannelCompositing>},
    {"RGBChannelToneCurve", create<RGBChannelToneCurve>},
    {"RGBChannelBrightnessAndContrast", create<RGBChannelBrightnessAndContrast>},
    {"ChromaticAberration", create<ChromaticAberration>},
    {"RGBChannelGaussianBlur", create<RGBChannelGaussianBlur>},
    {"WhiteBalanceFilter", create<WhiteBalanceFilter>},
    {"ContrastFilter", create<ContrastFilter>},
    {"OpacityFilter", create<OpacityFilter>},
    {"ShiftHues", create<ShiftHues>},
    {"ShiftSaturations", create<ShiftSaturations>},
    {"IMTestAction", create<TestAction>},
};

// Name to own-filter factory, or to the photo effect's number.
struct Target {
    Factory factory = nullptr;
    int effect = 0;
};

const std::unordered_map<std::string, Target>& lookup() {
    static const std::unordered_map<std::string, Target> table = [] {
        std::unordered_map<std::string, Target> t;
        for (const Entry& e : ownFilters)
            t.emplace(e.name, Target{e.factory, 0});
        for (int n = 1; n <= effects::photoEffectCount; ++n)
            t.emplace(effects::photoEffectName(n), Target{nullptr, n});
        return t;
    }();
    return table;
}

} // namespace

const std::vector<std::string>& customFilterNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> v;
        for (const Entry& e : ownFilters)
            v.emplace_back(e.name);
        for (int n = 1; n <= effects::photoEffectCount; ++n)
            v.push_back(effects::photoEffectName(n));
        return v;
    }();
    return names;
}

std::shared_ptr<ci::Filter> makeFilter(const std::string& name) {
    const auto& table = lookup();
    const auto it = table.find(name);
    if (it == table.end())
        return nullptr;
    std::shared_ptr<ci::Filter> filter;
    if (it->second.effect > 0)
        filter = effects::makePhotoEffect(it->second.effect);
    else if (it->second.factory)
        filter = it->second.factory();
    if (filter)
        filter->setName(name);
    return filter;
}

std::shared_ptr<ci::Filter> CustomCIActionGenerator::filterWithName(const std::string& name) {
    return makeFilter(name);
}

void registerCustomFilters(const Registrar& registrar) {
    for (const std::string& name : customFilterNames())
        registrar(name, std::make_shared<CustomCIActionGenerator>(), ci::Attributes::object());
}

void registerCustomFilters() {
    registerCustomFilters(ci::FilterRegistry::registerFilterName);
}

} // namespace filters
