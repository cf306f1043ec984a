#include "AutoAdjust.h"
#include "Builtins.h"
#include "ColorPipeline.h"

#include "ci/core/Context.h"
#include "ci/core/Filter.h"
#include "ci/core/Memory.h"
#include "ci/core/Node.h"
#include "ci/face/FaceDetector.h"

#include <tbb/parallel_for.h>
#include <tbb/parallel_invoke.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <unordered_set>
#include <vector>

namespace ci {

using namespace builtin::color;

namespace {

// ---- CIFaceBalance ----

// YIQ from sRGB-encoded RGB.
constexpr double kYIQ[3][3] = {{0.299, 0.587, 0.114}, {0.596, -0.274, -0.322}, {0.211, -0.523, 0.312}};

Image faceBalance(const Inputs& in) {
    Image image = in.image("inputImage");
    double origI = in.number("inputOrigI"), origQ = in.number("inputOrigQ");
    double strength = in.number("inputStrength"), warmth = in.number("inputWarmth");
    if (!image)
        return {};
    // Skin sits on the +I axis; warmth scales how far along it the face is moved.
    double rho = std::hypot(origI, origQ);
    double dI = strength * (rho * (0.8 + 0.4 * warmth) - origI);
    double dQ = strength * (0 - origQ);
    if (!(dI != 0 || dQ != 0))
        return image;
    // A constant shift in YIQ is a constant shift in RGB: the inverse matrix times (0, dI, dQ).
    const auto& m = kYIQ;
    double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                 m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                 m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    // Columns 1 and 2 of the inverse (cofactors over the determinant).
    double inv01 = (m[0][2] * m[2][1] - m[0][1] * m[2][2]) / det,
           inv02 = (m[0][1] * m[1][2] - m[0][2] * m[1][1]) / det;
    double inv11 = (m[0][0] * m[2][2] - m[0][2] * m[2][0]) / det,
           inv12 = (m[0][2] * m[1][0] - m[0][0] * m[1][2]) / det;
    double inv21 = (m[0][1] * m[2][0] - m[0][0] * m[2][1]) / det,
           inv22 = (m[0][0] * m[1][1] - m[0][1] * m[1][0]) / det;
    const float off[3] = {finite(float(inv01 * dI + inv02 * dQ)), finite(float(inv11 * dI + inv12 * dQ)),
                          finite(float(inv21 * dI + inv22 * dQ))};
    return pointFilter(image, spaceOf("CIFaceBalance"), Form::Straight, [off](Block& p, int n, const Place&) {
        for (int i = 0; i < n; ++i) {
            p.r[i] += off[0];
            p.g[i] += off[1];
            p.b[i] += off[2];
        }
    });
}

// ---- The analysis ----

constexpr int kAnalysisSize = 512;
// The smallest face that counts is this share of the picture's longest side: 80 pixels of a
// 12-megapixel photograph, ten of the analysis copy.
constexpr double kSmallestFaceShare = 50;
constexpr int kBins = 256;

struct Histogram {
    std::array<double, kBins> w{};
    double total = 0;

