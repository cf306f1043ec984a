// The recipe table against the published chains: counts, stage order, key sets and exact values.

#include "effects/PhotoEffectRecipe.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

using effects::photoEffectRecipe;
using effects::Stage;
using effects::Step;

namespace {

// Steps per effect, 1 to 278, as the rows count them ("A A" counts two).
constexpr int expectedStepCounts[] = {
    13, 13, 13, 13, 14, 14, 14, 14, 12, 9,  9,  9,  9,  9,  12, 10, 12, 10, 10, 15, 10, 10, 10, 8,  10, 11,
    10, 11, 10, 11, 7,  9,  10, 10, 11, 4,  10, 5,  5,  5,  5,  7,  13, 10, 14, 13, 10, 13, 10, 7,  15, 13,
    9,  10, 11, 11, 10, 12, 10, 14, 14, 10, 11, 13, 10, 12, 4,  12, 12, 10, 9,  9,  10, 12, 12, 12, 12, 14,
    4,  4,  3,  3,  4,  4,  6,  6,  13, 11, 10, 9,  9,  11, 15, 5,  6,  14, 11, 9,  7,  13, 9,  13, 7,  5,
    7,  6,  5,  5,  12, 11, 8,  13, 11, 13, 12, 11, 14, 14, 14, 14, 15, 7,  8,  10, 11, 10, 9,  9,  11, 14,
    12, 13, 12, 9,  11, 12, 13, 13, 14, 14, 12, 14, 16, 10, 12, 0,  0,  0,  0,  14, 13, 14, 9,  7,  11, 13,
    10, 11, 7,  7,  12, 11, 13, 10, 13, 3,  3,  3,  3,  3,  4,  4,  4,  3,  3,  4,  4,  14, 13, 11, 13, 10,
    15, 9,  8,  9,  14, 10, 10, 13, 3,  11, 12, 6,  14, 9,  12, 13, 8,  13, 13, 14, 14, 6,  11, 12, 10, 11,
    11, 14, 10, 12, 11, 14, 12, 11, 10, 12, 10, 12, 11, 8,  11, 12, 11, 12, 11, 13, 10, 10, 10, 10, 10, 10,
    12, 10, 10, 10, 12, 10, 13, 11, 7,  4,  7,  8,  7,  9,  3,  8,  11, 11, 3,  6,  8,  8,  10, 9,  13, 9,
    9,  11, 11, 13, 9,  11, 10, 11, 10, 10, 10, 11, 9,  11, 12, 10, 13, 12,
};
static_assert(std::size(expectedStepCounts) == 278);

bool sameDouble(double a, double b) {
    return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
}

std::string describe(const std::vector<double>& v) {
    std::string s;
    for (double d : v) {
        char buf[40];
        std::snprintf(buf, sizeof buf, "%.17g ", d);
        s += buf;
    }
    return s;
}

/// A step as written in a row: the stage and its values, compared bit for bit.
struct Expected {
    Stage stage;
    std::vector<double> values;
    bool integer = false;
};

void expectChain(int number, const std::vector<Expected>& expected) {
    SCOPED_TRACE("GWPhotoEffect" + std::to_string(number));
    auto recipe = photoEffectRecipe(number);
    ASSERT_EQ(recipe.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE("step " + std::to_string(i + 1));
        const Step& step = recipe[i];
        const auto& want = expected[i];
        EXPECT_EQ(step.stage, want.stage);
        EXPECT_EQ(step.integer, want.integer);
        const int count = effects::stageInfo(step.stage).valueCount;
        ASSERT_EQ(size_t(count), want.values.size());
        std::vector<double> got(step.values.begin(), step.values.begin() + count);
        for (int k = 0; k < count; ++k)
            EXPECT_TRUE(sameDouble(got[k], want.values[k]))
                << "value " << k << ": got " << describe(got) << " want " << describe(want.values);
    }
}

std::vector<double> neutralBands() {
    std::vector<double> v;
    for (int i = 0; i < 8; ++i)
        v.insert(v.end(), {0, 1, 1});
    return v;
}

} // namespace

