#include "PostCounter.h"
#include "support/TestSupport.h"

#include "ci/core/Filter.h"
#include "model/Filter.h"
#include "platform/Pasteboard.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QMimeData>

#include <chrono>
#include <mutex>
#include <numbers>
#include <set>
#include <thread>

using namespace model;

namespace {

std::shared_ptr<FilterParam> numberParam(const std::string& sys, double value, double sample) {
    return FilterParam::make(sys, sys, "tip", FilterParamValue::number(value),
                             FilterParamValue::number(sample));
}

std::shared_ptr<Filter> richStep() {
    auto point = PointValue::make(10, 20, GravityValue::make(2));
    auto step = Filter::make(
        "Watermark", "IMWatermarkTextAction", "Adds text",
        {FilterParam::make("text", "inputWatermark", "The text",
                           FilterParamValue::string("Created with Glimmerworks"),
                           FilterParamValue::string("x")),
         FilterParam::make("placement", "inputPlacement", "Where", FilterParamValue::point(point, true),
                           FilterParamValue::point(point, true)),
         FilterParam::make("colour", "inputFontColor", "", FilterParamValue::color(blackColor()),
                           FilterParamValue::color(blackColor()))});
    step->setParent("Watermark → Text");
    step->setIsEnabled(false);
    step->setIsCurrent(true);
    step->setSourceIndx(3);
    return step;
}

void expectSameStep(const Filter& a, const Filter& b) {
    EXPECT_EQ(a.name(), b.name());
    EXPECT_EQ(a.sys(), b.sys());
    EXPECT_EQ(a.tooltip(), b.tooltip());
    EXPECT_EQ(a.parent(), b.parent());
    EXPECT_EQ(a.isEnabled(), b.isEnabled());
    EXPECT_EQ(a.isCurrent(), b.isCurrent());
    EXPECT_EQ(a.sourceIndx(), b.sourceIndx());
    ASSERT_EQ(a.params().size(), b.params().size());
    for (size_t i = 0; i < a.params().size(); ++i)
        EXPECT_EQ(a.params()[i]->encode(), b.params()[i]->encode()) << i;
}

struct FakeOverlay : LoadingProgressTarget {
    QString subMessage;
    QStringList subMessages;
    qint64 current = 0;
    void setProgressOverlayMessage(const QString&) override {}
    void setProgressOverlaySubMessage(const QString& text) override {
        subMessage = text;
        subMessages << text;
    }
    qint64 ProgressOverlayCurrent() const override { return current; }
    void setProgressOverlayCurrent(qint64 value) override { current = value; }
};

/// "GWTestLevel": a grey of "inputLevel" over the input's extent, made slowly enough that the
/// renders of a category overlap; notes the threads it was made on.
class LevelFilter : public ci::Filter {
  public:
    static inline std::mutex mutex;
    static inline std::set<std::thread::id> threads;

