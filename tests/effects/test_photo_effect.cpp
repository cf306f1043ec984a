// The effect object: its single input, identity effects, creation by number.

#include "effects/PhotoEffect.h"
#include "effects/PhotoEffectRecipe.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

ci::Image smallImage() {
    return ci::Image::fromBitmap(gwtest::makeBitmap(4, 3, [](int x, int y, float* p) {
        p[0] = 0.1f * x;
        p[1] = 0.2f * y;
        p[2] = 0.5f;
        p[3] = 1;
    }));
}

} // namespace

TEST(PhotoEffect, CreatedByNumberWithItsNameAndNoInput) {
    for (int n : {0, -1, 279, 1000})
        EXPECT_EQ(effects::makePhotoEffect(n), nullptr) << n;
    for (int n : {1, 146, 278}) {
        auto effect = effects::makePhotoEffect(n);
        ASSERT_NE(effect, nullptr);
        EXPECT_EQ(effect->name(), "GWPhotoEffect" + std::to_string(n));
        EXPECT_EQ(effect->inputKeys(), std::vector<std::string>{"inputImage"});
        EXPECT_TRUE(effect->value("inputImage").isNone());
        EXPECT_TRUE(effect->outputImage().isNull());
    }
    EXPECT_EQ(effects::photoEffectName(12), "GWPhotoEffect12");
    // Each request gives an independent object.
    auto a = effects::makePhotoEffect(5), b = effects::makePhotoEffect(5);
    EXPECT_NE(a, b);
    a->setValue("inputImage", smallImage());
    EXPECT_TRUE(b->value("inputImage").isNone());
}

TEST(PhotoEffect, NoInputImageGivesNoOutput) {
    for (int n : {1, 51, 147, 206, 278}) {
        auto effect = effects::makePhotoEffect(n);
        const ci::Image image = smallImage();
        EXPECT_EQ(effect->setValue("inputImage", image), ci::SetResult::Ok);
        EXPECT_EQ(effect->value("inputImage").toImage(), image);
        // Clearing the input, by an absent value, takes the output away again.
        EXPECT_EQ(effect->setValue("inputImage", ci::Value()), ci::SetResult::Ok);
        EXPECT_TRUE(effect->outputImage().isNull()) << n;
        // A value that is no image clears it too.
        effect->setValue("inputImage", image);
        EXPECT_EQ(effect->setValue("inputImage", ci::Value(1.0)), ci::SetResult::WrongKind);
        EXPECT_TRUE(effect->value("inputImage").isNone());
        EXPECT_TRUE(effect->outputImage().isNull()) << n;
    }
}

TEST(PhotoEffect, IdentityEffectsReturnTheirInputItself) {
    for (int n = 146; n <= 149; ++n) {
        auto effect = effects::makePhotoEffect(n);
        const ci::Image image = smallImage();
        effect->setValue("inputImage", image);
        EXPECT_EQ(effect->outputImage(), image) << n;
        EXPECT_EQ(effect->outputImage(), image) << n;
    }
}

TEST(PhotoEffect, UnknownKeysAreReportedAndIgnored) {
    auto effect = effects::makePhotoEffect(146);
    const ci::Image image = smallImage();
    effect->setValue("inputImage", image);
    gwtest::ConsoleCapture console;
    EXPECT_EQ(effect->setValue("inputAmount", ci::Value(2.0)), ci::SetResult::UnknownKey);
    EXPECT_EQ(effect->setValue("inputimage", ci::Value()), ci::SetResult::UnknownKey);
    EXPECT_EQ(console.lines(),
              (std::vector<std::string>{"Invalid key: inputAmount", "Invalid key: inputimage"}));
    EXPECT_EQ(effect->outputImage(), image);
}