TEST(PhotoEffectTable, CountsOrderAndInvariantsOfEveryChain) {
    EXPECT_EQ(effects::photoEffectCount, 278);
    EXPECT_TRUE(photoEffectRecipe(0).empty());
    EXPECT_TRUE(photoEffectRecipe(279).empty());

    std::set<int> integerEffects, twiceAuto, identities;
    for (int n = 1; n <= 278; ++n) {
        SCOPED_TRACE("GWPhotoEffect" + std::to_string(n));
        auto recipe = photoEffectRecipe(n);
        EXPECT_EQ(int(recipe.size()), expectedStepCounts[n - 1]);
        if (recipe.empty())
            identities.insert(n);
        else
            EXPECT_TRUE(recipe.size() >= 3 && recipe.size() <= 16);

        bool early = false, late = false;
        for (size_t i = 0; i < recipe.size(); ++i) {
            const Step& step = recipe[i];
            if (i > 0) {
                // An ordered subsequence of the pipeline; only the automatic adjustment repeats.
                const Stage prev = recipe[i - 1].stage;
                EXPECT_TRUE(step.stage > prev || (step.stage == prev && step.stage == Stage::AutoAdjust))
                    << "step " << i + 1;
                if (step.stage == Stage::AutoAdjust && prev == Stage::AutoAdjust)
                    twiceAuto.insert(n);
            }
            early |= step.stage == Stage::EarlySaturation;
            late |= step.stage == Stage::LateSaturation;
            if (step.integer) {
                integerEffects.insert(n);
                EXPECT_EQ(step.stage, Stage::Sharpen);
                EXPECT_EQ(step.values[0], 2.0);
            }
            // Values beyond the stage's own count stay unused.
            const int count = effects::stageInfo(step.stage).valueCount;
            for (size_t k = count; k < step.values.size(); ++k)
                EXPECT_TRUE(sameDouble(step.values[k], 0.0));
            if (step.stage == Stage::Unsharp) {
                EXPECT_EQ(step.values[2], 0.4);
            }
            if (step.stage == Stage::Grain) {
                EXPECT_EQ(step.values[1], 0.0);
            }
            for (int k = 0; k < count; ++k)
                EXPECT_TRUE(std::isfinite(step.values[k]));
        }
        EXPECT_FALSE(early && late);
    }
    EXPECT_EQ(identities, (std::set<int>{146, 147, 148, 149}));
    EXPECT_EQ(integerEffects, (std::set<int>{51, 54, 108, 179, 206, 247}));
    EXPECT_EQ(twiceAuto, (std::set<int>{51, 183}));
}

TEST(PhotoEffectTable, StepInputsCarryFullKeySetsAndExactValues) {
    const std::vector<double> xs = {0, 0.25, 0.5, 0.75, 1};
    for (int n = 1; n <= 278; ++n) {
        SCOPED_TRACE("GWPhotoEffect" + std::to_string(n));
        for (const Step& step : photoEffectRecipe(n)) {
            const auto& info = effects::stageInfo(step.stage);
            const ci::Dictionary inputs = effects::stepInputs(step);
            EXPECT_EQ(inputs.count("inputImage"), 0u);
            std::set<std::string> keys;
            for (const auto& [key, value] : inputs)
                keys.insert(key);
            std::set<std::string> want(info.keys.begin(), info.keys.end());
            if (step.stage == Stage::RGBCurves)
                want.insert({"inputRedXvalues", "inputGreenXvalues", "inputBlueXvalues"});
            EXPECT_EQ(keys, want) << info.filterName;

            switch (step.stage) {
            case Stage::AutoAdjust:
                EXPECT_TRUE(inputs.empty());
                break;
            case Stage::HSV:
                for (size_t i = 0; i < 8; ++i) {
                    const ci::Vector* v = inputs.at(info.keys[i]).toVector();
                    ASSERT_NE(v, nullptr);
                    EXPECT_EQ(v->count(), 3u);
                    for (size_t k = 0; k < 3; ++k)
                        EXPECT_TRUE(sameDouble(v->at(k), step.values[3 * i + k]));
                }
                break;
            case Stage::RGBCurves:
                ASSERT_EQ(inputs.size(), 6u);
                for (const char* key : {"inputRedXvalues", "inputGreenXvalues", "inputBlueXvalues"})
                    EXPECT_EQ(inputs.at(key).toVector()->components(), xs);
                for (size_t i = 0; i < 3; ++i) {
                    const ci::Vector* v = inputs.at(info.keys[i]).toVector();
                    ASSERT_NE(v, nullptr);
                    ASSERT_EQ(v->count(), 5u);
                    for (size_t k = 0; k < 5; ++k)
                        EXPECT_TRUE(sameDouble(v->at(k), step.values[5 * i + k]));
                }
                break;
            case Stage::ToneCurve:
                for (size_t i = 0; i < 5; ++i) {
                    const ci::Vector* v = inputs.at(info.keys[i]).toVector();
                    ASSERT_NE(v, nullptr);
                    EXPECT_EQ(v->count(), 2u);
                    EXPECT_TRUE(sameDouble(v->x(), step.values[2 * i]));
                    EXPECT_TRUE(sameDouble(v->y(), step.values[2 * i + 1]));
                }
                break;
            default:
                for (size_t i = 0; i < info.keys.size(); ++i) {
                    auto number = inputs.at(info.keys[i]).toNumber();
                    ASSERT_TRUE(number.has_value());
                    EXPECT_TRUE(sameDouble(*number, step.values[i])) << info.keys[i];
                }
            }
        }
    }
}