    ci::SetResult setValue(const std::string& key, const ci::Value& value) override {
        if (key == "inputImage")
            image_ = value.toImage();
        else if (key == "inputLevel" && value.toNumber())
            level_ = float(*value.toNumber());
        else
            return ci::SetResult::UnknownKey;
        return ci::SetResult::Ok;
    }
    ci::Image outputImage() override {
        {
            std::lock_guard lock(mutex);
            threads.insert(std::this_thread::get_id());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return ci::Image::constant(level_, level_, level_, 1).cropped(image_.extent());
    }

  private:
    ci::Image image_;
    float level_ = 0;
};

void registerLevelFilter() {
    struct Constructor : ci::FilterConstructor {
        std::shared_ptr<ci::Filter> filterWithName(const std::string&) override {
            return std::make_shared<LevelFilter>();
        }
    };
    static const bool done = [] {
        ci::FilterRegistry::registerFilterName("GWTestLevel", std::make_shared<Constructor>(),
                                               ci::Attributes::object());
        return true;
    }();
    (void)done;
}

} // namespace

TEST(Filter, ParameterDictionaryCollectsInputsInOrder) {
    auto none = Filter::make("Flip", "IMFlipHorizontallyAction", "");
    const FilterStep empty = none->parameterDictionary(100, 100, false);
    EXPECT_EQ(empty.first, "IMFlipHorizontallyAction");
    EXPECT_TRUE(empty.second.empty());

    auto twice =
        Filter::make("x", "CIColorControls", "",
                     {numberParam("inputBrightness", 0.1, 0.5), numberParam("inputBrightness", 0.3, 0.7),
                      FilterParam::make("r", "inputRadius", "",
                                        FilterParamValue::relativeNumeric(NumericValue::make(10, 1)),
                                        FilterParamValue::number(2))});
    const FilterStep real = twice->parameterDictionary(200, 100, false);
    EXPECT_EQ(real.second.size(), 2u);
    EXPECT_EQ(real.second.at("inputBrightness").toNumber(), 0.3);
    EXPECT_EQ(real.second.at("inputRadius").toNumber(), 20.0);
    const FilterStep sample = twice->parameterDictionary(200, 100, true);
    EXPECT_EQ(sample.second.at("inputBrightness").toNumber(), 0.7);
    EXPECT_EQ(sample.second.at("inputRadius").toNumber(), 2.0);

    // An input that cannot be given is left to the filter's default.
    auto missing = Filter::make(
        "x", "CIDisplacementDistortion", "",
        {FilterParam::make("i", "inputDisplacementImage", "",
                           FilterParamValue::image(ImageValue::make(QUrl::fromLocalFile("/no/file.png"))),
                           FilterParamValue::image(metalRoofImage()))});
    EXPECT_FALSE(missing->parameterDictionary(10, 10, false).second.contains("inputDisplacementImage"));
}

TEST(Filter, AnglesOfBuiltinFiltersArePassedInRadians) {
    const double degree = std::numbers::pi / 180.0;
    auto builtin = Filter::make("Vortex", "CIVortexDistortion", "",
                                {numberParam("inputAngle", 3240, 90), numberParam("inputAcuteAngle", 90, 0),
                                 numberParam("inputRotation", -180, 0), numberParam("inputRadius", 180, 0)});
    const ci::Dictionary d = builtin->parameterDictionary(10, 10, false).second;
    EXPECT_NEAR(*d.at("inputAngle").toNumber(), 3240 * degree, 1e-12);
    EXPECT_NEAR(*d.at("inputAcuteAngle").toNumber(), std::numbers::pi / 2, 1e-12);
    EXPECT_NEAR(*d.at("inputRotation").toNumber(), -std::numbers::pi, 1e-12);
    EXPECT_EQ(d.at("inputRadius").toNumber(), 180.0);
    EXPECT_NEAR(*builtin->parameterDictionary(10, 10, true).second.at("inputAngle").toNumber(),
                std::numbers::pi / 2, 1e-12);

    auto own = Filter::make("Rotate", "IMRotateAction", "", {numberParam("inputAngle", 90, 90)});
    EXPECT_EQ(own->parameterDictionary(10, 10, false).second.at("inputAngle").toNumber(), 90.0);

    // The stored document keeps the degrees the user sees.
    EXPECT_EQ(builtin->encode()["params"][0]["value"]["numericV"], 3240);
}

TEST(Filter, EncodingRoundTripsTheEightStoredFields) {
    auto step = richStep();
    const Json j = step->encode();
    std::vector<std::string> keys;
    for (auto it = j.begin(); it != j.end(); ++it)
        keys.push_back(it.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"name", "sys", "tooltip", "params", "parent", "isEnabled",
                                              "isCurrent", "sourceIndx"}));
    std::vector<std::string> paramKeys;
    for (auto it = j["params"][0].begin(); it != j["params"][0].end(); ++it)
        paramKeys.push_back(it.key());
    EXPECT_EQ(paramKeys, (std::vector<std::string>{"name", "sys", "tooltip", "value", "sampleV"}));

    gwtest::PostCounter posts;
    auto back = Filter::decode(KeyedContainer(Json::parse(j.dump()), ""));
    EXPECT_EQ(posts.count(), 0);
    expectSameStep(*step, *back);
    EXPECT_EQ(back->sample().firstRepresentation(), defaultSampleImage().firstRepresentation());

    // Every key is required; unknown keys (a stray "sample") are ignored.
    for (const char* key :
         {"name", "sys", "tooltip", "params", "parent", "isEnabled", "isCurrent", "sourceIndx"}) {
        Json without = j;
        without.erase(key);
        EXPECT_THROW(Filter::decode(KeyedContainer(without, "")), CodingError) << key;
    }
    Json withSample = j;
    withSample["sample"] = "ignored";
    EXPECT_EQ(Filter::decode(KeyedContainer(withSample, ""))->name(), "Watermark");
    Json paramWithoutSample = j;
    paramWithoutSample["params"][1].erase("sampleV");
    EXPECT_THROW(Filter::decode(KeyedContainer(paramWithoutSample, "")), CodingError);
    Json wrongKind = j;
    wrongKind["isEnabled"] = 1;
    EXPECT_THROW(Filter::decode(KeyedContainer(wrongKind, "")), CodingError);
}

