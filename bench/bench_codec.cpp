// JPEG decoding and encoding at the size of a 12-megapixel camera photograph.

#include "ci/core/Context.h"
#include "ci/io/Codec.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

constexpr int kWidth = 4000, kHeight = 3000;

/// The test photo scaled up to 4000 x 3000, as pixels and as JPEG files (without and with an
/// embedded Adobe RGB profile), made once.
struct Fixture {
    ci::PixelBuffer pixels;
    ci::Image image;
    std::string plainPath, profilePath;
    bool ok = false;

    Fixture() {
        const std::string source = std::string(GW_TEST_DATA_DIR) + "/rocket.jpg";
        auto photo = ci::io::decodeFile(source);
        if (!photo.ok())
            return;
        const ci::Affine scale =
            ci::Affine::scale(double(kWidth) / photo->width, double(kHeight) / photo->height);
        // Clamped first, so the edges stay opaque.
        image =
            photo->image.clampedToExtent().transformed(scale).cropped(ci::Rect::make(0, 0, kWidth, kHeight));
        auto rendered = ci::Context().render(image);
        if (!rendered.ok())
            return;
        image = ci::Image::fromBitmap(std::move(*rendered));
        auto px = ci::Context().renderSRGB(image, image.extent());
        if (!px.ok())
            return;
        pixels = std::move(*px);
        auto jpeg = ci::io::encodePixels(pixels, ci::io::FileType::JPEG, 0.9);
        if (!jpeg.ok())
            return;
        const fs::path dir = fs::temp_directory_path();
        plainPath = (dir / "gw-bench-12mp.jpg").string();
        profilePath = (dir / "gw-bench-12mp-adobe.jpg").string();
        std::ofstream(plainPath, std::ios::binary)
            .write(reinterpret_cast<const char*>(jpeg->data()), std::streamsize(jpeg->size()));
        // Borrow the source photo's own profile.
        fs::remove(profilePath);
        const std::string cmd = "exiftool -q -TagsFromFile " + source + " -ICC_Profile -o " + profilePath +
                                " " + plainPath + " >/dev/null 2>&1";
        if (std::system(cmd.c_str()) != 0)
            profilePath.clear();
        ok = true;
    }
    ~Fixture() {
        if (!plainPath.empty())
            fs::remove(plainPath);
        if (!profilePath.empty())
            fs::remove(profilePath);
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void decode(benchmark::State& state, const std::string& path) {
    if (path.empty()) {
        state.SkipWithError("fixture could not be made");
        return;
    }
    for (auto _ : state) {
        auto d = ci::io::decodeFile(path);
        if (!d.ok()) {
            state.SkipWithError(d.error().c_str());
            return;
        }
        benchmark::DoNotOptimize(d->image);
    }
    state.counters["Mpx/s"] =
        benchmark::Counter(double(kWidth) * kHeight * 1e-6, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_DecodeJPEG_12MP(benchmark::State& state) {
    decode(state, fixture().plainPath);
}
BENCHMARK(BM_DecodeJPEG_12MP)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DecodeJPEG_12MP_AdobeRGB(benchmark::State& state) {
    decode(state, fixture().profilePath);
}
BENCHMARK(BM_DecodeJPEG_12MP_AdobeRGB)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_EncodeJPEG_12MP(benchmark::State& state) {
    Fixture& f = fixture();
    if (!f.ok) {
        state.SkipWithError("fixture could not be made");
        return;
    }
    for (auto _ : state) {
        auto bytes = ci::io::encodePixels(f.pixels, ci::io::FileType::JPEG, 0.8);
        benchmark::DoNotOptimize(bytes);
    }
    state.counters["Mpx/s"] =
        benchmark::Counter(double(kWidth) * kHeight * 1e-6, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_EncodeJPEG_12MP)->Unit(benchmark::kMillisecond)->UseRealTime();

/// Rendering the working-space picture to 8-bit sRGB and encoding it, as an export does.
void BM_EncodeImageJPEG_12MP(benchmark::State& state) {
    Fixture& f = fixture();
    if (!f.ok) {
        state.SkipWithError("fixture could not be made");
        return;
    }
    for (auto _ : state) {
        auto bytes = ci::io::encodeImage(f.image, ci::io::FileType::JPEG, 0.8);
        benchmark::DoNotOptimize(bytes);
    }
}
BENCHMARK(BM_EncodeImageJPEG_12MP)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
