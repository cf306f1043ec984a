#include "PostCounter.h"
#include "support/TestSupport.h"

#include "model/ParameterValues.h"

#include <gtest/gtest.h>

#include <QFileInfo>

using namespace model;

namespace {

std::vector<std::string> keysOf(const Json& j) {
    std::vector<std::string> keys;
    for (auto it = j.begin(); it != j.end(); ++it)
        keys.push_back(it.key());
    return keys;
}

template <class T> std::shared_ptr<T> roundTrip(const T& value) {
    return T::decode(KeyedContainer(Json::parse(value.encode().dump()), ""));
}

} // namespace

TEST(NumericValue, RelativeValueReadsTheMeasureAgainstTheImage) {
    EXPECT_DOUBLE_EQ(NumericValue(50, 1).relativeValue(1001, 10), 500.5);
    EXPECT_DOUBLE_EQ(NumericValue(50, 2).relativeValue(1001, 10), 5.0);
    EXPECT_DOUBLE_EQ(NumericValue(50, 3).relativeValue(300, 400), 200.0);
    EXPECT_DOUBLE_EQ(NumericValue(50, 4).relativeValue(300, 400), 150.0);
    for (int64_t measure : {0, 5, -1})
        EXPECT_DOUBLE_EQ(NumericValue(50, measure).relativeValue(300, 400), 50.0) << measure;
    // Divided first, then multiplied: 1.5 percent of 1000 is exactly 15.
    EXPECT_DOUBLE_EQ(NumericValue(1.5, 1).relativeValue(1000, 1), 1.5 / 100.0 * 1000.0);
}

TEST(GravityValue, AnchorsTruncateHalvesAndRejectUnknownCodes) {
    EXPECT_EQ(GravityValue(4).anchor(101, 51), (Anchor{50, 25}));
    EXPECT_EQ(GravityValue(8).anchor(101, 51), (Anchor{101, 0}));
    EXPECT_EQ(GravityValue(0).anchor(101, 51), (Anchor{0, 51}));
    EXPECT_EQ(GravityValue(1).anchor(5, 7), (Anchor{2, 7}));
    EXPECT_EQ(GravityValue(5).anchor(5, 7), (Anchor{5, 3}));
    EXPECT_EQ(GravityValue(7).anchor(5, 7), (Anchor{2, 0}));
    gwtest::ConsoleCapture console;
    EXPECT_EQ(GravityValue(9).anchor(101, 51), (Anchor{0, 0}));
    EXPECT_EQ(GravityValue(-1).anchor(101, 51), (Anchor{0, 0}));
    EXPECT_EQ(console.lines(),
              (std::vector<std::string>{"Reached here!!!! ⛔️", "Reached here!!!! ⛔️"}));
}

TEST(ParameterValues, SettersThatFeedThePreviewPostOnEveryCall) {
    gwtest::PostCounter posts;
    auto n = NumericValue::make(1, 0);
    n->setN(1); // unchanged still posts
    n->setN(2);
    EXPECT_EQ(posts.take(), 2);
    n->setMeasure(3);
    EXPECT_EQ(posts.take(), 0);

    auto b = BooleanValue::make(false, "x");
    b->setB(false);
    EXPECT_EQ(posts.take(), 1);
    b->setTitle("Maintain aspect ratio");
    EXPECT_EQ(posts.take(), 0);

    auto image = ImageValue::make(QUrl::fromLocalFile("/tmp/a.png"));
    int sChanged = 0;
    QObject::connect(image.get(), &ImageValue::sChanged, [&] { ++sChanged; });
    image->setU(QUrl::fromLocalFile("/tmp/b c.png"));
    EXPECT_EQ(posts.take(), 1);
    EXPECT_EQ(sChanged, 1);
    EXPECT_EQ(image->s(), "/tmp/b c.png");

    FontValue font("Helvetica");
    font.setName("Helvetica");
    EXPECT_EQ(posts.take(), 1);

    auto gravity = GravityValue::make(0);
    gravity->setIsGCenter(false); // the argument is ignored
    EXPECT_EQ(gravity->g(), 4);
    EXPECT_EQ(posts.take(), 1);
    gravity->setIsGBottom(false);
    EXPECT_EQ(gravity->g(), 7);
    EXPECT_TRUE(gravity->isGBottom());
    EXPECT_FALSE(gravity->isGCenter());
    EXPECT_EQ(posts.take(), 1);

    auto point = PointValue::make(1, 2, gravity);
    point->setX(NumericValue::make(3, 0));
    point->setY(NumericValue::make(4, 0));
    EXPECT_EQ(posts.take(), 2);
    point->setGravity(GravityValue::make(1));
    EXPECT_EQ(posts.take(), 0);

    auto color = ColorValue::make(0, 0, 0, 255);
    color->setMinComponentValue(1);
    color->setMaxComponentValue(200);
    EXPECT_EQ(posts.take(), 0);
    color->setRed(255);
    color->setGreen(0);
    EXPECT_EQ(posts.take(), 2);
}