TEST(Filter, OnlyTheEnabledFlagPosts) {
    auto step = Filter::make("a", "CIColorControls", "");
    gwtest::PostCounter posts;
    step->setIsEnabled(true); // unchanged still posts
    step->setIsEnabled(false);
    EXPECT_EQ(posts.take(), 2);
    step->setName("b");
    step->setSys("CIColorInvert");
    step->setTooltip("t");
    step->setParams({});
    step->setParent("p");
    step->setIsCurrent(true);
    step->setSourceIndx(2);
    EXPECT_EQ(posts.take(), 0);
    EXPECT_EQ(Filter::make("x", "y", "")->sourceIndx(), -1);
    EXPECT_TRUE(Filter::make("x", "y", "")->isEnabled());
    EXPECT_FALSE(Filter::make("x", "y", "")->isCurrent());
}

TEST(Filter, PlainParametersShareTheUnsetValue) {
    FilterParam a, b;
    EXPECT_EQ(a.value(), FilterParam::sharedUnsetValue());
    EXPECT_EQ(a.sampleV(), FilterParam::sharedUnsetValue());
    EXPECT_EQ(b.value(), a.value());
    EXPECT_EQ(a.value()->type(), 10);
    EXPECT_EQ(a.value()->numericV(), 18966);
    EXPECT_EQ(a.name(), "");
    gwtest::PostCounter posts;
    a.setValue(FilterParamValue::number(1));
    a.setName("n");
    EXPECT_EQ(posts.count(), 0);
}

TEST(Filter, PasteboardCopyIsIndependentOfItsSource) {
    const QString& type = platform::filterPasteboardType();
    EXPECT_TRUE(type.endsWith(".Action"));
    EXPECT_EQ(Filter::readableTypesForPasteboard(), QStringList{type});

    auto step = richStep();
    EXPECT_EQ(step->writableTypesForPasteboard(), QStringList{type});
    EXPECT_FALSE(step->pasteboardPropertyListForType("public.png").has_value());
    EXPECT_FALSE(step->pasteboardPropertyListForType(type + "x").has_value());
    auto data = step->pasteboardPropertyListForType(type);
    ASSERT_TRUE(data.has_value());

    auto copy = Filter::initWithPasteboardPropertyList(*data, type);
    expectSameStep(*step, *copy);
    EXPECT_NE(copy->params()[1]->value()->pointV(), step->params()[1]->value()->pointV());
    EXPECT_NE(copy->params()[2]->value()->colorV(), blackColor());
    copy->params()[1]->value()->pointV()->x()->setN(99);
    copy->params()[0]->value()->setStringV("changed");
    EXPECT_EQ(step->params()[1]->value()->pointV()->x()->n(), 10);
    EXPECT_EQ(step->params()[0]->value()->stringV(), "Created with Glimmerworks");

    auto broken = Filter::initWithPasteboardPropertyList("not a step", type);
    EXPECT_EQ(broken->name(), "");
    EXPECT_EQ(broken->sourceIndx(), -1);
    EXPECT_TRUE(broken->params().empty());

    QMimeData mime;
    step->writeToMimeData(mime);
    EXPECT_TRUE(mime.hasFormat(type));
    auto dropped = Filter::readFromMimeData(mime);
    ASSERT_TRUE(dropped);
    expectSameStep(*step, *dropped);
    EXPECT_FALSE(Filter::readFromMimeData(QMimeData()));

    auto clone = step->copy();
    expectSameStep(*step, *clone);
    EXPECT_NE(clone->params()[0]->value(), step->params()[0]->value());
}

TEST(Filter, OverlayTickNamesTheEntryAndCounts) {
    auto entry = Filter::make("Brightness", "CIColorControls", "");
    entry->setParent("Color Adjustment → Brightness");
    setLoadingProgressTarget(nullptr);
    entry->advanceLoadingProgress(); // no target: nothing happens

    auto overlay = std::make_shared<FakeOverlay>();
    overlay->current = 11;
    setLoadingProgressTarget(overlay);
    entry->advanceLoadingProgress();
    EXPECT_EQ(overlay->subMessage, "Color Adjustment → Brightness");
    EXPECT_EQ(overlay->current, 12);
    setLoadingProgressTarget(nullptr);
}

