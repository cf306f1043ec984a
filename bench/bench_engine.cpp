// Engine throughput on a 12-megapixel photograph: a fused chain of colour kernels, and the same
// chain followed by a blur (which holds its input once per render).

#include "ci/core/Context.h"
#include "ci/core/Filter.h"
#include "ci/core/Value.h"
#include "ci/io/Codec.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>

namespace {

// The test photo scaled up to 4000 x 3000 and held as pixels, as a decoded file would be.
const ci::Image& photo12MP() {
    static const ci::Image img = [] {
        auto d = ci::io::decodeFile(std::string(GW_TEST_DATA_DIR) + "/rocket.jpg");
        if (!d) {
            std::fprintf(stderr, "cannot read the test photo: %s\n", d.error().c_str());
            std::exit(1);
        }
        const ci::Image big = d->image.transformed(ci::Affine::scale(4000.0 / d->width, 3000.0 / d->height))
                                  .cropped(ci::Rect::make(0, 0, 4000, 3000));
        auto bm = ci::Context().render(big);
        return ci::Image::fromBitmap(std::move(*bm));
    }();
    return img;
}

ci::Image colourChain(const ci::Image& in) {
    return in.applyingFilter("CIColorControls", {{"inputSaturation", 1.2}, {"inputContrast", 1.1}})
        .applyingFilter("CIExposureAdjust", {{"inputEV", 0.3}})
        .applyingFilter("CIGammaAdjust", {{"inputPower", 0.9}})
        .applyingFilter("CIHueAdjust", {{"inputAngle", 0.2}})
        .applyingFilter("CIColorMatrix", {{"inputBiasVector", ci::Vector{0.01, 0, 0, 0}}});
}

void BM_FusedColourChain(benchmark::State& state) {
    const ci::Image chain = colourChain(photo12MP());
    ci::Context ctx;
    for (auto _ : state) {
        auto out = ctx.renderSRGB(chain, chain.extent());
        benchmark::DoNotOptimize(out->data.data());
    }
    state.SetItemsProcessed(state.iterations() * 12'000'000);
}
BENCHMARK(BM_FusedColourChain)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ColourChainThenBlur(benchmark::State& state) {
    const ci::Image chain = colourChain(photo12MP())
                                .clampedToExtent()
                                .applyingFilter("CIGaussianBlur", {{"inputRadius", 5.0}})
                                .cropped(photo12MP().extent());
    ci::Context ctx;
    for (auto _ : state) {
        auto out = ctx.renderSRGB(chain, chain.extent());
        benchmark::DoNotOptimize(out->data.data());
    }
}
BENCHMARK(BM_ColourChainThenBlur)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