TEST(ColorValue, ComponentsAndColourFollowEachOther) {
    gwtest::PostCounter posts;
    auto c = ColorValue::make(0, 0, 0, 0);
    EXPECT_EQ(c->minComponentValue(), 0);
    EXPECT_EQ(c->maxComponentValue(), 255);

    int colorChanged = 0;
    QObject::connect(c.get(), &ColorValue::colorChanged, [&] { ++colorChanged; });
    c->setColor({1.0, 0.5, 0.0, 1.0});
    EXPECT_EQ(posts.take(), 1);
    EXPECT_EQ(c->red(), 255);
    EXPECT_EQ(c->green(), 127);
    EXPECT_EQ(c->blue(), 0);
    EXPECT_EQ(c->alpha(), 255);
    EXPECT_EQ(c->color().g, 0.5); // kept as set, not rebuilt from 127

    c->setGreen(127);
    EXPECT_EQ(posts.take(), 1);
    EXPECT_DOUBLE_EQ(c->color().g, 127 / 255.0);
    EXPECT_DOUBLE_EQ(c->color().r, 1.0);
    EXPECT_EQ(colorChanged, 2);

    c->setColor({-0.5, 2.0, std::nan(""), 1.0});
    EXPECT_EQ(c->red(), 0);
    EXPECT_EQ(c->green(), 255);
    EXPECT_EQ(c->blue(), 0);
}