TEST(Filter, CategoryNamesItsEntriesAndRendersTheirSamples) {
    auto overlay = std::make_shared<FakeOverlay>();
    setLoadingProgressTarget(overlay);

    auto empty = FilterCategory::make("---", {});
    QCoreApplication::processEvents();
    EXPECT_EQ(overlay->current, 0);

    const platform::ImageRep* base = sharedSampleImage().firstRepresentation();
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(base->pixelsWide(), 150);
    EXPECT_EQ(base->pixelsHigh(), 100);

    auto invert = Filter::make("Invert", "CIColorInvert", "");
    auto tile = Filter::make("Tile", "CIFourfoldRotatedTile", "", {numberParam("inputWidth", 100, 30)});
    Filters entries{invert, tile};
    auto category = FilterCategory::make("Color Effect", entries);
    EXPECT_EQ(category->filters(), entries);
    EXPECT_EQ(invert->parent(), "Color Effect → Invert");
    EXPECT_EQ(tile->parent(), "Color Effect → Tile");
    for (const auto& e : entries) {
        ASSERT_NE(e->sample().firstRepresentation(), nullptr);
        EXPECT_NE(e->sample().firstRepresentation(), defaultSampleImage().firstRepresentation());
        EXPECT_EQ(e->sample().size(), (platform::Size{150, 100}));
    }

    // The ticks run later, on the main queue, one per entry in order.
    EXPECT_EQ(overlay->current, 0);
    QCoreApplication::processEvents();
    EXPECT_EQ(overlay->current, 2);
    EXPECT_EQ(overlay->subMessage, "Color Effect → Tile");
    setLoadingProgressTarget(nullptr);

    // The sample is the entry's filter applied to the reduced base, with the sample values.
    auto input = toCIImage(sharedSampleImage());
    ASSERT_TRUE(input.has_value());
    const ci::Image expected = input->applyingFilter("CIColorInvert", {});
    auto want = ci::Context().renderSRGB(expected, ci::Rect::make(0, 0, 150, 100));
    auto got = invert->sample().render();
    ASSERT_TRUE(want.ok());
    ASSERT_TRUE(got.ok());
    ASSERT_EQ(got->data.size(), want->data.size());
    int worst = 0;
    for (size_t i = 0; i < got->data.size(); ++i)
        worst = std::max(worst, std::abs(int(got->data[i]) - int(want->data[i])));
    EXPECT_LE(worst, 1); // 8-bit codes
    EXPECT_NE(got->data, sharedSampleImage().render()->data);
}

TEST(Filter, CategoryRendersSamplesTogetherAndTicksInOrder) {
    registerLevelFilter();
    auto overlay = std::make_shared<FakeOverlay>();
    setLoadingProgressTarget(overlay);
    Filters entries;
    QStringList parents;
    for (int i = 0; i < 24; ++i) {
        entries.push_back(Filter::make("Level " + std::to_string(i), "GWTestLevel", "",
                                       {numberParam("inputLevel", 0, double(i) / 32)}));
        parents << QString::fromStdString("Levels → Level " + std::to_string(i));
    }
    auto category = FilterCategory::make("Levels", entries);

    // Each sample is its own entry's.
    for (int i = 0; i < 24; ++i) {
        auto pixels = entries[size_t(i)]->sample().render();
        ASSERT_TRUE(pixels.ok());
        auto want =
            ci::Context().renderSRGB(ci::Image::constant(float(i) / 32, float(i) / 32, float(i) / 32, 1)
                                         .cropped(ci::Rect::make(0, 0, 1, 1)),
                                     ci::Rect::make(0, 0, 1, 1));
        ASSERT_TRUE(want.ok());
        EXPECT_EQ(pixels->data[0], want->data[0]) << i;
    }
    // Rendered on several threads where there are several, the overlay still counts the entries
    // one by one, in list order.
    if (std::thread::hardware_concurrency() > 1) {
        EXPECT_GT(LevelFilter::threads.size(), 1u);
    }
    QCoreApplication::processEvents();
    EXPECT_EQ(overlay->current, 24);
    EXPECT_EQ(overlay->subMessages, parents);
    setLoadingProgressTarget(nullptr);
}
