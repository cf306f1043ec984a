#include "test_builtin_spatial_support.h"

#include <limits>
#include <set>
#include <vector>

using namespace spatialtest;

namespace {

const std::vector<std::string> kFinite = {"CIBoxBlur",
                                          "CIDiscBlur",
                                          "CIGaussianBlur",
                                          "CIMedianFilter",
                                          "CIMotionBlur",
                                          "CIZoomBlur",
                                          "CINoiseReduction",
                                          "CISharpenLuminance",
                                          "CIUnsharpMask",
                                          "CIBloom",
                                          "CIGloom",
                                          "CIComicEffect",
                                          "CICrystallize",
                                          "CIEdges",
                                          "CIEdgeWork",
                                          "CIPixellate",
                                          "CIPointillize",
                                          "CIShadedMaterial",
                                          "CICircularScreen",
                                          "CIDotScreen",
                                          "CIHatchedScreen",
                                          "CILineScreen",
                                          "CIBumpDistortion",
                                          "CIBumpDistortionLinear",
                                          "CICircularWrap",
                                          "CIDisplacementDistortion",
                                          "CIGlassDistortion",
                                          "CIHoleDistortion",
                                          "CIPinchDistortion",
                                          "CITwirlDistortion",
                                          "CIVortexDistortion",
                                          "CIAffineTransform",
                                          "CICrop",
                                          "CILanczosScaleTransform"};
const std::vector<std::string> kInfinite = {
    "CIEightfoldReflectedTile", "CIFourfoldReflectedTile", "CIFourfoldRotatedTile",
    "CIFourfoldTranslatedTile", "CIGlideReflectedTile",    "CIKaleidoscope",
    "CIParallelogramTile",      "CISixfoldReflectedTile",  "CISixfoldRotatedTile",
    "CITriangleTile",           "CITriangleKaleidoscope",  "CIAffineClamp"};

// Inputs that make each filter visibly act on the small test picture.
ci::Dictionary inputsFor(const std::string& name, const ci::Image& second) {
    ci::Dictionary d;
    const ci::Vector mid{30, 20};
    if (name == "CIShadedMaterial")
        d["inputShadingImage"] = second;
    if (name == "CIDisplacementDistortion")
        d["inputDisplacementImage"] = second;
    if (name == "CIGlassDistortion") {
        d["inputTexture"] = second;
        d["inputScale"] = 20;
    }
    if (name == "CIZoomBlur" || name == "CICrystallize" || name == "CIPointillize" || name == "CIPixellate" ||
        name.find("Distortion") != std::string::npos || name == "CICircularWrap" ||
        name == "CIKaleidoscope" || name.find("Screen") != std::string::npos ||
        name.find("Tile") != std::string::npos)
        d["inputCenter"] = mid;
    if (name == "CICrystallize" || name == "CIPointillize")
        d["inputRadius"] = 4;
    if (name.find("Distortion") != std::string::npos && name != "CIHoleDistortion")
        d["inputRadius"] = 18;
    if (name == "CIHoleDistortion")
        d["inputRadius"] = 6;
    if (name == "CICircularWrap")
        d["inputRadius"] = 10;
    if (name.find("Tile") != std::string::npos)
        d["inputWidth"] = 13;
    if (name == "CITriangleKaleidoscope") {
        d["inputPoint"] = mid;
        d["inputSize"] = 30;
    }
    if (name == "CIAffineTransform" || name == "CIAffineClamp")
        d["inputTransform"] = ci::Affine{0.9, 0.3, -0.2, 1.1, 3.5, -2.25};
    if (name == "CICrop")
        d["inputRectangle"] = ci::Vector{3.5, 4.25, 40, 30};
    if (name == "CILanczosScaleTransform")
        d["inputScale"] = 0.37;
    // Only the keys the filter has.
    auto f = ci::Filter::make(name);
    const auto keys = f->inputKeys();
    for (auto it = d.begin(); it != d.end();)
        it = std::find(keys.begin(), keys.end(), it->first) == keys.end() ? d.erase(it) : std::next(it);
    return d;
}

ci::Rect renderRect(const ci::Image& out) {
    return out.extent().isInfinite() ? ci::Rect{-40, -30, 110, 90} : out.extent();
}

} // namespace

