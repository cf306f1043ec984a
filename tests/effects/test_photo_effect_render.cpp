// Every effect on a real photo, through the real stage filters.

#include "effects/PhotoEffect.h"
#include "effects/PhotoEffectRecipe.h"

#include "ci/core/Context.h"

#include "support/TestSupport.h"

#include "EffectTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>

namespace {

class PhotoEffectRender : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { gwtest::registerAllFilters(); }

    void SetUp() override {
        photo_ = gwtest::loadPhoto("chelsea-small.png");
        ASSERT_FALSE(photo_.isNull());
    }

    /// The stage filters that cannot be created by name; an effect that needs one yields nothing.
    static std::set<std::string> missingStageFilters() {
        std::set<std::string> missing;
        for (int s = 0; s < effects::stageCount; ++s) {
            const char* name = effects::stageInfo(effects::Stage(s)).filterName;
            if (!ci::Filter::make(name))
                missing.insert(name);
        }
        return missing;
    }

    ci::Bitmap render(int number) {
        auto effect = effects::makePhotoEffect(number);
        effect->setValue("inputImage", photo_);
        const ci::Image out = effect->outputImage();
        if (out.isNull())
            return {};
        auto bitmap = context_.render(out, photo_.extent());
        return bitmap.ok() ? std::move(bitmap.value()) : ci::Bitmap();
    }

    ci::Image photo_;
    ci::Context context_;
};

} // namespace

TEST_F(PhotoEffectRender, EveryEffectRendersAFiniteImageOfTheInputSize) {
    const auto missing = missingStageFilters();
    std::string names;
    for (const auto& name : missing)
        names += " " + name;
    ASSERT_TRUE(missing.empty()) << "stage filters not available:" << names;

    const ci::Rect extent = photo_.extent();
    for (int n = 1; n <= effects::photoEffectCount; ++n) {
        SCOPED_TRACE(effects::photoEffectName(n));
        auto effect = effects::makePhotoEffect(n);
        effect->setValue("inputImage", photo_);
        const ci::Image out = effect->outputImage();
        ASSERT_FALSE(out.isNull());
        EXPECT_EQ(out.extent(), extent);
        auto bitmap = context_.render(out, extent);
        ASSERT_TRUE(bitmap.ok()) << bitmap.error();
        ASSERT_EQ(bitmap->width(), int64_t(extent.width()));
        ASSERT_EQ(bitmap->height(), int64_t(extent.height()));
        double alpha = 0;
        size_t bad = 0;
        for (int64_t y = bitmap->rect().y0; y < bitmap->rect().y1; ++y) {
            const float* row = bitmap->row(y);
            for (int64_t i = 0; i < bitmap->width() * 4; ++i)
                bad += !std::isfinite(row[i]);
            for (int64_t x = 0; x < bitmap->width(); ++x)
                alpha += row[4 * x + 3];
        }
        EXPECT_EQ(bad, 0u);
        // A real picture, not an empty or transparent one.
        EXPECT_GT(alpha / double(bitmap->width() * bitmap->height()), 0.5);
    }
}

TEST_F(PhotoEffectRender, EqualChainsGiveEqualPicturesAndDifferentOnesDiffer) {
    ASSERT_TRUE(missingStageFilters().empty());
    constexpr double tolerance = 1e-6;
    const ci::Bitmap e3 = render(3), e4 = render(4);
    ASSERT_FALSE(e3.isEmpty());
    EXPECT_LE(gwtest::maxDifference(e3, e4), tolerance);
    const ci::Bitmap e229 = render(229), e230 = render(230);
    ASSERT_FALSE(e229.isEmpty());
    EXPECT_LE(gwtest::maxDifference(e229, e230), tolerance);
    // Effects 1 and 2 differ only in the vignette.
    const ci::Bitmap e1 = render(1), e2 = render(2);
    EXPECT_GT(gwtest::maxDifference(e1, e2), 0.01);
    // Reading the output twice builds the same picture again.
    EXPECT_LE(gwtest::maxDifference(render(1), e1), tolerance);
    // An effect changes the photo.
    auto original = context_.render(photo_);
    ASSERT_TRUE(original.ok());
    EXPECT_GT(gwtest::maxDifference(e1, original.value()), 0.01);
}
