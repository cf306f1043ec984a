#include "ColorProfileTable.h"

#include "ci/builtin/ColorPipeline.h"
#include "ci/core/Context.h"

#include <lcms2_plugin.h>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstring>

namespace ci::io {

namespace {

/// Steps of the tables of the output curves, over the grid's outputs from 0 to 1.
constexpr int kSteps = 4096;
/// The largest grid followed here: real profiles' have 9 to 33 points a side, a few 65.
constexpr int64_t kMaxPoints = int64_t(65) * 65 * 65;
/// Colours the table is tried on against LittleCMS, and how far from it (in 8-bit levels of
/// sRGB-encoded values, sign kept) any of them may come out.
constexpr int kTrials = 4096;
constexpr double kTolerance = 0.25;

// CIE Lab's function, the straight part carried on below zero.
constexpr double kDelta = 6.0 / 29.0;
double labF(double t) {
    return t > kDelta * kDelta * kDelta ? std::cbrt(t) : t / (3 * kDelta * kDelta) + 4.0 / 29.0;
}

/// The three curves of a stage that is one of curves.
bool curvesOf(const cmsStage* stage, const cmsToneCurve* curves[3]) {
    if (!stage || cmsStageType(stage) != cmsSigCurveSetElemType)
        return false;
    const auto* data = static_cast<const _cmsStageToneCurvesData*>(cmsStageData(stage));
    if (!data || data->nCurves != 3)
        return false;
    for (int c = 0; c < 3; ++c)
        if (!(curves[c] = data->TheCurves[c]))
            return false;
    return true;
}

/// A curve of the profile's, or none (straight).
double curve(const cmsToneCurve* c, double x) {
    return c ? double(cmsEvalToneCurveFloat(c, float(x))) : x;
}

inline ProfileTable::Vec load(const float* p) {
    ProfileTable::Vec v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

/// A table of kSteps + 1 points over [0, 1] at `x`, interpolated.
inline float along(const float* table, float x) {
    const float s = std::min(std::max(x, 0.0f), 1.0f) * float(kSteps);
    const int j = std::min(int(s), kSteps - 1);
    return table[j] + (s - float(j)) * (table[j + 1] - table[j]);
}

struct Trials {
    std::vector<uint8_t> samples; ///< as stored, `stride` samples a pixel
    std::vector<float> colours;   ///< the same as floats from 0 to 1, 3 a pixel
};

/// kTrials colours of `type`: the corners of the cube, then colours from a fixed sequence.
Trials trials(SampleType type, int stride) {
    const int bytes = type == SampleType::U8 ? 1 : 2;
    const uint32_t top = type == SampleType::U8 ? 255 : 65535;
    Trials t;
    t.samples.assign(size_t(kTrials) * size_t(stride) * size_t(bytes), 0);
    t.colours.resize(size_t(kTrials) * 3);
    uint32_t state = 0x2545F491;
    for (int i = 0; i < kTrials; ++i)
        for (int c = 0; c < 3; ++c) {
            state = state * 1664525u + 1013904223u;
            const uint32_t v = i < 8 ? ((i >> c) & 1) * top : (state >> 8) % (top + 1);
            t.colours[size_t(i) * 3 + size_t(c)] = float(v) / float(top);
            const size_t at = size_t(i) * size_t(stride) + size_t(c);
            if (bytes == 1)
                t.samples[at] = uint8_t(v);
            else
                reinterpret_cast<uint16_t*>(t.samples.data())[at] = uint16_t(v);
        }
    return t;
}

} // namespace

ProfileTable::Place ProfileTable::placeOf(int channel, float u) const {
    const int last = points_[channel] - 1;
    const float x = std::min(std::max(u, 0.0f), 1.0f) * float(last);
    const int i = std::min(int(x), last - 1);
    return {i * step_[channel], x - float(i)};
}

inline ProfileTable::Vec ProfileTable::interpolated(const Place at[3]) const {
    // LittleCMS interpolates a grid in the one of the cell's six tetrahedra (around its diagonal)
    // that holds the fractions: from the first point along the largest fraction's input, then the
    // middle one's, then the smallest one's. Without branches, which photographs would mispredict.
    const float rx = at[0].fraction, ry = at[1].fraction, rz = at[2].fraction;
    const int32_t xy = -int32_t(rx >= ry), yz = -int32_t(ry >= rz), xz = -int32_t(rx >= rz); // all ones, or 0
    const int32_t all = step_[0] + step_[1] + step_[2];
    int32_t first = step_[2], smallest = step_[2];
    first ^= (first ^ step_[1]) & ~xy & yz;
    first ^= (first ^ step_[0]) & xy & xz;
    smallest ^= (smallest ^ step_[1]) & xy & ~yz;
    smallest ^= (smallest ^ step_[0]) & ~xy & ~xz;
    const float hi = std::max(rx, std::max(ry, rz)), lo = std::min(rx, std::min(ry, rz));
    const float mid = rx + ry + rz - hi - lo;
    const float* c = grid_.data() + at[0].offset + at[1].offset + at[2].offset;
    const Vec c0 = load(c), c1 = load(c + first), c2 = load(c + all - smallest), c3 = load(c + all);
    return c0 + hi * (c1 - c0) + mid * (c2 - c1) + lo * (c3 - c2);
}

inline ProfileTable::Vec ProfileTable::converted(const Place at[3]) const {
    const Vec v = interpolated(at);
    Vec e;
    if (straight_) {
        e = v * load(slope_) + load(intercept_);
    } else {
        e = Vec{along(outputs_[0].data(), v[0]), along(outputs_[1].data(), v[1]),
                along(outputs_[2].data(), v[2]), 0.0f};
    }
    if (lab_) {
        // (L* + 16) / 116, a* / 500 and b* / 200 into the inverses of Lab's function for X, Y, Z.
        constexpr auto d = float(kDelta);
        const Vec f = Vec{e[0], e[0], e[0], 0.0f} + Vec{e[1], 0.0f, -e[2], 0.0f};
        constexpr float below = 3 * d * d;
        e = f > d ? f * f * f : below * (f - 4.0f / 29.0f);
    }
    return e[0] * load(matrix_) + e[1] * load(matrix_ + 4) + e[2] * load(matrix_ + 8) + load(matrix_ + 12);
}

std::unique_ptr<const ProfileTable> ProfileTable::build(cmsHPROFILE source, cmsHPROFILE workingSpace,
                                                        cmsUInt32Number intent, SampleType type,
                                                        int pixelStride, const double primaries[9],
                                                        const double toWorkingSpace[9]) {
    if (type != SampleType::U8 && type != SampleType::U16)
        return nullptr;
    // The table LittleCMS converts through: the intent's own, else the perceptual one. It reads it
    // as curves, a grid and curves, whether the profile stores a lut8, a lut16 or a lutAtoB.
    const cmsTagSignature tag = intent == INTENT_RELATIVE_COLORIMETRIC && cmsIsTag(source, cmsSigAToB1Tag)
                                    ? cmsSigAToB1Tag
                                    : cmsSigAToB0Tag;
    const auto* lut = static_cast<const cmsPipeline*>(cmsReadTag(source, tag));
    if (!lut || cmsPipelineInputChannels(lut) != 3 || cmsPipelineOutputChannels(lut) != 3)
        return nullptr;
    const cmsToneCurve *before[3] = {}, *after[3] = {};
    const cmsStage* stage = cmsPipelineGetPtrToFirstStage(lut);
    if (curvesOf(stage, before))
        stage = cmsStageNext(stage);
    if (!stage || cmsStageType(stage) != cmsSigCLutElemType || cmsStageInputChannels(stage) != 3 ||
        cmsStageOutputChannels(stage) != 3)
        return nullptr;
    const auto* clut = static_cast<const _cmsStageCLutData*>(cmsStageData(stage));
    stage = cmsStageNext(stage);
    if (curvesOf(stage, after))
        stage = cmsStageNext(stage);
    const bool lab = cmsGetPCS(source) == cmsSigLabData;
    if (stage || !clut || !clut->Params || (!lab && cmsGetPCS(source) != cmsSigXYZData))
        return nullptr; // a matrix between curves (lutAtoB's "M" form) is left to LittleCMS

    std::unique_ptr<ProfileTable> t(new ProfileTable);
    t->type_ = type;
    t->stride_ = pixelStride;
    t->lab_ = lab;
    int64_t points = 1;
    for (int c = 0; c < 3; ++c) {
        t->points_[c] = int(clut->Params->nSamples[c]);
        if (t->points_[c] < 2)
            return nullptr;
        points *= t->points_[c];
    }
    if (points > kMaxPoints || int64_t(clut->nEntries) != points * 3)
        return nullptr;
    t->step_[2] = 4;
    t->step_[1] = 4 * t->points_[2];
    t->step_[0] = t->step_[1] * t->points_[1];
    t->grid_.assign(size_t(points) * 4, 0.0f);
    for (size_t i = 0; i < size_t(points) * 3; ++i)
        t->grid_[i / 3 * 4 + i % 3] =
            clut->HasFloatValues ? clut->Tab.TFloat[i] : float(clut->Tab.T[i]) / 65535.0f;
    const int values = type == SampleType::U8 ? 256 : 65536;
    for (int c = 0; c < 3; ++c) {
        if (type == SampleType::U8)
            t->places_[c].resize(size_t(values));
        else
            t->inputs_[c].resize(size_t(values));
        for (int v = 0; v < values; ++v) {
            const auto u = float(curve(before[c], double(v) / double(values - 1)));
            if (type == SampleType::U8)
                t->places_[c][size_t(v)] = t->placeOf(c, u);
            else
                t->inputs_[c][size_t(v)] = u;
        }
    }

    // LittleCMS compensates black points in the perceptual intent (the working space is a version 4
    // profile): XYZ' = scale XYZ + shift, from the two black points towards D50.
    double scale[3] = {1, 1, 1}, shift[3] = {0, 0, 0};
    if ((intent == INTENT_PERCEPTUAL || intent == INTENT_SATURATION) &&
        cmsGetEncodedICCversion(workingSpace) >= 0x4000000) {
        cmsCIEXYZ in{}, out{};
        cmsDetectBlackPoint(&in, source, intent, 0);
        cmsDetectDestinationBlackPoint(&out, workingSpace, intent, 0);
        if (in.X != out.X || in.Y != out.Y || in.Z != out.Z) {
            const double white[3] = {cmsD50_XYZ()->X, cmsD50_XYZ()->Y, cmsD50_XYZ()->Z};
            const double from[3] = {in.X, in.Y, in.Z}, to[3] = {out.X, out.Y, out.Z};
            for (int k = 0; k < 3; ++k) {
                scale[k] = (to[k] - white[k]) / (from[k] - white[k]);
                shift[k] = -white[k] * (to[k] - from[k]) / (from[k] - white[k]);
            }
        }
    }

    // What LittleCMS makes of the trial colours, back in the connection space: the coordinates
    // that each output curve's output maps to, each through a scale and an offset of its own
    // (the encoding of the space in the table's version).
    cmsHTRANSFORM exact = cmsCreateTransformTHR(cmsGetProfileContextID(source), source, TYPE_RGB_FLT,
                                                workingSpace, TYPE_RGB_FLT, intent, cmsFLAGS_NOCACHE);
    if (!exact)
        return nullptr;
    const Trials trial = trials(type, pixelStride);
    std::vector<float> want(trial.colours.size());
    cmsDoTransform(exact, trial.colours.data(), want.data(), kTrials);
    cmsDeleteTransform(exact);
    const double white[3] = {cmsD50_XYZ()->X, cmsD50_XYZ()->Y, cmsD50_XYZ()->Z};
    double sums[3][4] = {}; // per output: sum of x, of y, of x x, of x y
    for (int i = 0; i < kTrials; ++i) {
        const float* rgb = &want[size_t(i) * 3];
        double xyz[3];
        for (int r = 0; r < 3; ++r)
            xyz[r] =
                ((primaries[r * 3] * rgb[0] + primaries[r * 3 + 1] * rgb[1] + primaries[r * 3 + 2] * rgb[2]) -
                 shift[r]) /
                scale[r];
        double target[3] = {xyz[0], xyz[1], xyz[2]};
        if (lab) {
            const double fx = labF(xyz[0] / white[0]), fy = labF(xyz[1] / white[1]),
                         fz = labF(xyz[2] / white[2]);
            target[0] = fy, target[1] = fx - fy, target[2] = fy - fz;
        }
        // Where the trial falls in the grid, and what the output curves make of it.
        Place at[3];
        for (int c = 0; c < 3; ++c)
            at[c] = t->placeOf(c, float(curve(before[c], trial.colours[size_t(i) * 3 + size_t(c)])));
        const Vec grid = t->interpolated(at);
        for (int k = 0; k < 3; ++k) {
            const double x = curve(after[k], grid[k]);
            sums[k][0] += x, sums[k][1] += target[k], sums[k][2] += x * x, sums[k][3] += x * target[k];
        }
    }
    t->straight_ = true;
    for (int k = 0; k < 3; ++k) {
        const double n = kTrials, spread = n * sums[k][2] - sums[k][0] * sums[k][0];
        if (!(spread > 1e-12 * n * n))
            return nullptr;
        const double a = (n * sums[k][3] - sums[k][0] * sums[k][1]) / spread;
        const double b = (sums[k][1] - a * sums[k][0]) / n;
        t->slope_[k] = float(a);
        t->intercept_[k] = float(b);
        t->outputs_[k].resize(kSteps + 1);
        for (int j = 0; j <= kSteps; ++j) {
            const double x = double(j) / kSteps, y = curve(after[k], x);
            t->outputs_[k][size_t(j)] = float(a * y + b);
            // LittleCMS evaluates a stored curve at 16 bits: within that, a straight one.
            t->straight_ = t->straight_ && std::fabs(y - x) <= 1.0 / 65535;
        }
    }
    // Columns: what each of X, Y and Z (or the inverses of Lab's function) adds, then the offset.
    for (int r = 0; r < 3; ++r) {
        double offset = 0;
        for (int c = 0; c < 3; ++c) {
            t->matrix_[c * 4 + r] = float(toWorkingSpace[r * 3 + c] * scale[c] * (lab ? white[c] : 1.0));
            offset += toWorkingSpace[r * 3 + c] * shift[c];
        }
        t->matrix_[12 + r] = float(offset);
    }

    // The whole conversion, as pixels will take it, against LittleCMS's.
    std::vector<float> got(size_t(kTrials) * 4);
    t->convert(trial.samples.data(), got.data(), kTrials);
    for (int i = 0; i < kTrials; ++i)
        for (int c = 0; c < 3; ++c) {
            const float a = got[size_t(i) * 4 + size_t(c)], b = want[size_t(i) * 3 + size_t(c)];
            if (!(std::fabs(srgbEncode(a) - srgbEncode(b)) * 255.0f <= float(kTolerance)))
                return nullptr;
        }
    return t;
}

#if defined(__x86_64__) && defined(__GNUC__)
namespace {

/// The constant of Lab's inverse function below its bend, as the single conversions compute it.
constexpr float kBelowBend = 3 * float(kDelta) * float(kDelta);

} // namespace

/// Eight pixels at once: converted() for each, the same sums in the same order (multiplies and
/// adds apart), so the same results; photographs' pixels take every branch of it in turn.
__attribute__((target("avx2,fma"))) void ProfileTable::convertEight(const Place at[3][8],
                                                                    float rgb[3][8]) const {
    __m256i offset[3];
    __m256 fraction[3];
    for (int c = 0; c < 3; ++c) {
        alignas(32) int32_t o[8];
        alignas(32) float f[8];
        for (int i = 0; i < 8; ++i)
            o[i] = at[c][i].offset, f[i] = at[c][i].fraction;
        offset[c] = _mm256_load_si256(reinterpret_cast<const __m256i*>(o));
        fraction[c] = _mm256_load_ps(f);
    }
    const __m256 rx = fraction[0], ry = fraction[1], rz = fraction[2];
    const __m256i xy = _mm256_castps_si256(_mm256_cmp_ps(rx, ry, _CMP_GE_OQ));
    const __m256i yz = _mm256_castps_si256(_mm256_cmp_ps(ry, rz, _CMP_GE_OQ));
    const __m256i xz = _mm256_castps_si256(_mm256_cmp_ps(rx, rz, _CMP_GE_OQ));
    const __m256i s0 = _mm256_set1_epi32(step_[0]), s1 = _mm256_set1_epi32(step_[1]),
                  s2 = _mm256_set1_epi32(step_[2]), all = _mm256_set1_epi32(step_[0] + step_[1] + step_[2]);
    __m256i first = _mm256_blendv_epi8(s2, s1, _mm256_andnot_si256(xy, yz));
    first = _mm256_blendv_epi8(first, s0, _mm256_and_si256(xy, xz));
    __m256i smallest = _mm256_blendv_epi8(s2, s1, _mm256_andnot_si256(yz, xy));
    smallest =
        _mm256_blendv_epi8(smallest, s0, _mm256_andnot_si256(_mm256_or_si256(xy, xz), _mm256_set1_epi32(-1)));
    const __m256 hi = _mm256_max_ps(rx, _mm256_max_ps(ry, rz)), lo = _mm256_min_ps(rx, _mm256_min_ps(ry, rz));
    const __m256 mid = _mm256_sub_ps(_mm256_sub_ps(_mm256_add_ps(_mm256_add_ps(rx, ry), rz), hi), lo);
    const __m256i base = _mm256_add_epi32(_mm256_add_epi32(offset[0], offset[1]), offset[2]);
    const __m256i second = _mm256_sub_epi32(all, smallest);
    // The four corners of each pixel's tetrahedron, each point's 4 floats loaded whole and turned
    // into a register of each output.
    const float* grid = grid_.data();
    alignas(32) int32_t where[4][8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(where[0]), base);
    _mm256_store_si256(reinterpret_cast<__m256i*>(where[1]), _mm256_add_epi32(base, first));
    _mm256_store_si256(reinterpret_cast<__m256i*>(where[2]), _mm256_add_epi32(base, second));
    _mm256_store_si256(reinterpret_cast<__m256i*>(where[3]), _mm256_add_epi32(base, all));
    __m256 corner[4][3];
    for (int q = 0; q < 4; ++q) {
        const int32_t* w = where[q];
        __m256 pairs[4]; // points i and i + 4
        for (int i = 0; i < 4; ++i)
            pairs[i] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(grid + w[i])),
                                            _mm_loadu_ps(grid + w[i + 4]), 1);
        const __m256 a = pairs[0], b = pairs[1], c = pairs[2], d = pairs[3];
        const __m256 ab0 = _mm256_unpacklo_ps(a, b), ab1 = _mm256_unpackhi_ps(a, b);
        const __m256 cd0 = _mm256_unpacklo_ps(c, d), cd1 = _mm256_unpackhi_ps(c, d);
        corner[q][0] = _mm256_castpd_ps(_mm256_unpacklo_pd(_mm256_castps_pd(ab0), _mm256_castps_pd(cd0)));
        corner[q][1] = _mm256_castpd_ps(_mm256_unpackhi_pd(_mm256_castps_pd(ab0), _mm256_castps_pd(cd0)));
        corner[q][2] = _mm256_castpd_ps(_mm256_unpacklo_pd(_mm256_castps_pd(ab1), _mm256_castps_pd(cd1)));
    }
    __m256 e[3];
    for (int k = 0; k < 3; ++k) {
        const __m256 c0 = corner[0][k], c1 = corner[1][k], c2 = corner[2][k], c3 = corner[3][k];
        __m256 v = _mm256_add_ps(c0, _mm256_mul_ps(hi, _mm256_sub_ps(c1, c0)));
        v = _mm256_add_ps(v, _mm256_mul_ps(mid, _mm256_sub_ps(c2, c1)));
        v = _mm256_add_ps(v, _mm256_mul_ps(lo, _mm256_sub_ps(c3, c2)));
        if (straight_) {
            e[k] = _mm256_add_ps(_mm256_mul_ps(v, _mm256_set1_ps(slope_[k])), _mm256_set1_ps(intercept_[k]));
        } else {
            const __m256 s =
                _mm256_mul_ps(_mm256_min_ps(_mm256_max_ps(v, _mm256_setzero_ps()), _mm256_set1_ps(1.0f)),
                              _mm256_set1_ps(float(kSteps)));
            const __m256i j = _mm256_min_epi32(_mm256_cvttps_epi32(s), _mm256_set1_epi32(kSteps - 1));
            const float* h = outputs_[k].data();
            const __m256 h0 = _mm256_i32gather_ps(h, j, 4);
            const __m256 h1 = _mm256_i32gather_ps(h, _mm256_add_epi32(j, _mm256_set1_epi32(1)), 4);
            e[k] = _mm256_add_ps(
                h0, _mm256_mul_ps(_mm256_sub_ps(s, _mm256_cvtepi32_ps(j)), _mm256_sub_ps(h1, h0)));
        }
    }
    if (lab_) {
        const __m256 f[3] = {_mm256_add_ps(e[0], e[1]), e[0], _mm256_sub_ps(e[0], e[2])};
        const __m256 bend = _mm256_set1_ps(float(kDelta)), below = _mm256_set1_ps(kBelowBend),
                     at = _mm256_set1_ps(4.0f / 29.0f);
        for (int k = 0; k < 3; ++k) {
            const __m256 cube = _mm256_mul_ps(_mm256_mul_ps(f[k], f[k]), f[k]);
            const __m256 line = _mm256_mul_ps(below, _mm256_sub_ps(f[k], at));
            e[k] = _mm256_blendv_ps(line, cube, _mm256_cmp_ps(f[k], bend, _CMP_GT_OQ));
        }
    }
    for (int r = 0; r < 3; ++r) {
        __m256 v = _mm256_add_ps(_mm256_mul_ps(e[0], _mm256_set1_ps(matrix_[r])),
                                 _mm256_mul_ps(e[1], _mm256_set1_ps(matrix_[4 + r])));
        v = _mm256_add_ps(v, _mm256_mul_ps(e[2], _mm256_set1_ps(matrix_[8 + r])));
        _mm256_storeu_ps(rgb[r], _mm256_add_ps(v, _mm256_set1_ps(matrix_[12 + r])));
    }
}
#endif

