#include "PostCounter.h"
#include "support/TestSupport.h"

#include "model/FilterParamValue.h"

#include <gtest/gtest.h>

using namespace model;

namespace {

std::shared_ptr<FilterParamValue> decoded(const Json& j) {
    return FilterParamValue::decode(KeyedContainer(Json::parse(j.dump()), ""));
}

ci::Vector vectorOf(const ci::Value& v) {
    EXPECT_EQ(v.kind(), ci::ValueKind::Vector);
    return v.toVector() ? *v.toVector() : ci::Vector{};
}

} // namespace

TEST(FilterParamValue, ConvertsEveryTypeIntoAFilterInput) {
    auto ranged = FilterParamValue::numeric(7.5, 0, 5); // the range is not enforced
    EXPECT_EQ(ranged->type(), 0);
    EXPECT_EQ(ranged->coreImageValue(10, 10).toNumber(), 7.5);
    EXPECT_EQ(FilterParamValue::number(3)->coreImageValue(10, 10).toNumber(), 3.0);

    auto relative = FilterParamValue::relativeNumeric(NumericValue::make(50, 1));
    EXPECT_EQ(relative->coreImageValue(1001, 10).toNumber(), 500.5);
    const double byMeasure[] = {50, 150, 200, 200, 150, 50}; // measures 0 to 5 on 300 x 400
    for (int64_t measure = 0; measure <= 5; ++measure) {
        relative->relativeNumericV()->setMeasure(measure);
        EXPECT_EQ(relative->coreImageValue(300, 400).toNumber(), byMeasure[measure]) << measure;
    }

    auto color = FilterParamValue::color(ColorValue::make(255, 0, 51, 255));
    const ci::Value c = color->coreImageValue(10, 10);
    ASSERT_EQ(c.kind(), ci::ValueKind::Color);
    EXPECT_DOUBLE_EQ(c.toColor()->b, 0.2);

    EXPECT_EQ(FilterParamValue::boolean(BooleanValue::make(false, "t"))->coreImageValue(1, 1).toBool(),
              false);
    EXPECT_EQ(*FilterParamValue::string("Created with")->coreImageValue(1, 1).toString(), "Created with");
    EXPECT_EQ(*FilterParamValue::font(FontValue::make("Nimbus Sans"))->coreImageValue(1, 1).toString(),
              "Nimbus Sans");

    // Positions: anchor plus offsets truncated toward zero.
    auto p = FilterParamValue::point(std::make_shared<PointValue>(NumericValue::make(10, 1),
                                                                  NumericValue::make(-5, 2),
                                                                  GravityValue::make(4)),
                                     false);
    EXPECT_EQ(vectorOf(p->coreImageValue(1000, 500)), (ci::Vector{600.0, 225.0}));
    auto nearCorner = FilterParamValue::point(PointValue::make(-0.7, 0.9, GravityValue::make(6)), false);
    EXPECT_EQ(vectorOf(nearCorner->coreImageValue(100, 100)), (ci::Vector{0.0, 0.0}));

    // Placements: offsets and the gravity code, nothing added or truncated.
    auto placement = FilterParamValue::point(std::make_shared<PointValue>(NumericValue::make(10, 1),
                                                                          NumericValue::make(20.5, 0),
                                                                          GravityValue::make(8)),
                                             true);
    EXPECT_EQ(vectorOf(placement->coreImageValue(1000, 500)), (ci::Vector{100.0, 20.5, 8.0}));

    // An offset that is no pixel position gives nothing rather than a wrapped integer.
    auto huge = FilterParamValue::point(PointValue::make(1e300, 0, GravityValue::make(4)), false);
    EXPECT_TRUE(huge->coreImageValue(10, 10).isNone());

    gwtest::ConsoleCapture console;
    auto badGravity = FilterParamValue::point(PointValue::make(3, 4, GravityValue::make(12)), false);
    EXPECT_EQ(vectorOf(badGravity->coreImageValue(10, 10)), (ci::Vector{3.0, 4.0}));
    EXPECT_EQ(console.lines().size(), 2u);

    auto unset = FilterParamValue::number(18966);
    for (int64_t type : {10, 9, -1, 11}) {
        unset->setType(type);
        EXPECT_EQ(unset->coreImageValue(10, 10).toNumber(), 0.0) << type;
    }
    EXPECT_EQ(console.lines().size(), 6u);
    EXPECT_EQ(console.lines().back(), "Reached here!!!! ⛔️");
}

