#include "support/TestSupport.h"

#include "model/Project.h"
#include "platform/Pasteboard.h"

#include <gtest/gtest.h>

#include <QMimeData>

#include <cmath>
#include <limits>

using namespace model;

namespace {

// A preset as an earlier version wrote it: keys in no particular order, slashes escaped, whole
// numbers without a fraction, the arrow as UTF-8, URLs of the application bundle.
const char* const kOriginalPreset =
    R"([{"sourceIndx":-1,"isCurrent":true,"parent":"Color Adjustment \u2192 Brightness",)"
    R"("isEnabled":true,"tooltip":"Adjusts the brightness","sys":"CIColorControls","name":"Brightness","params":[)"
    R"({"sys":"inputBrightness","name":"brightness","tooltip":"The amount","sampleV":{"type":1,"stringV":"",)"
    R"("numericV":0.5,"numericMinV":0,"numericMaxV":0,"dontCalculatePoints":false,"booleanV":{"title":"","b":true},)"
    R"("relativeNumericV":{"measure":0,"n":0},"fontV":{"name":"Helvetica"},"pointV":{"gravity":{"g":4},)"
    R"("y":{"n":150,"measure":0},"x":{"measure":0,"n":150}},)"
    R"("imageV":{"_u":"file:\/\/\/Applications\/Glimmer%20works.app\/Contents\/Resources\/placeholderImg.png"},)"
    R"("colorV":{"alphaK":0,"blueK":255,"greenK":255,"redK":255}},)"
    R"("value":{"colorV":{"redK":255,"greenK":255,"blueK":255,"alphaK":0},)"
    R"("imageV":{"_u":"file:\/\/\/Applications\/Glimmer%20works.app\/Contents\/Resources\/placeholderImg.png"},)"
    R"("pointV":{"x":{"n":150,"measure":0},"y":{"n":150,"measure":0},"gravity":{"g":4}},"fontV":{"name":"Helvetica"},)"
    R"("numericV":-0.25,"numericMinV":-1,"numericMaxV":1,"relativeNumericV":{"n":0,"measure":0},)"
    R"("booleanV":{"b":true,"title":""},"stringV":"","dontCalculatePoints":false,"type":0}}]},)"
    R"({"name":"Flip","sys":"IMFlipHorizontallyAction","tooltip":"","params":[],"parent":"Geometry \u2192 Flip",)"
    R"("isEnabled":false,"isCurrent":true,"sourceIndx":-1,"comment":"unknown keys are ignored"}])";

Filters sampleWorkflow() {
    auto point = PointValue::make(2.5, -4, GravityValue::make(8));
    auto watermark = Filter::make(
        "Image", "IMWatermarkImageAction", "Places a picture / logo",
        {FilterParam::make("image", "inputWatermark", "", FilterParamValue::image(createdWithImage()),
                           FilterParamValue::image(createdWithImage())),
         FilterParam::make("placement", "inputPlacement", "", FilterParamValue::point(point, true),
                           FilterParamValue::point(point, true)),
         FilterParam::make("opacity", "inputOpacity", "", FilterParamValue::numeric(0.5, 0, 1),
                           FilterParamValue::number(0.25))});
    watermark->setParent("Watermark → Image");
    watermark->setIsCurrent(true);
    auto invert = Filter::make("Invert", "CIColorInvert", "");
    invert->setIsEnabled(false);
    return {watermark, invert};
}

} // namespace

