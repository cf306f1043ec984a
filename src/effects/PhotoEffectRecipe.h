#pragma once

// The recipes of the photo effects: constant chains of steps drawn from one eighteen-stage
// pipeline. The chains live in PhotoEffectTable.cpp, one row per effect.

#include "PhotoEffect.h"

#include "ci/core/Value.h"

#include <array>
#include <cstdint>
#include <span>

namespace effects {

/// The stages, in the order every chain applies them.
enum class Stage : uint8_t {
    AutoAdjust,
    WhiteBalance,
    Exposure,
    Contrast,
    Clarity,
    Vibrance,
    EarlySaturation, ///< colour controls before sharpening
    Sharpen,
    Unsharp,
    Denoise,
    Grain,
    HighlightShadow,
    HSV,
    RGBCurves,
    ToneCurve,
    LateSaturation, ///< colour controls after the curves
    SplitToning,
    Vignette,
};

inline constexpr int stageCount = 18;

/// How a stage's flat values map onto its inputs.
enum class ValueForm : uint8_t {
    None,    ///< no input besides the image
    Numbers, ///< one number per key
    Bands,   ///< one (x, y, z) vector per key
    Curves,  ///< one five-value Y vector per key; the X vectors are sent beside them
    Points,  ///< one (x, y) vector per key
};

struct StageInfo {
    const char* filterName;
    std::span<const char* const> keys; ///< in the order the values are stored
    ValueForm form;
    int valueCount;
};

/// One filter application of a chain: its stage and its values in key order, vectors flattened.
struct Step {
    Stage stage;
    std::array<double, 24> values{};
    bool integer = false; ///< the stage's single value is sent as an integer
};

const StageInfo& stageInfo(Stage stage);

/// The X values that every per-channel curve is sent with.
inline constexpr std::array<double, 5> curveXValues = {0, 0.25, 0.5, 0.75, 1};

/// The chain of the effect with that number; empty for an identity effect or an unknown number.
std::span<const Step> photoEffectRecipe(int number);

/// The input dictionary of one step: every key of its stage, never "inputImage".
ci::Dictionary stepInputs(const Step& step);

} // namespace effects