    void add(double p, double weight) {
        int bin = std::clamp(int(p * kBins), 0, kBins - 1);
        w[bin] += weight;
        total += weight;
    }
    /// The value below which the fraction q of the weight lies (interpolated inside the bin).
    double percentile(double q) const {
        double target = q * total, acc = 0;
        for (int i = 0; i < kBins; ++i) {
            if (w[i] > 0 && acc + w[i] >= target)
                return (i + std::clamp((target - acc) / w[i], 0.0, 1.0)) / kBins;
            acc += w[i];
        }
        return 1.0;
    }
};

std::shared_ptr<Filter> makeFilter(const char* name,
                                   std::initializer_list<std::pair<const char*, Value>> values) {
    auto f = Filter::make(name);
    if (f)
        for (const auto& [k, v] : values)
            f->setValue(k, v);
    return f;
}

// How much the analysis copy of a picture of extent e is reduced.
double analysisScale(const Rect& e) {
    return std::min(1.0, kAnalysisSize / std::max(e.width(), e.height()));
}

// The reduced copy the statistics are taken from (a finite, non-empty image): plenty for
// statistics; the shrink averages areas.
Result<Bitmap> analysisCopy(const Image& image) {
    const Rect e = image.extent();
    const double scale = analysisScale(e);
    const Affine toSmall = Affine::translation(-e.x0, -e.y0).then(Affine::scale(scale, scale));
    Image small = scale < 1 ? image.transformed(toSmall) : image.translated(-e.x0, -e.y0);
    return Context().render(small, Rect::make(0, 0, e.width() * scale, e.height() * scale));
}

// The proposals from the analysis copy of a finite, non-empty image and its faces.
std::vector<std::shared_ptr<Filter>> proposals(const Rect& e, const Result<Bitmap>& rendered,
                                               const std::vector<Rect>& faces) {
    std::vector<std::shared_ptr<Filter>> out;
    if (!rendered)
        return out;
    const double scale = analysisScale(e);
    const Bitmap& bm = rendered.value();

    // Each pixel's measures are worked out in parallel (the encoding curve is the costly part)
    // and summed in order, so the sums are exactly those of a single pass.
    struct Measures {
        double w, yl, p, chroma;
    };
    const int64_t width = bm.width(), y0 = bm.rect().y0;
    std::vector<Measures> measures(size_t(width * bm.height()));
    tbb::parallel_for(y0, bm.rect().y1, [&](int64_t y) {
        const float* px = bm.row(y);
        Measures* m = measures.data() + (y - y0) * width;
        for (int64_t x = 0; x < width; ++x, px += 4, ++m) {
            m->w = clamp01(px[3]);
            if (m->w < 0.01)
                continue;
            double c[3];
            for (int k = 0; k < 3; ++k)
                c[k] = std::clamp(double(px[k]) / px[3], 0.0, 1.0);
            m->yl = lum709(float(c[0]), float(c[1]), float(c[2]));
            m->p = std::sqrt(std::max(m->yl, 0.0));
            double enc[3];
            for (int k = 0; k < 3; ++k)
                enc[k] = srgbEncode(float(c[k]));
            m->chroma = std::max({enc[0], enc[1], enc[2]}) - std::min({enc[0], enc[1], enc[2]});
        }
    });
    Histogram hist;
    double chromaSum = 0, chromaWeight = 0, dark = 0, bright = 0;
    for (const Measures& m : measures) {
        const double w = m.w, p = m.p;
        if (w < 0.01)
            continue;
        hist.add(p, w);
        if (m.yl > 0.01 && m.yl < 0.95) {
            chromaSum += w * m.chroma;
            chromaWeight += w;
        }
        if (p < 0.2)
            dark += w;
        if (p > 0.95)
            bright += w;
    }
    if (!(hist.total > 0))
        return out;
    const double pLo = hist.percentile(0.005), pMed = hist.percentile(0.5), pHi = hist.percentile(0.995);

    // Face balance: the mean colour of the faces' inner boxes, as YIQ chroma.
    if (!faces.empty()) {
        double area = 0, sum[3] = {0, 0, 0};
        for (const Rect& f : faces) {
            Rect inner = f.grown(-0.2 * f.width(), -0.2 * f.height());
            Rect r = Rect{(inner.x0 - e.x0) * scale, (inner.y0 - e.y0) * scale, (inner.x1 - e.x0) * scale,
                          (inner.y1 - e.y0) * scale};
            IRect pix = r.coveredPixels().intersected(bm.rect());
            double a = 0, s[3] = {0, 0, 0};
            for (int64_t y = pix.y0; y < pix.y1; ++y)
                for (int64_t x = pix.x0; x < pix.x1; ++x) {
                    const float* px = bm.pixel(x, y);
                    if (!(px[3] > 0))
                        continue;
                    for (int k = 0; k < 3; ++k)
                        s[k] += srgbEncode(std::clamp(px[k] / px[3], 0.f, 1.f));
                    a += 1;
                }
            if (a > 0) {
                // Faces count by their area.
                for (int k = 0; k < 3; ++k)
                    sum[k] += s[k];
                area += a;
            }
        }
        if (area > 0) {
            double R = sum[0] / area, G = sum[1] / area, B = sum[2] / area;
            double I = kYIQ[1][0] * R + kYIQ[1][1] * G + kYIQ[1][2] * B;
            double Q = kYIQ[2][0] * R + kYIQ[2][1] * G + kYIQ[2][2] * B;
            if (auto f = makeFilter(
                    "CIFaceBalance",
                    {{"inputOrigI", I}, {"inputOrigQ", Q}, {"inputStrength", 0.5}, {"inputWarmth", 0.5}}))
                out.push_back(f);
        }
    }

    // Vibrance: lift dull colour, calm garish colour; greyscale pictures get none.
    if (chromaWeight > 0) {
        double meanChroma = chromaSum / chromaWeight;
        if (meanChroma >= 0.02) {
            double amount = std::clamp(0.6 * (0.3 - meanChroma) / 0.3, -0.2, 0.4);
            if (std::fabs(amount) >= 0.03)
                if (auto f = makeFilter("CIVibrance", {{"inputAmount", amount}}))
                    out.push_back(f);
        }
    }

    // Tone curve: stretch the used range and bring the median towards the middle, by 60 %.
    {
        const double lo = std::min(pLo, 0.12), hi = std::max(pHi, 0.85);
        auto f = [&](double x) { return std::clamp((x - lo) / (hi - lo), 0.0, 1.0); };
        const double m = f(pMed);
        const double gamma = m > 0 && m < 1 ? std::clamp(std::log(0.5) / std::log(m), 0.75, 1.33) : 1.0;
        double ys[5], worst = 0;
        for (int i = 0; i < 5; ++i) {
            double x = i * 0.25;
            ys[i] = x + 0.6 * (std::pow(f(x), gamma) - x);
            worst = std::max(worst, std::fabs(ys[i] - x));
        }
        if (worst >= 0.01) {
            if (auto c = makeFilter("CIToneCurve", {{"inputPoint0", Vector{0.0, ys[0]}},
                                                    {"inputPoint1", Vector{0.25, ys[1]}},
                                                    {"inputPoint2", Vector{0.5, ys[2]}},
                                                    {"inputPoint3", Vector{0.75, ys[3]}},
                                                    {"inputPoint4", Vector{1.0, ys[4]}}}))
                out.push_back(c);
        }
    }

    // Shadows and highlights: open up large dark areas, hold back large bright ones.
    {
        const double darkShare = dark / hist.total, brightShare = bright / hist.total;
        const double shadow = std::clamp(1.2 * (darkShare - 0.2), 0.0, 0.5);
        const double highlight = 1 - std::clamp(0.8 * (brightShare - 0.1), 0.0, 0.3);
        if (shadow >= 0.05 || highlight <= 0.97)
            if (auto f = makeFilter("CIHighlightShadowAdjust",
                                    {{"inputShadowAmount", shadow}, {"inputHighlightAmount", highlight}}))
                out.push_back(f);
    }
    return out;
}

} // namespace

std::vector<std::shared_ptr<Filter>> autoAdjustmentFilters(const Image& image,
                                                           const std::vector<Rect>& faces) {
    if (!image || image.extent().isInfinite() || image.extent().isEmpty())
        return {};
    return proposals(image.extent(), analysisCopy(image), faces);
}

namespace {

// Whether computing the image takes at least `enough` kernels (each node counted once).
bool hasKernels(const Image& image, int enough) {
    std::vector<const Node*> todo{image.node().get()};
    std::unordered_set<const Node*> seen;
    int kernels = 0;
    while (!todo.empty()) {
        const Node* n = todo.back();
        todo.pop_back();
        if (!n || !seen.insert(n).second)
            continue;
        if (n->kind == NodeKind::Color || n->kind == NodeKind::Warp || n->kind == NodeKind::General)
            if (++kernels >= enough)
                return true;
        for (const Image& in : n->inputs)
            todo.push_back(in.node().get());
    }
    return false;
}

} // namespace

Image renderedForRereading(const Image& image) {
    // A decoded photograph (its samples, perhaps a profile conversion) is cheap to read again.
    constexpr int kWorthHolding = 3;
    if (!image)
        return image;
    const Rect e = image.extent();
    if (e.isInfinite() || e.isEmpty() || e.roundedOut() != e || !hasKernels(image, kWorthHolding))
        return image;
    // Held for as long as the result is: only where that leaves the render plenty of room.
    const int64_t bytes = Bitmap::bytesFor(e.coveredPixels());
    if (bytes > memory::limit() / 8 || !memory::admit(bytes).empty())
        return image;
    auto pixels = Context().render(image, e);
    if (!pixels)
        return image;
    return Image::fromBitmap(std::move(*pixels));
}

std::vector<std::shared_ptr<Filter>> autoAdjustmentFilters(const Image& image) {
    // The detector's models load once per process; it may be shared between threads.
    static const std::shared_ptr<FaceDetector> detector = FaceDetector::make();
    std::vector<Rect> faces;
    const Rect e = image ? image.extent() : Rect();
    if (!image || e.isInfinite() || e.isEmpty())
        return {};
    // The face search and the analysis copy read the same picture independently; side by side
    // they keep the cores busy where each alone leaves some idle.
    std::optional<Result<Bitmap>> copy;
    tbb::parallel_invoke(
        [&] {
            if (!detector)
                return;
            // Faces smaller than this cover only a few pixels of the analysis copy; searching a
            // large photograph for them too would cost more than the rest of the adjustment.
            const double smallest = std::max(e.width(), e.height()) / kSmallestFaceShare;
            for (const FaceFeature& f : detector->features(image, FaceDetector::Detail::Bounds, smallest))
                faces.push_back(f.bounds);
        },
        [&] { copy.emplace(analysisCopy(image)); });
    return proposals(e, *copy, faces);
}

namespace builtin {

void registerAutoAdjustFilters() {
    // Created by name by the automatic adjustment; it has no category, so no listing offers it.
    defineBuiltin(
        {"CIFaceBalance",
         "Face Balance",
         {},
         {imageInput(), number("inputOrigI", 0, "Original I"), number("inputOrigQ", 0, "Original Q"),
          number("inputStrength", 0.5, "Strength"), number("inputWarmth", 0.5, "Warmth")},
         faceBalance});
}

} // namespace builtin

} // namespace ci