template <class Sample> void ProfileTable::convertSamples(const Sample* p, float* out, int64_t n) const {
    const auto placeAt = [&](int c, Sample v) {
        if constexpr (sizeof(Sample) == 1)
            return places_[c][v];
        else
            return placeOf(c, inputs_[c][v]);
    };
#if defined(__x86_64__) && defined(__GNUC__)
    if (builtin::color::hasAvx2())
        for (; n >= 8; n -= 8) {
            Place at[3][8];
            for (int i = 0; i < 8; ++i, p += stride_)
                for (int c = 0; c < 3; ++c)
                    at[c][i] = placeAt(c, p[c]);
            float rgb[3][8];
            convertEight(at, rgb);
            for (int i = 0; i < 8; ++i, out += 4)
                out[0] = rgb[0][i], out[1] = rgb[1][i], out[2] = rgb[2][i];
        }
#endif
    for (; n > 0; --n, p += stride_, out += 4) {
        const Place at[3] = {placeAt(0, p[0]), placeAt(1, p[1]), placeAt(2, p[2])};
        const Vec rgb = converted(at);
        out[0] = rgb[0], out[1] = rgb[1], out[2] = rgb[2];
    }
}

void ProfileTable::convert(const void* src, float* out, int64_t n) const {
    if (type_ == SampleType::U8)
        convertSamples(static_cast<const uint8_t*>(src), out, n);
    else
        convertSamples(static_cast<const uint16_t*>(src), out, n);
}

} // namespace ci::io