TEST(PhotoEffectTable, ChainsMatchTheRowsValueForValue) {
    using enum Stage;
    // The first effect: exact doubles one unit off a short decimal, and a negative-zero intensity.
    expectChain(1, {
                       {Exposure, {1}},
                       {Contrast, {1.125}},
                       {Clarity, {-0.1}},
                       {Vibrance, {0.25}},
                       {EarlySaturation, {0.84}},
                       {Sharpen, {1.24}},
                       {Unsharp, {0.16, 1.4, 0.4}},
                       {Denoise, {0.023, 0.1}},
                       {Grain, {0.27, 0}},
                       {HighlightShadow, {-0.01, 0.6799999999999999}},
                       {ToneCurve, {0, 0.196078, 0.25, 0.305274, 0.5, 0.500285, 0.75, 0.719481, 1, 0.94902}},
                       {SplitToning, {0.15, 0.22, 0.7333, 0.26}},
                       {Vignette, {0.5, -0.0, 0.5}},
                   });
    EXPECT_NE(photoEffectRecipe(1)[9].values[1], 0.68);
    EXPECT_TRUE(std::signbit(photoEffectRecipe(1)[12].values[1]));

    // Automatic adjustment twice and an integer sharpness.
    expectChain(
        51, {
                {AutoAdjust, {}},
                {AutoAdjust, {}},
                {Exposure, {0.67}},
                {Contrast, {1.125}},
                {Clarity, {0.5}},
                {Vibrance, {0.29}},
                {EarlySaturation, {0.79}},
                {Sharpen, {2}, true},
                {Unsharp, {0.25, 1, 0.4}},
                {Denoise, {0.025, 0}},
                {HighlightShadow, {0.21, 1}},
                {HSV, {0, 1, 1, 0, 1.26, 1, 0, 1.45, 1, 0, 0.83, 1, 0, 1.5, 1, 0, 1.36, 1, 0, 1, 1, 0, 1, 1}},
                {ToneCurve, {0, 0, 0.25, 0.218497, 0.5, 0.499833, 0.75, 0.76554, 1, 1}},
                {SplitToning, {0.1417, 0.45, 0.6583, 0.37}},
                {Vignette, {0.5, -0.0, 0.5}},
            });

    // Per-channel curves: the blue channel left on the identity.
    auto e8 = photoEffectRecipe(8);
    ASSERT_EQ(e8[10].stage, RGBCurves);
    for (int k = 0; k < 5; ++k)
        EXPECT_EQ(e8[10].values[10 + k], k * 0.25);
    EXPECT_EQ(e8[10].values[6], 0.254902);

    // Second table form: named bands, the word integer.
    expectChain(108, {
                         {Clarity, {-0.3}},
                         {EarlySaturation, {1.2}},
                         {Sharpen, {2}, true},
                         {Unsharp, {0, 3, 0.4}},
                         {Denoise, {0.1, 0.1}},
                     });
    std::vector<double> bands101 = neutralBands();
    const double orange[] = {-0.0025, 1.07, 1}, yellow[] = {-0.0663, 0.48, 0.82},
                 green[] = {-0.0525, 0.45, 0.83}, aqua[] = {0, 1, 0.96}, blue[] = {0, 1, 0.94};
    std::copy(orange, orange + 3, bands101.begin() + 3);
    std::copy(yellow, yellow + 3, bands101.begin() + 6);
    std::copy(green, green + 3, bands101.begin() + 9);
    std::copy(aqua, aqua + 3, bands101.begin() + 12);
    std::copy(blue, blue + 3, bands101.begin() + 15);
    expectChain(101, {
                         {WhiteBalance, {5500, 0}},
                         {Exposure, {-0.25}},
                         {Contrast, {1.23}},
                         {Vibrance, {-0.18}},
                         {HighlightShadow, {0.29, 0.5}},
                         {HSV, bands101},
                         {ToneCurve, {0, 0, 0.25, 0.220021, 0.5, 0.495047, 0.75, 0.77255, 1, 1}},
                         {SplitToning, {0, 0, 0.4889, 0.12}},
                         {Vignette, {0.5, -0.0, 0.5}},
                     });
    EXPECT_TRUE(sameDouble(photoEffectRecipe(100)[8].values[1], 0.45999999999999996));
    auto e156 = photoEffectRecipe(156);
    EXPECT_EQ(e156.back().stage, Vignette);
    EXPECT_EQ(std::vector<double>(e156.back().values.begin(), e156.back().values.begin() + 3),
              (std::vector<double>{0.52, -0.14, 1}));

    // Prose form: stage words, "(integer)", and the colour controls placed by their neighbours.
    expectChain(204, {
                         {EarlySaturation, {0.26}},
                         {Grain, {0.25, 0}},
                         {HighlightShadow, {0.33, 0.3}},
                         {HSV, {-0.0025, 1, 1, -0.0088, 0.87, 1.82, 0, 1.09, 1, 0, 1, 1,
                                0,       1, 1, 0,       1,    1,    0, 1,    1, 0, 1, 1}},
                         {SplitToning, {0.0472, 0.06, 0.1667, 0.08}},
                         {Vignette, {0.5, -0.0, 0.5}},
                     });
    auto e206 = photoEffectRecipe(206);
    ASSERT_EQ(e206.size(), 12u);
    EXPECT_EQ(e206[2].stage, Sharpen);
    EXPECT_TRUE(e206[2].integer);
    EXPECT_EQ(e206[9].stage, LateSaturation);
    EXPECT_EQ(e206[9].values[0], 0.001);
    expectChain(249, {{Exposure, {0.71}}, {Contrast, {1.165}}, {Clarity, {0.64}}});
    auto e244 = photoEffectRecipe(244);
    EXPECT_EQ(e244.back().stage, ToneCurve);
    EXPECT_EQ(e244.back().values[8], 0.9565);
    EXPECT_EQ(e244.back().values[9], 1.0);
    EXPECT_TRUE(sameDouble(photoEffectRecipe(247).back().values[1], 0.6699999999999999));
}

