// Face detection on photographs of 3, 12 and 24 megapixels: the landscape test photo enlarged,
// with eight heads cut from the astronaut photo at sizes from 30 pixels up, some of them tilted.
// Detection only (the faces' rectangles, as the privacy actions ask), and with landmarks.
//
//   face_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true

#include "ci/core/Bitmap.h"
#include "ci/core/Context.h"
#include "ci/core/Image.h"
#include "ci/face/FaceDetector.h"
#include "ci/io/Codec.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <stdexcept>
#include <string>

namespace {

ci::Image loadPhoto(const std::string& name) {
    auto decoded = ci::io::decodeFile(std::string(GW_TEST_DATA_DIR) + "/" + name);
    if (!decoded)
        throw std::runtime_error(decoded.error());
    return decoded->image;
}

// A decoded photograph of about this many megapixels (4:3), held as pixels like a decoded file.
const ci::Image& photo(int megapixels) {
    static std::map<int, ci::Image> photos;
    auto& image = photos[megapixels];
    if (image)
        return image;
    const double width = std::round(std::sqrt(megapixels * 1e6 * 4 / 3)), height = std::round(width * 3 / 4);
    const ci::Image landscape = loadPhoto("rocket.jpg");
    const ci::Image astronaut = loadPhoto("astronaut.png");
    const double k = std::max(width / landscape.extent().width(), height / landscape.extent().height());
    ci::Image canvas =
        landscape.transformed(ci::Affine::scale(k, k)).cropped(ci::Rect::make(0, 0, width, height));
    // The astronaut's face: a box of 88 pixels around (223, 385).
    const ci::Image head = astronaut.cropped(ci::Rect::make(223 - 70, 385 - 70, 140, 140));
    for (int i = 0; i < 8; ++i) {
        const double size = 30 * std::pow(1.35, i), angle = (i % 3 - 1) * 20.0;
        const ci::Affine t =
            ci::Affine::translation(-223, -385)
                .then(ci::Affine::rotation(angle * 3.14159265358979323846 / 180))
                .then(ci::Affine::scale(size / 88, size / 88))
                .then(ci::Affine::translation(width * (0.1 + 0.11 * i), height * (i % 2 ? 0.3 : 0.7)));
        canvas = head.transformed(t).composited(canvas);
    }
    auto pixels = ci::Context().render(canvas, canvas.extent());
    if (!pixels)
        throw std::runtime_error(pixels.error());
    image = ci::Image::fromBitmap(std::move(pixels.value()));
    return image;
}

void detect(benchmark::State& state, ci::FaceDetector::Detail detail) {
    const ci::Image& image = photo(int(state.range(0)));
    const auto detector = ci::FaceDetector::make();
    if (detail == ci::FaceDetector::Detail::Landmarks)
        detector->features(image, detail); // the model loads once per process
    size_t faces = 0;
    for (auto _ : state)
        faces = detector->features(image, detail).size();
    state.counters["faces"] = double(faces);
    state.counters["megapixels"] = image.extent().width() * image.extent().height() / 1e6;
}

void BM_FaceDetection(benchmark::State& state) {
    detect(state, ci::FaceDetector::Detail::Bounds);
}
// The machine is shared: the least of several runs is the fairest figure, beside the median.
double least(const std::vector<double>& v) {
    return *std::min_element(v.begin(), v.end());
}

BENCHMARK(BM_FaceDetection)
    ->Arg(3)
    ->Arg(12)
    ->Arg(24)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->ComputeStatistics("min", least);

void BM_FaceDetectionWithLandmarks(benchmark::State& state) {
    detect(state, ci::FaceDetector::Detail::Landmarks);
}
BENCHMARK(BM_FaceDetectionWithLandmarks)
    ->Arg(12)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->ComputeStatistics("min", least);

} // namespace

BENCHMARK_MAIN();