TEST(BuiltinSpatialAll, CreatableWithDocumentedKeysExtentsAndTileIndependence) {
    ci::Image img = pattern();
    ci::Image second = pattern(40, 30, 5, 3);
    std::vector<std::string> all = kFinite;
    all.insert(all.end(), kInfinite.begin(), kInfinite.end());
    for (const std::string& name : all) {
        SCOPED_TRACE(name);
        auto f = ci::Filter::make(name);
        ASSERT_TRUE(f);
        const ci::Attributes a = f->attributes();
        EXPECT_EQ(a[ci::attr::FilterName], name);
        for (const std::string& key : f->inputKeys())
            EXPECT_TRUE(a.contains(key)) << key;
        // No image: no output.
        EXPECT_TRUE(f->outputImage().isNull());

        ci::Image out = apply(img, name, inputsFor(name, second));
        ASSERT_FALSE(out.isNull());
        const bool infinite = std::find(kInfinite.begin(), kInfinite.end(), name) != kInfinite.end();
        EXPECT_EQ(out.extent().isInfinite(), infinite);
        const ci::Rect r = renderRect(out);
        ci::Bitmap bm = render(out, r);
        EXPECT_TRUE(allFinite(bm));
        EXPECT_EQ(tileDifference(out, r), 0);

        // setDefaults restores what a changed input was.
        for (const std::string& key : f->inputKeys()) {
            const ci::Value def = f->value(key);
            if (def.kind() != ci::ValueKind::Number)
                continue;
            f->setValue(key, 12345.0);
            f->setDefaults();
            EXPECT_EQ(f->value(key).toNumber(), def.toNumber()) << key;
        }
    }
}

TEST(BuiltinSpatialAll, ExtremeValuesGiveDefinedImages) {
    ci::Image img = pattern(24, 20);
    ci::Image second = pattern(10, 10, 2, 2);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    int renders = 0;
    const std::vector<double> extremes = {
        0, -1, 1e9, -1e9, 1e-9, nan, std::numeric_limits<double>::infinity()};
    std::vector<std::string> all = kFinite;
    all.insert(all.end(), kInfinite.begin(), kInfinite.end());
    for (const std::string& name : all) {
        auto probe = ci::Filter::make(name);
        ASSERT_TRUE(probe);
        for (const std::string& key : probe->inputKeys()) {
            const ci::Value def = probe->value(key);
            std::vector<ci::Value> values;
            if (def.kind() == ci::ValueKind::Number)
                for (double v : extremes)
                    values.emplace_back(v);
            else if (def.kind() == ci::ValueKind::Vector)
                values = {ci::Vector{1e9, -1e9}, ci::Vector{nan, nan}, ci::Vector{0, 0, 0, 0}};
            else if (def.kind() == ci::ValueKind::Transform)
                values = {ci::Affine{0, 0, 0, 0, 0, 0}, ci::Affine{1e9, 0, 0, 1e-9, 0, 0},
                          ci::Affine{nan, 0, 0, 1, 0, 0}};
            for (const ci::Value& v : values) {
                SCOPED_TRACE(name + " " + key + " = " + v.describe());
                ci::Dictionary d = inputsFor(name, second);
                d[key] = v;
                ci::Image out = apply(img, name, d);
                ASSERT_FALSE(out.isNull());
                ci::Context ctx;
                auto bm = ctx.render(out, ci::Rect{-5, -5, 30, 25}.intersected(out.extent()));
                ASSERT_TRUE(bm.ok()) << bm.error();
                EXPECT_TRUE(allFinite(*bm));
                ++renders;
            }
        }
    }
    EXPECT_GT(renders, 300);
}
