// Per-pixel cost of the colour filter families on a 12-megapixel picture, on one core.
// Run: build/bench/bench_builtin_color --benchmark_counters_tabular=true

#include "ci/core/Context.h"
#include "ci/core/Filter.h"

#include <benchmark/benchmark.h>

#include <cmath>

using namespace ci;

namespace {

constexpr int kWidth = 4000, kHeight = 3000;

const Image& photo() {
    static const Image img = [] {
        Bitmap bm(IRect{0, 0, kWidth, kHeight});
        for (int y = 0; y < kHeight; ++y) {
            float* p = bm.row(y);
            for (int x = 0; x < kWidth; ++x, p += 4) {
                p[0] = 0.5f + 0.5f * std::sin(x * 0.01f);
                p[1] = 0.5f + 0.5f * std::cos(y * 0.013f);
                p[2] = float((x ^ y) & 255) / 255.f;
                p[3] = 1;
            }
        }
        return Image::fromBitmap(std::move(bm));
    }();
    return img;
}

void run(benchmark::State& state, const std::string& name, const Dictionary& inputs, bool generator = false) {
    const Context context(Context::Options{256, 1});
    const Rect area = Rect::make(0, 0, kWidth, kHeight);
    Image out;
    if (generator) {
        auto f = Filter::make(name);
        for (const auto& [k, v] : inputs)
            f->setValue(k, v);
        out = f->outputImage();
    } else {
        Dictionary d = inputs;
        d["inputImage"] = photo();
        auto f = Filter::make(name);
        for (const auto& [k, v] : d)
            f->setValue(k, v);
        out = f->outputImage();
    }
    for (auto _ : state) {
        auto bm = context.render(out, area);
        benchmark::DoNotOptimize(bm);
    }
    state.counters["ns/px"] =
        benchmark::Counter(double(kWidth) * kHeight,
                           benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// The reference cost of rendering the source alone.
void BM_Source(benchmark::State& s) {
    const Context context(Context::Options{256, 1});
    for (auto _ : s)
        benchmark::DoNotOptimize(context.render(photo(), Rect::make(0, 0, kWidth, kHeight)));
    s.counters["ns/px"] =
        benchmark::Counter(double(kWidth) * kHeight,
                           benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Source)->Unit(benchmark::kMillisecond);

#define COLOR_BENCH(id, ...)                                                                                 \
    void BM_##id(benchmark::State& s) {                                                                      \
        run(s, __VA_ARGS__);                                                                                 \
    }                                                                                                        \
    BENCHMARK(BM_##id)->Unit(benchmark::kMillisecond)

// Linear working space, straight colour.
COLOR_BENCH(ColorControls, "CIColorControls", {{"inputSaturation", 1.2}, {"inputContrast", 1.1}});
// Linear, premultiplied directly.
COLOR_BENCH(ExposureAdjust, "CIExposureAdjust", {{"inputEV", 0.5}});
COLOR_BENCH(GammaAdjust, "CIGammaAdjust", {{"inputPower", 1.3}});
COLOR_BENCH(TemperatureAndTint, "CITemperatureAndTint", {{"inputNeutral", Vector{4000, 10}}});
COLOR_BENCH(ToneCurve, "CIToneCurve", {{"inputPoint1", Vector{0.25, 0.3}}});
// sRGB-encoded: decode and encode around the maths.
COLOR_BENCH(Vibrance, "CIVibrance", {{"inputAmount", 0.5}});
COLOR_BENCH(HighlightShadowAdjust, "CIHighlightShadowAdjust", {{"inputShadowAmount", 0.4}});
COLOR_BENCH(SepiaTone, "CISepiaTone", {});
COLOR_BENCH(VignetteEffect, "CIVignetteEffect",
            {{"inputCenter", Vector{2000, 1500}}, {"inputRadius", 1500.0}});
COLOR_BENCH(PhotoEffectInstant, "CIPhotoEffectInstant", {});
// Compositing against the same picture.
COLOR_BENCH(SoftLightBlendMode, "CISoftLightBlendMode", {{"inputBackgroundImage", photo()}});
COLOR_BENCH(HueBlendMode, "CIHueBlendMode", {{"inputBackgroundImage", photo()}});
COLOR_BENCH(SourceOverCompositing, "CISourceOverCompositing", {{"inputBackgroundImage", photo()}});
// Generators.
COLOR_BENCH(RadialGradient, "CIRadialGradient", {{"inputRadius1", 2000.0}}, true);
COLOR_BENCH(RandomGenerator, "CIRandomGenerator", {}, true);

} // namespace

BENCHMARK_MAIN();
