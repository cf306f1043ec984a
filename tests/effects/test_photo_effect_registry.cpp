// The effects among the system's registered names: created by name like any other filter.

#include "effects/PhotoEffect.h"

#include "filters/Registry.h"

#include "EffectTestSupport.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

TEST(PhotoEffectRegistry, AllNamesRegisteredInOrderAndCreatedByName) {
    gwtest::registerAllFilters();

    const auto& names = filters::customFilterNames();
    ASSERT_EQ(names.size(), 315u);
    for (int n = 1; n <= effects::photoEffectCount; ++n) {
        const std::string name = effects::photoEffectName(n);
        EXPECT_EQ(names[37 + n - 1], name); // position 37 + n, counted from 1
        EXPECT_TRUE(ci::FilterRegistry::isRegistered(name)) << name;
        auto a = ci::Filter::make(name), b = ci::Filter::make(name);
        ASSERT_NE(a, nullptr) << name;
        EXPECT_NE(a, b);
        EXPECT_EQ(a->name(), name);
        EXPECT_EQ(a->inputKeys(), std::vector<std::string>{"inputImage"});
        EXPECT_TRUE(a->outputImage().isNull());
    }
    for (const char* unknown : {"GWPhotoEffect0", "GWPhotoEffect279", "gwphotoeffect1", "GWPhotoEffect01",
                                "GWPhotoEffect1 ", "PhotoEffect1"}) {
        EXPECT_EQ(ci::Filter::make(unknown), nullptr) << unknown;
        EXPECT_EQ(filters::makeFilter(unknown), nullptr) << unknown;
    }
}
