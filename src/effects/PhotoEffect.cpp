#include "PhotoEffect.h"

#include "PhotoEffectRecipe.h"

#include "ci/core/Console.h"

namespace effects {

namespace {

constexpr const char* whiteBalanceKeys[] = {"inputTemperature", "inputTint"};
constexpr const char* exposureKeys[] = {"inputEV"};
constexpr const char* contrastKeys[] = {"inputContrast"};
constexpr const char* clarityKeys[] = {"inputClarity"};
constexpr const char* amountKeys[] = {"inputAmount"};
constexpr const char* saturationKeys[] = {"inputSaturation"};
constexpr const char* sharpnessKeys[] = {"inputSharpness"};
constexpr const char* unsharpKeys[] = {"inputAmount", "inputRadius", "inputThreshold"};
constexpr const char* denoiseKeys[] = {"inputNoiseLevel", "inputSharpness"};
constexpr const char* grainKeys[] = {"inputAmount", "inputSize"};
constexpr const char* highlightShadowKeys[] = {"inputShadowAmount", "inputHighlightAmount"};
constexpr const char* bandKeys[] = {"inputRedShift",    "inputOrangeShift", "inputYellowShift",
                                    "inputGreenShift",  "inputAquaShift",   "inputBlueShift",
                                    "inputPurpleShift", "inputMagentaShift"};
constexpr const char* curveYKeys[] = {"inputRedYvalues", "inputGreenYvalues", "inputBlueYvalues"};
constexpr const char* curveXKeys[] = {"inputRedXvalues", "inputGreenXvalues", "inputBlueXvalues"};
constexpr const char* pointKeys[] = {"inputPoint0", "inputPoint1", "inputPoint2", "inputPoint3",
                                     "inputPoint4"};
constexpr const char* splitToningKeys[] = {"inputHighlightHue", "inputHighlightSaturation", "inputShadowHue",
                                           "inputShadowSaturation"};
constexpr const char* vignetteKeys[] = {"inputRadius", "inputIntensity", "inputFalloff"};

using enum ValueForm;

// Indexed by Stage.
const StageInfo stages[stageCount] = {
    {"AutoAdjustFilter", {}, None, 0},
    {"WhiteBalanceFilter", whiteBalanceKeys, Numbers, 2},
    {"CIExposureAdjust", exposureKeys, Numbers, 1},
    {"ContrastFilter", contrastKeys, Numbers, 1},
    {"ClarityFilter", clarityKeys, Numbers, 1},
    {"CIVibrance", amountKeys, Numbers, 1},
    {"CIColorControls", saturationKeys, Numbers, 1},
    {"CISharpenLuminance", sharpnessKeys, Numbers, 1},
    {"UnsharpMaskFilter", unsharpKeys, Numbers, 3},
    {"CINoiseReduction", denoiseKeys, Numbers, 2},
    {"FilmGrainFilter", grainKeys, Numbers, 2},
    {"CIHighlightShadowAdjust", highlightShadowKeys, Numbers, 2},
    {"MultiBandHSV", bandKeys, Bands, 24},
    {"RGBChannelToneCurve", curveYKeys, Curves, 15},
    {"CIToneCurve", pointKeys, Points, 10},
    {"CIColorControls", saturationKeys, Numbers, 1},
    {"SplitToningFilter", splitToningKeys, Numbers, 4},
    {"CenteredVignetteFilter", vignetteKeys, Numbers, 3},
};

/// A photo effect: the single input "inputImage", and an output built afresh from the recipe on
/// every read, so nothing is cached between reads.
class PhotoEffectFilter final : public ci::Filter {
  public:
    explicit PhotoEffectFilter(std::span<const Step> recipe) : recipe_(recipe) {}

    ci::SetResult setValue(const std::string& key, const ci::Value& value) override {
        if (key != "inputImage") {
            ci::console("Invalid key: " + key);
            return ci::SetResult::UnknownKey;
        }
        inputImage_ = value.toImage();
        if (!value.isNone() && value.kind() != ci::ValueKind::Image)
            return ci::SetResult::WrongKind;
        return ci::SetResult::Ok;
    }

    ci::Value value(const std::string& key) const override {
        if (key == "inputImage" && inputImage_)
            return inputImage_;
        return {};
    }

    std::vector<std::string> inputKeys() const override { return {"inputImage"}; }

    ci::Image outputImage() override {
        // An identity effect hands back the very image it was given.
        ci::Image current = inputImage_;
        for (const Step& step : recipe_) {
            if (!current)
                break;
            current = current.applyingFilter(stageInfo(step.stage).filterName, stepInputs(step));
        }
        return current;
    }

  private:
    std::span<const Step> recipe_;
    ci::Image inputImage_;
};

} // namespace

const StageInfo& stageInfo(Stage stage) {
    return stages[static_cast<int>(stage)];
}

ci::Dictionary stepInputs(const Step& step) {
    const StageInfo& info = stageInfo(step.stage);
    const auto& v = step.values;
    ci::Dictionary inputs;
    switch (info.form) {
    case None:
        break;
    case Numbers:
        for (size_t i = 0; i < info.keys.size(); ++i) {
            if (step.integer)
                inputs[info.keys[i]] = ci::Value(static_cast<int>(v[i]));
            else
                inputs[info.keys[i]] = ci::Value(v[i]);
        }
        break;
    case Bands:
        for (size_t i = 0; i < info.keys.size(); ++i)
            inputs[info.keys[i]] = ci::Vector{v[3 * i], v[3 * i + 1], v[3 * i + 2]};
        break;
    case Curves: {
        const ci::Vector x(std::vector<double>(curveXValues.begin(), curveXValues.end()));
        for (size_t i = 0; i < info.keys.size(); ++i) {
            inputs[info.keys[i]] = ci::Vector(std::vector<double>(v.begin() + 5 * i, v.begin() + 5 * i + 5));
            inputs[curveXKeys[i]] = x;
        }
        break;
    }
    case Points:
        for (size_t i = 0; i < info.keys.size(); ++i)
            inputs[info.keys[i]] = ci::Vector{v[2 * i], v[2 * i + 1]};
        break;
    }
    return inputs;
}

std::shared_ptr<ci::Filter> makePhotoEffect(int number) {
    if (number < 1 || number > photoEffectCount)
        return nullptr;
    auto effect = std::make_shared<PhotoEffectFilter>(photoEffectRecipe(number));
    effect->setName(photoEffectName(number));
    return effect;
}

std::string photoEffectName(int number) {
    return "GWPhotoEffect" + std::to_string(number);
}

} // namespace effects