TEST(FilterParamValue, ImageSlotReadsTheFile) {
    auto image = FilterParamValue::image(metalRoofImage());
    const ci::Value v = image->coreImageValue(10, 10);
    ASSERT_EQ(v.kind(), ci::ValueKind::Image);
    EXPECT_EQ(v.toImage().extent(), ci::Rect::make(0, 0, 512, 512));

    auto missing = FilterParamValue::image(ImageValue::make(QUrl::fromLocalFile("/nonexistent/x.png")));
    EXPECT_TRUE(missing->coreImageValue(10, 10).isNone());
}

TEST(FilterParamValue, PredicatesFollowTheType) {
    auto v = FilterParamValue::number(1);
    for (int64_t type = -1; type <= 11; ++type) {
        v->setType(type);
        const int trueCount = v->isNumeric() + v->isRelativeNumeric() + v->isColor() + v->isImage() +
                              v->isPoint() + v->isBoolean() + v->isString() + v->isFont();
        EXPECT_EQ(trueCount, type >= 0 && type <= 8 ? 1 : 0) << type;
    }
    v->setType(1);
    EXPECT_TRUE(v->isNumeric());
    v->setType(2);
    EXPECT_FALSE(v->isNumeric());
    EXPECT_TRUE(v->isRelativeNumeric());
}

TEST(FilterParamValue, OnlyNumberRelativeNumberAndStringSettersPost) {
    gwtest::PostCounter posts;
    auto v = FilterParamValue::string("a");
    v->setNumericV(1);
    v->setRelativeNumericV(NumericValue::make(1, 0));
    v->setStringV("a"); // unchanged still posts
    EXPECT_EQ(posts.take(), 3);
    v->setColorV(ColorValue::make(1, 2, 3, 4));
    v->setImageV(ImageValue::make(QUrl::fromLocalFile("/x.png")));
    v->setPointV(PointValue::make(1, 2, GravityValue::make(0)));
    v->setFontV(FontValue::make("x"));
    v->setNumericMinV(1);
    v->setNumericMaxV(2);
    v->setBooleanV(BooleanValue::make(true, ""));
    v->setDontCalculatePoints(true);
    v->setType(3);
    EXPECT_EQ(posts.take(), 0);
}

TEST(FilterParamValue, SlotsShareObjectsUntilDecoded) {
    auto s = FilterParamValue::string("x");
    EXPECT_EQ(s->colorV(), clearWhiteColor());
    EXPECT_EQ(s->imageV(), placeholderImage());
    EXPECT_EQ(s->pointV(), defaultPoint());
    EXPECT_EQ(s->fontV(), helveticaFont());
    EXPECT_EQ(s->relativeNumericV(), zeroNumber());
    EXPECT_EQ(s->booleanV(), defaultBoolean());

    const Json j = s->encode();
    std::vector<std::string> keys;
    for (auto it = j.begin(); it != j.end(); ++it)
        keys.push_back(it.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"colorV", "imageV", "pointV", "fontV", "numericV",
                                              "numericMinV", "numericMaxV", "relativeNumericV", "booleanV",
                                              "stringV", "dontCalculatePoints", "type"}));
    EXPECT_EQ(j["colorV"].dump(), R"({"redK":255,"greenK":255,"blueK":255,"alphaK":0})");
    EXPECT_EQ(j["type"], 7);

    auto point = PointValue::make(5, 6, GravityValue::make(2));
    auto a = FilterParamValue::point(point, false);
    auto b = FilterParamValue::point(point, false);
    a->pointV()->x()->setN(42);
    EXPECT_EQ(b->pointV()->x()->n(), 42);

    gwtest::PostCounter posts;
    auto a2 = decoded(a->encode());
    auto b2 = decoded(b->encode());
    EXPECT_EQ(posts.count(), 0);
    EXPECT_NE(a2->pointV(), b2->pointV());
    EXPECT_NE(a2->colorV(), clearWhiteColor());
    EXPECT_NE(a2->booleanV(), defaultBoolean());
    a2->pointV()->x()->setN(1);
    EXPECT_EQ(b2->pointV()->x()->n(), 42);
    EXPECT_EQ(a2->type(), 5);
    EXPECT_EQ(a2->pointV()->gravity()->g(), 2);
    EXPECT_EQ(a2->imageV()->u(), placeholderImage()->u());

    Json missing = a->encode();
    missing.erase("dontCalculatePoints");
    EXPECT_THROW(decoded(missing), CodingError);
    Json wrong = a->encode();
    wrong["pointV"]["gravity"]["g"] = "4";
    EXPECT_THROW(decoded(wrong), CodingError);
}
