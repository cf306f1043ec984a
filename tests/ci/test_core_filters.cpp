#include "support/TestSupport.h"

#include "ci/core/Console.h"
#include "ci/core/Context.h"
#include "ci/core/Filter.h"
#include "ci/core/Kernel.h"

#include <gtest/gtest.h>

using namespace ci;

namespace {

// A table-declared filter of the test program: scales the colour by inputGain.
void defineTestGain() {
    static bool done = false;
    if (done)
        return;
    done = true;
    InputSpec center;
    center.key = "inputCenter";
    center.kind = ValueKind::Vector;
    center.defaultValue = Vector{150, 150};
    defineBuiltin(BuiltinDescriptor{"TestGain",
                                    "Test Gain",
                                    {"CICategoryColorAdjustment"},
                                    {imageInput(), numberInput("inputGain", 2, 0, 4, 0, 1), center},
                                    [](const Inputs& in) -> Image {
                                        Image img = in.image("inputImage");
                                        if (!img)
                                            return Image();
                                        const float g = float(in.number("inputGain"));
                                        return ColorKernel::apply(
                                            [g](const ColorRow& r) {
                                                for (int i = 0; i < r.count * 4; i += 4) {
                                                    for (int c = 0; c < 3; ++c)
                                                        r.out[i + c] = r.in[0][i + c] * g;
                                                    r.out[i + 3] = r.in[0][i + 3];
                                                }
                                            },
                                            {img});
                                    }});
}

class CountingFilter : public Filter {
  public:
    SetResult setValue(const std::string& key, const Value& v) override {
        if (key != "inputImage") {
            console("Invalid key: " + key);
            return SetResult::Ok;
        }
        image_ = v.toImage();
        return SetResult::Ok;
    }
    Image outputImage() override { return image_; }

  private:
    Image image_;
};

class CountingConstructor : public FilterConstructor {
  public:
    std::shared_ptr<Filter> filterWithName(const std::string& name) override {
        ++made;
        return name == "TestOwnFilter" ? std::make_shared<CountingFilter>() : nullptr;
    }
    int made = 0;
};

} // namespace

TEST(FilterRegistry, BuiltinsByNameWithKeyedInputs) {
    defineTestGain();
    EXPECT_EQ(Filter::make("NoSuchFilter"), nullptr);
    EXPECT_EQ(Filter::make("testgain"), nullptr); // names are case-sensitive

    auto f = Filter::make("TestGain");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->name(), "TestGain");
    EXPECT_EQ(f->value("inputGain").toNumber(), 2.0); // defaults are set at creation
    EXPECT_TRUE(f->outputImage().isNull());           // no input image, no output

    gwtest::ConsoleCapture console;
    EXPECT_EQ(f->setValue("inputNope", 1.0), SetResult::UnknownKey);
    EXPECT_TRUE(console.contains("inputNope"));
    EXPECT_EQ(f->setValue("inputGain", Vector{1, 2}), SetResult::WrongKind);
    EXPECT_EQ(f->value("inputGain").toNumber(), 2.0);         // the wrong kind changed nothing
    EXPECT_EQ(f->setValue("inputGain", true), SetResult::Ok); // boxed Booleans are numbers
    EXPECT_EQ(f->setValue("inputGain", 3), SetResult::Ok);
    EXPECT_EQ(f->setValue("inputImage", Image::constant(0.1f, 0.2f, 0.3f, 1).cropped(Rect::make(0, 0, 2, 2))),
              SetResult::Ok);
    auto out = Context().render(f->outputImage());
    ASSERT_TRUE(out);
    EXPECT_NEAR(out->pixel(1, 1)[1], 0.6f, 1e-6);

    f->setDefaults();
    EXPECT_EQ(f->value("inputGain").toNumber(), 2.0);
    EXPECT_FALSE(f->value("inputImage").isNone()); // defaults leave images alone
    EXPECT_EQ(f->setValue("inputImage", Value()), SetResult::Ok);
    EXPECT_TRUE(f->outputImage().isNull());

    const Attributes a = f->attributes();
    EXPECT_EQ(a[attr::FilterDisplayName], "Test Gain");
    EXPECT_EQ(a["inputGain"][attr::Default], 2.0);
    EXPECT_EQ(a["inputGain"][attr::SliderMax], 4.0);
    EXPECT_EQ(a["inputImage"][attr::Class], "CIImage");
    EXPECT_EQ(a["inputCenter"][attr::Default], nlohmann::ordered_json({150.0, 150.0}));
}

TEST(FilterRegistry, ApplyingByNameFailsSafely) {
    defineTestGain();
    const Image src = Image::constant(0.25f, 0.25f, 0.25f, 1).cropped(Rect::make(0, 0, 3, 3));
    gwtest::ConsoleCapture console;

    EXPECT_TRUE(src.applyingFilter("NoSuchFilter", {}).isNull());
    EXPECT_TRUE(console.contains("NoSuchFilter"));
    EXPECT_TRUE(src.applyingFilter("TestGain", {{"inputGain", "loud"}}).isNull());
    EXPECT_TRUE(console.contains("inputGain"));

    // An unknown key is reported and ignored; the filter still works.
    const Image out = src.applyingFilter("TestGain", {{"inputGain", 4.0}, {"inputUnknown", 1.0}});
    ASSERT_FALSE(out.isNull());
    EXPECT_TRUE(console.contains("inputUnknown"));
    auto px = Context().render(out);
    ASSERT_TRUE(px);
    EXPECT_FLOAT_EQ(px->pixel(0, 0)[0], 1.0f);
}

TEST(FilterRegistry, RegisteredConstructorsMakeNewFiltersPerRequest) {
    auto ctor = std::make_shared<CountingConstructor>();
    FilterRegistry::registerFilterName("TestOwnFilter", ctor, Attributes::object());
    FilterRegistry::registerFilterName("TestOwnFilterMissing", ctor, Attributes::object());
    EXPECT_TRUE(FilterRegistry::isRegistered("TestOwnFilter"));

    auto a = Filter::make("TestOwnFilter");
    auto b = Filter::make("TestOwnFilter");
    ASSERT_TRUE(a && b);
    EXPECT_NE(a, b);
    EXPECT_EQ(a->name(), "TestOwnFilter");
    EXPECT_EQ(Filter::make("TestOwnFilterMissing"), nullptr); // the constructor may refuse
    EXPECT_EQ(ctor->made, 3);

    gwtest::ConsoleCapture console;
    const Image src = Image::constant(1, 1, 1, 1).cropped(Rect::make(0, 0, 1, 1));
    EXPECT_EQ(src.applyingFilter("TestOwnFilter", {{"inputAmount", 1.0}}), src);
    EXPECT_TRUE(console.contains("Invalid key: inputAmount"));
}