TEST(Documents, PresetRoundTripsAndIsWrittenLikeEarlierVersions) {
    const Filters workflow = sampleWorkflow();
    auto text = encodePreset(workflow);
    ASSERT_TRUE(text.ok()) << text.error();
    // Compact, slashes escaped, whole numbers without a fraction, keys in their order.
    EXPECT_EQ(text->find('\n'), std::string::npos);
    EXPECT_EQ(text->find("\": "), std::string::npos);
    EXPECT_NE(text->find(R"("_u":"file:\/\/\/)"), std::string::npos);
    EXPECT_EQ(text->find("file:///"), std::string::npos);
    EXPECT_NE(text->find(R"("Places a picture \/ logo")"), std::string::npos);
    EXPECT_NE(text->find(R"("x":{"n":2.5,"measure":0},"y":{"n":-4,"measure":0},"gravity":{"g":8})"),
              std::string::npos);
    EXPECT_EQ(text->rfind(R"([{"name":"Image","sys":"IMWatermarkImageAction","tooltip":)", 0), 0u);
    EXPECT_NE(text->find("Watermark → Image"), std::string::npos);

    auto back = decodePreset(*text);
    ASSERT_TRUE(back.ok()) << back.error();
    ASSERT_EQ(back->size(), 2u);
    EXPECT_EQ((*back)[0]->encode(), workflow[0]->encode());
    EXPECT_EQ((*back)[1]->encode(), workflow[1]->encode());
    EXPECT_NE((*back)[0]->params()[0]->value()->imageV(), createdWithImage());
    EXPECT_FALSE((*back)[1]->isEnabled());

    auto empty = decodePreset("[]");
    ASSERT_TRUE(empty.ok());
    EXPECT_TRUE(empty->empty());
}

TEST(Documents, PresetOfAnEarlierVersionLoads) {
    auto steps = decodePreset(kOriginalPreset);
    ASSERT_TRUE(steps.ok()) << steps.error();
    ASSERT_EQ(steps->size(), 2u);
    const Filter& brightness = *(*steps)[0];
    EXPECT_EQ(brightness.parent(), "Color Adjustment → Brightness");
    EXPECT_EQ(brightness.sys(), "CIColorControls");
    EXPECT_TRUE(brightness.isCurrent());
    ASSERT_EQ(brightness.params().size(), 1u);
    const FilterParamValue& value = *brightness.params()[0]->value();
    EXPECT_EQ(value.type(), 0);
    EXPECT_EQ(value.numericV(), -0.25);
    EXPECT_EQ(value.numericMinV(), -1);
    EXPECT_EQ(value.pointV()->x()->n(), 150);
    EXPECT_EQ(value.imageV()->s(), "/Applications/Glimmer works.app/Contents/Resources/placeholderImg.png");
    EXPECT_EQ(brightness.params()[0]->sampleV()->numericV(), 0.5);
    EXPECT_EQ(brightness.parameterDictionary(10, 10, false).second.at("inputBrightness").toNumber(), -0.25);
    EXPECT_FALSE((*steps)[1]->isEnabled());
}

TEST(Documents, ReadingFailsWholeOnMissingKeysAndWrongTypes) {
    auto fails = [](const std::string& text, const std::string& mention) {
        auto r = decodePreset(text);
        EXPECT_FALSE(r.ok()) << text;
        if (!r.ok()) {
            EXPECT_NE(r.error().find(mention), std::string::npos) << r.error();
        }
    };
    fails(R"({"name":"not an array"})", "Array");
    fails("[{]", "not valid JSON");
    fails("", "not valid JSON");
    const std::string good = kOriginalPreset;
    auto without = [&](const std::string& key) {
        Json j = Json::parse(good);
        j[1].erase(key);
        return j.dump();
    };
    fails(without("sourceIndx"), "sourceIndx");
    fails(without("params"), "params");
    Json wrong = Json::parse(good);
    wrong[0]["params"][0]["value"]["numericV"] = "-0.25";
    fails(wrong.dump(), "0/params/0/value/numericV");
    Json badUrl = Json::parse(good);
    badUrl[0]["params"][0]["value"]["imageV"]["_u"] = "file:///a b[";
    fails(badUrl.dump(), "URL");
    Json nullName = Json::parse(good);
    nullName[1]["name"] = nullptr;
    fails(nullName.dump(), "null");
}

TEST(Documents, NonFiniteNumbersAreNeverWritten) {
    Filters workflow = sampleWorkflow();
    workflow[0]->params()[2]->value()->setNumericV(std::numeric_limits<double>::quiet_NaN());
    auto text = encodePreset(workflow);
    ASSERT_FALSE(text.ok());
    EXPECT_NE(text.error().find("0/params/2/value/numericV"), std::string::npos) << text.error();

    workflow[0]->params()[2]->value()->setNumericV(0.5);
    workflow[0]->params()[1]->value()->pointV()->x()->setN(INFINITY);
    Project project({"/a.png"}, workflow);
    EXPECT_FALSE(encodeProject(project).ok());
}

TEST(Documents, ProjectRoundTripsWithItsOptionalPath) {
    Project project({"/photos/a b.jpg", "/photos/ü.png"}, sampleWorkflow(),
                    QUrl::fromLocalFile("/projects/my trip.gwProject"));
    auto text = encodeProject(project);
    ASSERT_TRUE(text.ok()) << text.error();
    EXPECT_EQ(
        text->rfind(R"({"images":["\/photos\/a b.jpg","\/photos\/ü.png"],"filters":[{"name":"Image")", 0),
        0u);
    EXPECT_NE(text->find(R"("path":"file:\/\/\/projects\/my%20trip.gwProject"})"), std::string::npos);

    auto back = decodeProject(*text);
    ASSERT_TRUE(back.ok()) << back.error();
    EXPECT_EQ((*back)->images(), project.images());
    ASSERT_EQ((*back)->filters().size(), 2u);
    EXPECT_EQ((*back)->filters()[0]->encode(), project.filters()[0]->encode());
    ASSERT_TRUE((*back)->path().has_value());
    EXPECT_EQ((*back)->path()->toLocalFile(), "/projects/my trip.gwProject");

    Project unsaved({}, {});
    auto bare = encodeProject(unsaved);
    ASSERT_TRUE(bare.ok());
    EXPECT_EQ(*bare, R"({"images":[],"filters":[]})");
    auto opened = decodeProject(*bare);
    ASSERT_TRUE(opened.ok());
    EXPECT_FALSE((*opened)->path().has_value());
    EXPECT_TRUE(decodeProject(R"({"images":[],"filters":[],"path":null})").ok());

    auto noImages = decodeProject(R"({"filters":[]})");
    ASSERT_FALSE(noImages.ok());
    EXPECT_NE(noImages.error().find("images"), std::string::npos);
    EXPECT_FALSE(decodeProject(R"({"images":[],"path":"file:\/\/\/x"})").ok());
    EXPECT_FALSE(decodeProject(R"({"images":[3],"filters":[]})").ok());
    EXPECT_FALSE(decodeProject(R"([])").ok());
    auto original = decodeProject(
        std::string(
            R"({"path":"file:\/\/\/Users\/me\/p.gwProject","images":["\/Users\/me\/a.jpg"],"filters":)") +
        kOriginalPreset + "}");
    ASSERT_TRUE(original.ok()) << original.error();
    EXPECT_EQ((*original)->images(), std::vector<std::string>{"/Users/me/a.jpg"});
    EXPECT_EQ((*original)->filters().size(), 2u);

    // Members in any order, one met again replacing the one before, others ignored.
    auto reordered =
        decodeProject(R"({"x":{"y":[1,{}]},"filters":[],"images":["\/a"],"path":null,"images":["\/b"]})");
    ASSERT_TRUE(reordered.ok()) << reordered.error();
    EXPECT_EQ((*reordered)->images(), std::vector<std::string>{"/b"});
    EXPECT_EQ(decodeProject(R"({"images":5,"filters":[]})").error(),
              "Expected to decode Array<Any> but found a number instead at \"images\".");
    EXPECT_EQ(decodeProject(R"({"images":[],"filters":[],"path":[]})").error(),
              "Expected to decode String but found an array instead at \"path\".");
    EXPECT_EQ(decodeProject(R"({"images":[],"filters":[{}]})").error(),
              "No value associated with key \"name\" at \"filters/0\".");
}

TEST(Documents, AnyTextIsReadOrRefusedWithAReason) {
    // Numbers out of double range and deep nesting under a key nobody reads used to escape as
    // exceptions of the JSON library or exhaust the stack.
    const std::string good = kOriginalPreset;
    auto withComment = [&](const std::string& value) {
        return good.substr(0, good.size() - 2) + R"(,"comment2":)" + value + "}]";
    };
    const std::string deep = std::string(200'000, '[') + std::string(200'000, ']');
    const std::pair<std::string, const char*> hostile[] = {
        {withComment("1e400"), "not valid JSON"},
        {withComment("-11e308"), "not valid JSON"},
        {std::string("[1e400]"), "not valid JSON"},
        {withComment("\"\xff\xfe\""), "not valid JSON"},
        {withComment(deep), "The data nests deeper than 100 levels."},
        {deep, "The data nests deeper than 100 levels."},
        {std::string(R"({"images":[],"filters":[],"x":)") + deep + "}",
         "The data nests deeper than 100 levels."}};
    for (const auto& [text, reason] : hostile) {
        SCOPED_TRACE(text.substr(0, 80));
        auto preset = decodePreset(text);
        ASSERT_FALSE(preset.ok());
        EXPECT_NE(preset.error().find(reason), std::string::npos) << preset.error();
        auto project = decodeProject(text);
        ASSERT_FALSE(project.ok());
        EXPECT_NE(project.error().find(reason), std::string::npos) << project.error();
    }
    // A fault quoted at length (a string that never ends) is still said in words.
    const auto unended = decodeProject("[\"" + std::string(1'000'000, 'a'));
    ASSERT_FALSE(unended.ok());
    EXPECT_NE(unended.error().find("at line 1, column 1000003, a string is not valid"), std::string::npos)
        << unended.error().substr(0, 200);
    // Nesting as deep as documents go is fine.
    EXPECT_TRUE(decodePreset(withComment(std::string(60, '[') + std::string(60, ']'))).ok());
}

TEST(Documents, AnEmptyImageUrlIsNoFile) {
    // Written for an application image that could not be found.
    Json preset = Json::parse(kOriginalPreset);
    preset[0]["params"][0]["value"]["imageV"]["_u"] = "";
    auto steps = decodePreset(preset.dump());
    ASSERT_TRUE(steps.ok()) << steps.error();
    const auto& image = (*steps)[0]->params()[0]->value()->imageV();
    EXPECT_TRUE(image->u().isEmpty());
    auto again = encodePreset(*steps);
    ASSERT_TRUE(again.ok());
    EXPECT_NE(again->find(R"("_u":"")"), std::string::npos);
    EXPECT_TRUE(decodePreset(*again).ok());
}

TEST(Documents, AnImageUrlWithANulIsNoFileName) {
    // The system would read the name up to the NUL, another file than the one named.
    Json preset = Json::parse(kOriginalPreset);
    preset[0]["params"][0]["value"]["imageV"]["_u"] = "file:///d/rocket.jpg%00.png";
    auto steps = decodePreset(preset.dump());
    ASSERT_FALSE(steps.ok());
    EXPECT_EQ(steps.error(), "The URL at \"0/params/0/value/imageV/_u\" is not a valid file name.");
    // A step dropped or pasted with it is refused alike.
    QMimeData mime;
    platform::setPasteboardData(mime, platform::filterPasteboardType(),
                                platform::propertyListData(preset[0]));
    EXPECT_EQ(Filter::readFromMimeData(mime), nullptr);
}

TEST(Documents, TextsFarBeyondARealOneAreNeitherReadNorWritten) {
    // A watermark's text of 30 MB once stalled the window for half a minute when its step was
    // shown; a real one is a few kilobytes.
    const auto preset = [](const std::string& text) {
        Json j = Json::parse(kOriginalPreset);
        j[0]["params"][0]["value"]["stringV"] = text;
        return j.dump();
    };
    EXPECT_TRUE(decodePreset(preset(std::string(64 << 10, 't'))).ok());
    // However it is escaped: quotes (written \"), control characters (written \u0001, six bytes
    // each); and a text that ends in a backslash ends at its quote.
    EXPECT_TRUE(decodePreset(preset(std::string(64 << 10, '"'))).ok());
    EXPECT_TRUE(decodePreset(preset(std::string(64 << 10, '\x01'))).ok());
    std::string numbers;
    for (int i = 0; i < 300'000; ++i)
        numbers += "0,";
    EXPECT_TRUE(decodeProject(R"({"images":["x\\"],"filters":[],"n":[)" + numbers + R"(0],"m":0})").ok());
    auto refused = decodePreset(preset(std::string((64 << 10) + 1, 't')));
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error(), "The data holds a text of 65537 bytes; a text is at most 64 KB.");
    // In bytes while a tenth of a kilobyte, rounded, would still read as the bound.
    EXPECT_EQ(decodePreset(preset(std::string(65587, 't'))).error(),
              "The data holds a text of 65587 bytes; a text is at most 64 KB.");
    EXPECT_EQ(decodePreset(preset(std::string(65588, 't'))).error(),
              "The data holds a text of 64.1 KB; a text is at most 64 KB.");
    auto project = decodeProject(R"({"images":[")" + std::string(30 << 20, 'i') + R"("],"filters":[]})");
    ASSERT_FALSE(project.ok());
    EXPECT_EQ(project.error(), "The data holds a text of 30 MB; a text is at most 64 KB.");
    EXPECT_FALSE(
        decodeProject(R"({"images":[],"filters":[],")" + std::string(1 << 20, 'k') + R"(":0})").ok());

    // What could not be read is not written.
    Filters workflow = sampleWorkflow();
    workflow[0]->params()[2]->value()->setStringV(std::string((64 << 10) + 1, 't'));
    auto text = encodePreset(workflow);
    ASSERT_FALSE(text.ok());
    EXPECT_EQ(text.error(),
              "Unable to encode the value at \"0/params/2/value/stringV\": the text is 65537 bytes "
              "long; a text of a document is at most 64 KB.");
    EXPECT_FALSE(encodeProject(Project({std::string(1 << 20, 'i')}, {})).ok());
    workflow[0]->params()[2]->value()->setStringV(std::string(64 << 10, 't'));
    text = encodePreset(workflow);
    ASSERT_TRUE(text.ok());
    EXPECT_TRUE(decodePreset(*text).ok());
}

TEST(Documents, WhatIsWrittenIsReadAgainHoweverManyItsValues) {
    // Values beyond a million are read while the text holds 8 bytes for each: a real document
    // spends more (a project of 1,900 steps of eight inputs holds a million values in 14 MB).
    // Empty image paths spend 3: a million and a half are written and read, two million neither.
    Project within(std::vector<std::string>(1'500'000), {});
    auto text = encodeProject(within);
    ASSERT_TRUE(text.ok()) << text.error();
    auto back = decodeProject(*text);
    ASSERT_TRUE(back.ok()) << back.error();
    EXPECT_EQ((*back)->images().size(), 1'500'000u);

    Project beyond(std::vector<std::string>(2'000'000), {});
    auto refused = encodeProject(beyond);
    ASSERT_FALSE(refused.ok());
    EXPECT_NE(refused.error().find("more values up to it than its text allows (a document holds at most "
                                   "1000000 values and one more for every 8 bytes of its text)"),
              std::string::npos)
        << refused.error();
    std::string dense = R"({"images":[)";
    for (int i = 0; i < 2'000'000; ++i)
        dense += i ? ",\"\"" : "\"\"";
    dense += R"(],"filters":[]})";
    auto unread = decodeProject(dense);
    ASSERT_FALSE(unread.ok());
    EXPECT_EQ(unread.error(),
              "The data holds more values than its text allows: a document holds at most 1000000 "
              "values and one more for every 8 bytes of its text.");
}