TEST(PhotoEffectTable, SameRecipeAliasesAreResolvedToFullChains) {
    auto same = [](int a, int b) {
        auto ra = photoEffectRecipe(a), rb = photoEffectRecipe(b);
        if (ra.size() != rb.size() || ra.empty())
            return false;
        for (size_t i = 0; i < ra.size(); ++i) {
            if (ra[i].stage != rb[i].stage || ra[i].integer != rb[i].integer)
                return false;
            for (size_t k = 0; k < ra[i].values.size(); ++k)
                if (!sameDouble(ra[i].values[k], rb[i].values[k]))
                    return false;
        }
        return true;
    };
    // Written as "same recipe as" another member.
    EXPECT_TRUE(same(229, 230));
    EXPECT_TRUE(same(266, 263));
    // Written out in full, yet equal.
    EXPECT_TRUE(same(3, 4));
    EXPECT_TRUE(same(60, 61));
    EXPECT_TRUE(same(75, 76));
    EXPECT_TRUE(same(227, 272));
    EXPECT_TRUE(same(257, 271));
    EXPECT_TRUE(same(258, 265));
    EXPECT_TRUE(same(260, 273));
    EXPECT_TRUE(same(261, 273));
    EXPECT_FALSE(same(1, 2));
    EXPECT_FALSE(same(159, 160));

    // The alias's own chain, checked against its target's row: only the red band of the HSV
    // step shifts, and the chain ends with split toning.
    auto e229 = photoEffectRecipe(229);
    ASSERT_FALSE(e229.empty());
    EXPECT_EQ(e229.back().stage, Stage::SplitToning);
    EXPECT_TRUE(sameDouble(e229[0].values[0], photoEffectRecipe(230)[0].values[0]));
    for (const Step& step : e229) {
        if (step.stage == Stage::HSV) {
            const auto neutral = neutralBands();
            for (size_t k = 3; k < 24; ++k)
                EXPECT_EQ(step.values[k], neutral[k]);
        }
        if (step.stage == Stage::HighlightShadow) {
            EXPECT_TRUE(sameDouble(step.values[1], 0.5900000000000001));
        }
    }
}
