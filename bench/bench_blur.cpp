// Cost of the spatial built-ins on a 12-megapixel picture (the astronaut photo enlarged).

#include "ci/core/Bitmap.h"
#include "ci/core/Context.h"
#include "ci/core/Filter.h"
#include "ci/core/Image.h"
#include "ci/io/Codec.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

ci::Image loadPhoto(const std::string& path) {
    auto decoded = ci::io::decodeFile(path);
    if (!decoded)
        throw std::runtime_error(decoded.error());
    return decoded->image;
}

const ci::Image& photo12MP() {
    static const ci::Image image = [] {
        ci::Image small = loadPhoto(std::string(GW_TEST_DATA_DIR) + "/astronaut.png");
        const double k = std::sqrt(12e6 / small.extent().width() / small.extent().height());
        ci::Image big = small.transformed(ci::Affine::scale(k, k));
        auto bm = ci::Context().render(big, big.extent());
        if (!bm)
            throw std::runtime_error(bm.error());
        return ci::Image::fromBitmap(std::move(bm.value()));
    }();
    return image;
}

void runFilter(benchmark::State& state, const std::string& name, const ci::Dictionary& inputs) {
    const ci::Image& src = photo12MP();
    const ci::Context ctx;
    for (auto _ : state) {
        ci::Image out = src.applyingFilter(name, inputs);
        auto bm = ctx.render(out, src.extent());
        if (!bm) {
            state.SkipWithError(bm.error().c_str());
            break;
        }
        benchmark::DoNotOptimize(bm->data());
    }
    state.SetItemsProcessed(state.iterations() * int64_t(src.extent().width() * src.extent().height()));
}

void BM_GaussianBlur(benchmark::State& s) {
    runFilter(s, "CIGaussianBlur", {{"inputRadius", double(s.range(0))}});
}
BENCHMARK(BM_GaussianBlur)->Arg(5)->Arg(10)->Arg(50)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_LanczosQuarter(benchmark::State& state) {
    const ci::Image& src = photo12MP();
    const ci::Context ctx;
    for (auto _ : state) {
        ci::Image out = src.applyingFilter("CILanczosScaleTransform", {{"inputScale", 0.25}});
        auto bm = ctx.render(out, out.extent());
        benchmark::DoNotOptimize(bm->data());
    }
}
BENCHMARK(BM_LanczosQuarter)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BoxBlur(benchmark::State& s) {
    runFilter(s, "CIBoxBlur", {{"inputRadius", double(s.range(0))}});
}
BENCHMARK(BM_BoxBlur)->Arg(5)->Arg(50)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DiscBlur(benchmark::State& s) {
    runFilter(s, "CIDiscBlur", {{"inputRadius", double(s.range(0))}});
}
BENCHMARK(BM_DiscBlur)->Arg(5)->Arg(50)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MotionBlur(benchmark::State& s) {
    runFilter(s, "CIMotionBlur", {{"inputRadius", double(s.range(0))}});
}
BENCHMARK(BM_MotionBlur)->Arg(5)->Arg(50)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Median(benchmark::State& s) {
    runFilter(s, "CIMedianFilter", {});
}
BENCHMARK(BM_Median)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_NoiseReduction(benchmark::State& s) {
    runFilter(s, "CINoiseReduction", {});
}
BENCHMARK(BM_NoiseReduction)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_NoiseReductionWithoutSharpening(benchmark::State& s) {
    runFilter(s, "CINoiseReduction", {{"inputSharpness", 0.0}});
}
BENCHMARK(BM_NoiseReductionWithoutSharpening)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SharpenLuminance(benchmark::State& s) {
    runFilter(s, "CISharpenLuminance", {});
}
BENCHMARK(BM_SharpenLuminance)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_UnsharpMask(benchmark::State& s) {
    runFilter(s, "CIUnsharpMask", {});
}
BENCHMARK(BM_UnsharpMask)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Bloom(benchmark::State& s) {
    runFilter(s, "CIBloom", {});
}
BENCHMARK(BM_Bloom)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ZoomBlur(benchmark::State& s) {
    runFilter(s, "CIZoomBlur", {{"inputCenter", ci::Vector{1700, 1700}}});
}
BENCHMARK(BM_ZoomBlur)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Twirl(benchmark::State& s) {
    runFilter(s, "CITwirlDistortion", {{"inputCenter", ci::Vector{1700, 1700}}, {"inputRadius", 1500}});
}
BENCHMARK(BM_Twirl)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Pixellate(benchmark::State& s) {
    runFilter(s, "CIPixellate", {{"inputScale", 20}});
}
BENCHMARK(BM_Pixellate)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Crystallize(benchmark::State& s) {
    runFilter(s, "CICrystallize", {});
}
BENCHMARK(BM_Crystallize)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_EdgeWork(benchmark::State& s) {
    runFilter(s, "CIEdgeWork", {});
}
BENCHMARK(BM_EdgeWork)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DotScreen(benchmark::State& s) {
    runFilter(s, "CIDotScreen", {});
}
BENCHMARK(BM_DotScreen)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
