// Cost of the own kernels on a 12-megapixel picture. The Kuwahara smoothing must not grow with
// its radius.

#include "filters/Kernels.h"

#include "ci/core/Bitmap.h"
#include "ci/core/Context.h"
#include "ci/core/Image.h"

#include <benchmark/benchmark.h>

#include <cmath>

namespace {

// A textured picture with edges, made in code so that the figure does not depend on a codec.
const ci::Image& picture12MP() {
    static const ci::Image image = [] {
        const int w = 4000, h = 3000;
        ci::Bitmap bm(ci::IRect{0, 0, w, h});
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                float* p = bm.pixel(x, y);
                const float edge = ((x / 97 + y / 61) % 2) ? 0.7f : 0.2f;
                p[0] = edge + 0.1f * std::sin(x * 0.37f);
                p[1] = edge + 0.1f * std::cos(y * 0.29f);
                p[2] = 0.5f + 0.2f * std::sin((x + y) * 0.11f);
                p[3] = 1.0f;
            }
        return ci::Image::fromBitmap(std::move(bm));
    }();
    return image;
}

void render(benchmark::State& state, const ci::Image& out) {
    const ci::Context ctx;
    for (auto _ : state) {
        auto bm = ctx.render(out, out.extent());
        if (!bm) {
            state.SkipWithError(bm.error().c_str());
            break;
        }
        benchmark::DoNotOptimize(bm.value().data());
    }
    state.SetItemsProcessed(state.iterations() * int64_t(out.extent().width() * out.extent().height()));
}

void BM_Kuwahara(benchmark::State& state) {
    render(state, filters::kernels::kuwahara(picture12MP(), double(state.range(0))));
}
BENCHMARK(BM_Kuwahara)->Arg(2)->Arg(15)->Arg(40)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MultiBandHSV(benchmark::State& state) {
    filters::kernels::BandShifts s;
    s.fill({0.05f, 0.9f, 1.0f});
    render(state, filters::kernels::multiBandHSV(picture12MP(), s));
}
BENCHMARK(BM_MultiBandHSV)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