TEST(ParameterValues, EncodingRoundTripsWithKeysInOrder) {
    NumericValue n(12.5, 3);
    EXPECT_EQ(keysOf(n.encode()), (std::vector<std::string>{"n", "measure"}));
    auto n2 = roundTrip(n);
    EXPECT_EQ(n2->n(), 12.5);
    EXPECT_EQ(n2->measure(), 3);

    BooleanValue b(true, "Maintain aspect ratio");
    EXPECT_EQ(keysOf(b.encode()), (std::vector<std::string>{"b", "title"}));
    EXPECT_EQ(roundTrip(b)->title(), "Maintain aspect ratio");
    EXPECT_TRUE(roundTrip(b)->b());

    ImageValue image(QUrl::fromLocalFile("/photos/my café.png"));
    EXPECT_EQ(image.encode().dump(), R"({"_u":"file:///photos/my%20caf%C3%A9.png"})");
    EXPECT_EQ(roundTrip(image)->s(), "/photos/my café.png");

    FontValue font("Nimbus Sans");
    EXPECT_EQ(roundTrip(font)->name(), "Nimbus Sans");

    GravityValue g(6);
    EXPECT_EQ(roundTrip(g)->g(), 6);

    PointValue p(NumericValue::make(10, 1), NumericValue::make(-5.5, 2), GravityValue::make(8));
    EXPECT_EQ(keysOf(p.encode()), (std::vector<std::string>{"x", "y", "gravity"}));
    auto p2 = roundTrip(p);
    EXPECT_EQ(p2->x()->n(), 10);
    EXPECT_EQ(p2->x()->measure(), 1);
    EXPECT_EQ(p2->y()->n(), -5.5);
    EXPECT_EQ(p2->gravity()->g(), 8);

    ColorValue c(10, 20, 30, 40);
    EXPECT_EQ(keysOf(c.encode()), (std::vector<std::string>{"redK", "greenK", "blueK", "alphaK"}));
    auto c2 = roundTrip(c);
    EXPECT_EQ(c2->red(), 10);
    EXPECT_EQ(c2->alpha(), 40);
    EXPECT_DOUBLE_EQ(c2->color().b, 30 / 255.0);
}

TEST(ParameterValues, DecodingIsStrictAndNeverPosts) {
    gwtest::PostCounter posts;
    auto red = ColorValue::decode(
        KeyedContainer(Json::parse(R"({"redK":255,"greenK":0,"blueK":0,"alphaK":128})"), ""));
    EXPECT_DOUBLE_EQ(red->color().r, 1.0);
    EXPECT_DOUBLE_EQ(red->color().a, 128 / 255.0);
    EXPECT_EQ(red->minComponentValue(), 0);
    EXPECT_EQ(red->maxComponentValue(), 255);
    EXPECT_EQ(posts.count(), 0);

    try {
        ColorValue::decode(KeyedContainer(Json::parse(R"({"redK":255,"greenK":0,"blueK":0})"), "colorV"));
        FAIL() << "decoded without alphaK";
    } catch (const CodingError& e) {
        EXPECT_EQ(e.kind(), CodingError::Kind::KeyNotFound);
        EXPECT_NE(std::string(e.what()).find("alphaK"), std::string::npos);
    }

    auto decodeFails = [](const char* text, CodingError::Kind kind) {
        try {
            NumericValue::decode(KeyedContainer(Json::parse(text), ""));
        } catch (const CodingError& e) {
            return e.kind() == kind;
        }
        return false;
    };
    EXPECT_TRUE(decodeFails(R"({"n":"1","measure":0})", CodingError::Kind::TypeMismatch));
    EXPECT_TRUE(decodeFails(R"({"n":true,"measure":0})", CodingError::Kind::TypeMismatch));
    EXPECT_TRUE(decodeFails(R"({"n":1,"measure":1.5})", CodingError::Kind::DataCorrupted));
    EXPECT_TRUE(decodeFails(R"({"n":null,"measure":0})", CodingError::Kind::ValueNotFound));
    EXPECT_TRUE(decodeFails(R"([1, 0])", CodingError::Kind::TypeMismatch));
    // Whole numbers in either spelling, and unknown keys, are fine.
    auto n = NumericValue::decode(KeyedContainer(Json::parse(R"({"measure":2.0,"n":7,"extra":[]})"), ""));
    EXPECT_EQ(n->n(), 7);
    EXPECT_EQ(n->measure(), 2);

    // Out-of-range components stay as stored but make an in-range colour.
    auto wild = ColorValue::decode(
        KeyedContainer(Json::parse(R"({"redK":300,"greenK":-20,"blueK":0,"alphaK":255})"), ""));
    EXPECT_EQ(wild->red(), 300);
    EXPECT_EQ(wild->color(), (ci::Color{1.0, 0.0, 0.0, 1.0}));
    EXPECT_EQ(wild->encode()["redK"], 300);
}

TEST(ParameterValues, PointsShareTheirGravityUntilDecoded) {
    auto gravity = GravityValue::make(0);
    auto a = PointValue::make(10, 20, gravity);
    auto b = PointValue::make(30, 40, gravity);
    EXPECT_EQ(a->gravity(), b->gravity());
    EXPECT_EQ(a->x()->measure(), 0);
    b->gravity()->setIsGRight(true);
    EXPECT_EQ(a->gravity()->anchor(100, 50), (Anchor{100, 25}));

    auto a2 = roundTrip(*a);
    auto b2 = roundTrip(*b);
    EXPECT_NE(a2->gravity(), b2->gravity());
    a2->gravity()->setG(0);
    EXPECT_EQ(b2->gravity()->g(), 5);
}

TEST(ParameterValues, SharedDefaultsAreOneObjectEach) {
    EXPECT_EQ(centrePoint(), centrePoint());
    EXPECT_EQ(centrePoint()->gravity()->g(), 4);
    EXPECT_NE(centrePoint()->gravity(), centreGravity());
    EXPECT_EQ(defaultPoint()->gravity(), centreGravity());
    EXPECT_EQ(defaultPoint()->x()->n(), 150);
    EXPECT_EQ(defaultPoint()->y()->n(), 150);
    EXPECT_EQ(blackColor()->alpha(), 255);
    EXPECT_EQ(clearWhiteColor()->red(), 255);
    EXPECT_EQ(clearWhiteColor()->alpha(), 0);
    EXPECT_EQ(helveticaFont()->name(), "Helvetica");
    EXPECT_TRUE(defaultBoolean()->b());
    EXPECT_EQ(defaultBoolean()->title(), "");
    EXPECT_EQ(zeroNumber()->n(), 0);
    for (const auto& image : {placeholderImage(), metalRoofImage(), createdWithImage()}) {
        EXPECT_TRUE(image->u().isLocalFile());
        EXPECT_TRUE(QFileInfo::exists(image->s())) << image->s().toStdString();
    }
    EXPECT_NE(imageValueForResource("createdWith"), createdWithImage());
    EXPECT_EQ(imageValueForResource("createdWith")->u(), createdWithImage()->u());
}
