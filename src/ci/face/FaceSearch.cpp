#include "FaceSearch.h"

#include "FrontalFilters.h"

#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <deque>
#include <new>
#include <tuple>

// The search computes the same features as dlib's fHOG (Felzenszwalb's 31-dimensional HOG
// variant) and applies the frontal detector's filters to them, but builds its scale pyramid
// differently. dlib scales the picture to every level and, for faces smaller than its 80-pixel
// window, would search a copy enlarged three times: nine times the pixels at every level above
// full size. Here a level of scale s below 1 reads the picture resampled to its scale, as dlib
// does, with cells of 8 pixels: the scale the filters were trained at (a copy coarser than the
// level spreads every gradient over more of the face and scores faces lower, a turned one by
// about 0.3). A level above 1 reads the picture itself, or the picture doubled for the smallest
// faces, with cells of 8/s pixels: the votes go to cells of a fractional size, and a level costs
// in proportion to its cells rather than to nine times the picture.
//
// Applying five 10 x 10 x 31 filters at every window dominates the cost, so windows go through
// two passes (as in Felzenszwalb's cascade detection). The first applies the filters to the
// features projected onto their eight main directions; only the poses of windows that come
// within a wide margin of the threshold get the exact score.

namespace ci::face {

namespace {

constexpr int kSide = kFrontalSide; // cells per window side
constexpr int kPlanes = kFrontalPlanes;
constexpr int kLanes = 32; // the 31 features of a cell, padded
constexpr int kBins = 18;
constexpr int kDims = 8;   // dimensions of the first pass
constexpr int kTile = 160; // window positions per side of a parallel task

// A window reports a box 73 level pixels wide (dlib's convention) and responds best to faces
// somewhat smaller.
constexpr double kBoxPerCell = 73.0 / 8.0;
constexpr double kBestBoxAtLevel = 66.0;
// Doubling the picture for cells below minCellPixels costs four times the pixels; it pays for
// the smallest faces (cells under three pixels), not for the next level (cells of 3.5 pixels
// search as well without it).
constexpr double kMinUndoubledCell = 3.4;
// dlib searches no level narrower than 64 pixels.
constexpr int kMinCells = 8;
// Over 8.5 million windows of photographs the first pass was never more than 1.6 away from the
// exact score (standard deviation 0.18 to 0.26 by pose); the margin leaves room for pictures
// unlike them and still spares the exact score to all but a few percent of the windows.
constexpr float kFirstPassMargin = 2.0f;
// Windows are a cell apart, and a face between two of them scores up to about 0.4 less than one
// centred on a window: a turned face, whose best score is lower, would be found or missed
// according to where it sits. Windows of a level's grid that come this close to the threshold
// are scored again on the grids shifted by half a cell, so that no face is more than a quarter of
// a cell from a window.
constexpr double kRefineMargin = 0.3;
// Refinement tasks group the windows to score again by squares of this many window positions.
constexpr int kRefineTile = 16;

// Mean and main directions (principal components) of fHOG cell features over a set of
// photographs, for the first pass.
constexpr float kFeatureMean[kFrontalPlanes] = {
    0.1185f, 0.0699f, 0.0912f, 0.0693f, 0.1467f, 0.0651f, 0.0647f, 0.0890f, 0.0685f, 0.1234f, 0.0708f,
    0.0910f, 0.0696f, 0.1451f, 0.0659f, 0.0637f, 0.0822f, 0.0673f, 0.2131f, 0.1321f, 0.1691f, 0.1295f,
    0.2508f, 0.1221f, 0.1213f, 0.1613f, 0.1281f, 0.1840f, 0.1838f, 0.1843f, 0.1841f};
constexpr float kFeatureBasis[kDims][kFrontalPlanes] = {
    {-0.1446f, -0.1916f, -0.1216f, -0.1061f, 0.0975f,  -0.0395f, -0.1184f, -0.1214f,
     -0.1883f, -0.1344f, -0.1879f, -0.1188f, -0.1014f, 0.1100f,  -0.0351f, -0.1152f,
     -0.1263f, -0.1921f, -0.2389f, -0.3445f, -0.2124f, -0.1916f, 0.1363f,  -0.0773f,
     -0.2145f, -0.2207f, -0.3462f, -0.2143f, -0.2172f, -0.2161f, -0.2176f},
    {0.2315f,  0.0328f,  -0.0217f, -0.1414f, -0.2021f, -0.2194f, -0.1402f, -0.0041f,
     0.0475f,  0.2597f,  0.0473f,  -0.0135f, -0.1444f, -0.2280f, -0.2293f, -0.1495f,
     -0.0277f, 0.0344f,  0.3712f,  0.0645f,  -0.0271f, -0.2541f, -0.3369f, -0.3975f,
     -0.2617f, -0.0264f, 0.0674f,  -0.1040f, -0.1015f, -0.1031f, -0.1006f},
    {-0.0074f, 0.1204f,  0.2613f,  0.1970f, 0.0889f, -0.1052f, -0.1633f, -0.1723f,
     -0.1271f, -0.0039f, 0.1190f,  0.2533f, 0.1869f, 0.0842f,  -0.1060f, -0.1584f,
     -0.1680f, -0.1270f, -0.0035f, 0.2070f, 0.4242f, 0.3202f,  0.1301f,  -0.1830f,
     -0.2782f, -0.2868f, -0.2206f, 0.0257f, 0.0156f, 0.0135f,  0.0264f},
    {-0.0560f, 0.1286f,  -0.0953f, 0.0139f,  -0.4723f, -0.0006f, -0.0784f, -0.3303f,
     -0.0345f, -0.2472f, 0.1009f,  -0.0308f, 0.1194f,  -0.0972f, 0.1796f,  0.1157f,
     -0.0368f, 0.1230f,  -0.2460f, 0.2016f,  -0.1380f, 0.1133f,  -0.4070f, 0.1608f,
     0.0312f,  -0.3379f, 0.0812f,  -0.0803f, -0.0875f, -0.0787f, -0.0828f},
    {0.0576f,  0.1848f,  0.2543f,  0.2621f,  0.3526f,  0.2314f,  0.1536f,  0.0540f,
     0.0050f,  -0.1928f, -0.1238f, -0.2823f, -0.2100f, -0.5644f, -0.1738f, -0.1304f,
     -0.1574f, 0.0116f,  -0.1090f, 0.0529f,  -0.0373f, 0.0420f,  -0.1517f, 0.0509f,
     0.0194f,  -0.0969f, 0.0155f,  -0.0436f, -0.0254f, -0.0386f, -0.0188f},
    {-0.4733f, -0.1941f, -0.2052f, -0.0420f, -0.0187f, 0.1470f,  0.1802f,  0.2192f,
     0.2726f,  0.3495f,  0.2690f,  0.1794f,  0.0945f,  -0.1684f, -0.0696f, -0.1522f,
     -0.3271f, -0.2590f, -0.0962f, 0.0663f,  -0.0326f, 0.0441f,  -0.1311f, 0.0676f,
     0.0234f,  -0.0991f, 0.0142f,  -0.0160f, -0.0099f, -0.0373f, -0.0303f},
    {0.2547f,  0.0981f,  -0.1438f, -0.0591f, 0.1915f,  0.2272f,  -0.0534f, -0.2205f,
     0.0239f,  0.2485f,  0.0964f,  -0.1519f, -0.0776f, 0.1434f,  0.1869f,  -0.0837f,
     -0.2278f, 0.0126f,  0.3530f,  0.1663f,  -0.2268f, -0.1006f, 0.2203f,  0.3482f,
     -0.1095f, -0.3705f, 0.0367f,  0.0543f,  0.0552f,  0.0528f,  0.0571f},
    {-0.0870f, -0.0306f, -0.1813f, 0.1678f,  0.1461f,  -0.1347f, -0.1275f, -0.0150f,
     0.2975f,  -0.0929f, -0.0231f, -0.1750f, 0.1675f,  0.1415f,  -0.1679f, -0.1571f,
     -0.0162f, 0.2656f,  -0.1282f, -0.0315f, -0.2976f, 0.2885f,  0.1857f,  -0.2465f,
     -0.2352f, -0.0297f, 0.4835f,  -0.0028f, -0.0011f, -0.0047f, -0.0019f},
};
// Eight-lane vectors in GCC's notation: AVX registers where the processor has them (see
// processTaskAvx2), pairs of SSE registers elsewhere. They never cross a function boundary
// outside inlined code, so the warning about their calling convention does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"
using v8 = float __attribute__((vector_size(32)));
using v8i = int __attribute__((vector_size(32)));

#define GW_INLINE inline __attribute__((always_inline))

GW_INLINE v8 load8(const float* p) {
    v8 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

GW_INLINE float sum8(v8 v) {
    return ((v[0] + v[4]) + (v[1] + v[5])) + ((v[2] + v[6]) + (v[3] + v[7]));
}

// Source pixels first .. first + 3 and their weights for a resampled pixel (see tentTaps).
struct Taps {
    int first;
    float w[4];
};

// Floats on a cache line's boundary: the passes read them in blocks of eight, and a block that
// straddles two lines costs two reads (a fifth more time overall, depending on where the
// allocator happened to place the buffers).
template <class T> struct CacheLineAllocator {
    using value_type = T;
    CacheLineAllocator() = default;
    template <class U> CacheLineAllocator(const CacheLineAllocator<U>&) {}
    T* allocate(size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), std::align_val_t(64))); }
    void deallocate(T* p, size_t) { ::operator delete(p, std::align_val_t(64)); }
    bool operator==(const CacheLineAllocator&) const { return true; }
};
using Floats = std::vector<float, CacheLineAllocator<float>>;

struct Level {
    // The copy the level reads: the picture doubled, the picture, or a halved copy resampled to the
    // level's scale; the doubled and resampled rows are made as they are read.
    const GrayImage* image = nullptr;
    bool doubled = false;
    std::vector<Taps> tapsX, tapsY; // when resampled
    double cell = 8;                // cell side in pixels of the copy
    int cellsX = 0, cellsY = 0;
    int visibleX = 0, visibleY = 0; // pixels that vote: [1, visible - 1)
    int positionsX = 0, positionsY = 0;
    double pixelScale = 1; // picture pixels per pixel of the copy
};

struct Task {
    int level;
    int x0, y0, x1, y1; // window positions (top-left cell), half-open
    // Offset of the task's cell grid from the level's, in cells (0 or a half).
    double phaseX = 0, phaseY = 0;
};

// A window of the level's own grid that came close to the threshold without reaching it.
struct NearMiss {
    int x, y;
};

// The filters in the layouts the two passes read.
struct Filters {
    // Exact pass: [pose][row][column][32 lanes], so that a row of a window is 320 floats laid out
    // as the features are.
    Floats exact;
    // First pass: [pose][row][column][kDims], the weights projected onto the basis.
    Floats projected;
    // Per pose: the response of the mean feature minus the pose's threshold.
    std::array<float, kFrontalPoses> offset{};
    // Orthonormalised basis, [plane][kDims].
    std::array<float, kPlanes * kDims> basis{};
    // Minus the projection of the mean: the projection of a cell of zeros.
    v8 meanProjection{};

    Filters()
        : exact(size_t(kFrontalPoses) * kSide * kSide * kLanes, 0.0f),
          projected(size_t(kFrontalPoses) * kSide * kSide * kDims, 0.0f) {
        // Gram-Schmidt: the table is rounded.
        double b[kDims][kPlanes];
        for (int j = 0; j < kDims; ++j) {
            for (int d = 0; d < kPlanes; ++d)
                b[j][d] = kFeatureBasis[j][d];
            for (int i = 0; i < j; ++i) {
                double dot = 0;
                for (int d = 0; d < kPlanes; ++d)
                    dot += b[i][d] * b[j][d];
                for (int d = 0; d < kPlanes; ++d)
                    b[j][d] -= dot * b[i][d];
            }
            double n = 0;
            for (int d = 0; d < kPlanes; ++d)
                n += b[j][d] * b[j][d];
            for (int d = 0; d < kPlanes; ++d)
                b[j][d] /= std::sqrt(n);
        }
        for (int j = 0; j < kDims; ++j) {
            double m = 0;
            for (int d = 0; d < kPlanes; ++d) {
                basis[size_t(d * kDims + j)] = float(b[j][d]);
                m += b[j][d] * kFeatureMean[d];
            }
            meanProjection[j] = float(-m);
        }
        for (int p = 0; p < kFrontalPoses; ++p) {
            double meanResponse = 0;
            for (int r = 0; r < kSide; ++r)
                for (int c = 0; c < kSide; ++c) {
                    const size_t cell = (size_t(p) * kSide + size_t(r)) * kSide + size_t(c);
                    double w[kPlanes];
                    for (int d = 0; d < kPlanes; ++d) {
                        w[d] =
                            kFrontalWeights[((size_t(p) * kPlanes + size_t(d)) * kSide + size_t(r)) * kSide +
                                            size_t(c)];
                        exact[cell * kLanes + size_t(d)] = float(w[d]);
                        meanResponse += w[d] * kFeatureMean[d];
                    }
                    for (int j = 0; j < kDims; ++j) {
                        double v = 0;
                        for (int d = 0; d < kPlanes; ++d)
                            v += w[d] * b[j][d];
                        projected[cell * kDims + size_t(j)] = float(v);
                    }
                }
            offset[size_t(p)] = float(meanResponse - kFrontalThresholds[p]);
        }
    }

    const float* exactRow(int pose, int r) const {
        return exact.data() + (size_t(pose) * kSide + size_t(r)) * kSide * kLanes;
    }
    const float* projectedRow(int pose, int r) const {
        return projected.data() + (size_t(pose) * kSide + size_t(r)) * kSide * kDims;
    }
};

const Filters& filters() {
    static const Filters f;
    return f;
}

struct Scratch {
    std::vector<float> blend;
    Floats hist, line, norm, feats, proj;
    Floats rows, mag, wx;
    std::vector<int> ix;
    std::vector<int32_t> bin;
    std::vector<uint8_t> ready;
    std::vector<FaceBox> found;
    std::vector<NearMiss> near;
};

GrayImage halve(const GrayImage& src) {
    GrayImage dst;
    dst.width = src.width / 2;
    dst.height = src.height / 2;
    dst.pixels.resize(size_t(dst.width) * size_t(dst.height));
    tbb::parallel_for(tbb::blocked_range<int>(0, dst.height, 64), [&](const tbb::blocked_range<int>& rows) {
        for (int y = rows.begin(); y < rows.end(); ++y) {
            const uint8_t* a = src.row(2 * y);
            const uint8_t* b = src.row(2 * y + 1);
            uint8_t* out = dst.pixels.data() + size_t(y) * size_t(dst.width);
            for (int x = 0; x < dst.width; ++x)
                out[x] = uint8_t((a[2 * x] + a[2 * x + 1] + b[2 * x] + b[2 * x + 1] + 2) >> 2);
        }
    });
    return dst;
}

// Resampling of a copy by a factor r between a half and 1: output pixel i is the mean of the
// source under a tent one output pixel wide on either side of its centre (i + 0.5) / r - 0.5, so
// that detail finer than the output's pixels is removed rather than folded back (the 2 x 2
// halving alone turns a face one pixel further into a different picture). Pixels past the
// border repeat the border's.
std::vector<Taps> tentTaps(int n, double r) {
    std::vector<Taps> taps(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        const double c = (i + 0.5) / r - 0.5;
        Taps& t = taps[size_t(i)];
        t.first = int(std::floor(c - 1 / r)) + 1;
        double w[4], sum = 0;
        for (int j = 0; j < 4; ++j) {
            w[j] = std::max(0.0, 1 - std::abs(t.first + j - c) * r);
            sum += w[j];
        }
        for (int j = 0; j < 4; ++j)
            t.w[j] = float(w[j] / sum);
    }
    return taps;
}

using v4 = float __attribute__((vector_size(16)));
using v4i = int __attribute__((vector_size(16)));

// n pixels of a row of a resampled copy (the row's taps and those of its first column), rounded to
// whole levels as an 8-bit picture would be (see doubledRow), as floats.
GW_INLINE void reducedRow(const GrayImage& src, const Taps& v, const Taps* tx, int n, float* out,
                          std::vector<float>& line) {
    // The source row blended vertically over the columns the taps reach, border pixels repeated.
    // Above a reduction of 2/3 the tent covers three rows at most.
    const int lo = tx[0].first, hi = tx[n - 1].first + 4;
    const int a0 = std::clamp(lo, 0, src.width - 1), a1 = std::clamp(hi, a0 + 1, src.width);
    line.resize(size_t(hi - lo));
    float* __restrict l = line.data() - lo;
    const uint8_t* __restrict r0 = src.row(std::clamp(v.first, 0, src.height - 1));
    const uint8_t* __restrict r1 = src.row(std::clamp(v.first + 1, 0, src.height - 1));
    const uint8_t* __restrict r2 = src.row(std::clamp(v.first + 2, 0, src.height - 1));
    const uint8_t* __restrict r3 = src.row(std::clamp(v.first + 3, 0, src.height - 1));
    const float w0 = v.w[0], w1 = v.w[1], w2 = v.w[2], w3 = v.w[3];
    if (w3 == 0) {
        for (int x = a0; x < a1; ++x)
            l[x] = (w0 * float(r0[x]) + w1 * float(r1[x])) + w2 * float(r2[x]);
    } else {
        for (int x = a0; x < a1; ++x)
            l[x] = (w0 * float(r0[x]) + w1 * float(r1[x])) + (w2 * float(r2[x]) + w3 * float(r3[x]));
    }
    for (int x = lo; x < a0; ++x)
        l[x] = l[a0];
    for (int x = a1; x < hi; ++x)
        l[x] = l[a1 - 1];
    // Four pixels at a time: their products with the taps transposed and added up. The sums are
    // positive, so truncation rounds them down.
    auto product = [&](int i) {
        v4 w, a;
        std::memcpy(&w, tx[i].w, sizeof w);
        std::memcpy(&a, l + tx[i].first, sizeof a);
        return w * a;
    };
    int i = 0;
    for (; i + 4 <= n; i += 4) {
        const v4 p0 = product(i), p1 = product(i + 1), p2 = product(i + 2), p3 = product(i + 3);
        const v4 u0 =
            __builtin_shufflevector(p0, p1, 0, 4, 1, 5) + __builtin_shufflevector(p0, p1, 2, 6, 3, 7);
        const v4 u1 =
            __builtin_shufflevector(p2, p3, 0, 4, 1, 5) + __builtin_shufflevector(p2, p3, 2, 6, 3, 7);
        const v4 sum =
            __builtin_shufflevector(u0, u1, 0, 1, 4, 5) + __builtin_shufflevector(u0, u1, 2, 3, 6, 7);
        const v4 rounded = __builtin_convertvector(__builtin_convertvector(sum + 0.5f, v4i), v4);
        std::memcpy(out + i, &rounded, sizeof rounded);
    }
    for (; i < n; ++i) {
        const v4 p = product(i);
        out[i] = float(int(((p[0] + p[2]) + (p[1] + p[3])) + 0.5f));
    }
}

// Row y, pixels [x0, x1), of the picture doubled (bilinear, pixel centres aligned: an output pixel
// lies a quarter of a source pixel from its nearest source pixel), rounded to whole levels as
// an 8-bit picture would be: the block normalisation of fHOG would blow the fractions of an
// interpolated flat area up into strong false edges. As floats; when x0 is odd, out[-1] is
// written too.
GW_INLINE void doubledRow(const GrayImage& src, int y, int x0, int x1, float* out,
                          std::vector<float>& blend) {
    const int near = std::clamp(y >> 1, 0, src.height - 1);
    const int far = std::clamp((y & 1) ? (y >> 1) + 1 : (y >> 1) - 1, 0, src.height - 1);
    const uint8_t* a = src.row(near);
    const uint8_t* b = src.row(far);
    // Source columns i0 - 1 .. i1 + 1, clamped at the borders, blended vertically.
    const int i0 = x0 >> 1, i1 = (x1 - 1) >> 1, n = i1 - i0 + 3;
    blend.resize(size_t(n));
    for (int j = 0; j < n; ++j) {
        const int i = std::clamp(i0 - 1 + j, 0, src.width - 1);
        blend[size_t(j)] = float(3 * a[i] + b[i]);
    }
    // Output 2i lies towards source column i - 1, output 2i + 1 towards i + 1.
    float* o = out - (x0 - 2 * i0);
    const float* r = blend.data() + 1;
    for (int k = 0; k <= i1 - i0; ++k) {
        // Sums of whole numbers below 2^24 are exact in float, and so is the division by 16.
        const float c = 3 * r[k] + 8;
        o[2 * k] = std::floor((c + r[k - 1]) * 0.0625f);
        o[2 * k + 1] = std::floor((c + r[k + 1]) * 0.0625f);
    }
}

// dlib's directions (rounded as dlib rounds them): 0, 20, ..., 160 degrees.
constexpr float kDirX[9] = {1.0000f,  0.9397f,  0.7660f,  0.500f,  0.1736f,
                            -0.1736f, -0.5000f, -0.7660f, -0.9397f};
constexpr float kDirY[9] = {0.0000f, 0.3420f, 0.6428f, 0.8660f, 0.9848f, 0.9848f, 0.8660f, 0.6428f, 0.3420f};

// Normals of the bisectors between neighbouring directions (the ninth between 160 and 180
// degrees): a gradient lies beyond bisector k when its product with normal k is positive. With
// dlib's rounded directions this picks the same direction as dlib for every 8-bit gradient.
struct Bisectors {
    float x[9], y[9];
    constexpr Bisectors() : x(), y() {
        for (int k = 0; k < 9; ++k) {
            x[k] = (k < 8 ? kDirX[k + 1] : -kDirX[0]) - kDirX[k];
            y[k] = (k < 8 ? kDirY[k + 1] : -kDirY[0]) - kDirY[k];
        }
    }
};
constexpr Bisectors kBisectors;

GW_INLINE void gradients8(const float* up, const float* mid, const float* down, int32_t* bin, float* mag) {
    v8 dx = load8(mid + 1) - load8(mid - 1);
    v8 dy = load8(down) - load8(up);
    // Fold the lower half-plane (and the negative x axis) onto the upper one.
    const v8i lower = (dy < 0) | ((dy == 0) & (dx < 0));
    dx = lower ? -dx : dx;
    dy = lower ? -dy : dy;
    v8i o = {};
    for (int k = 0; k < 9; ++k)
        o -= (dx * kBisectors.x[k] + dy * kBisectors.y[k] > 0); // true is -1
    o += lower & 9;
    o = o >= 18 ? o - 18 : o;
    std::memcpy(bin, &o, sizeof o);
    const v8 m = dx * dx + dy * dy;
    for (int l = 0; l < 8; ++l)
        mag[l] = std::sqrt(m[l]);
}

// Orientations and magnitudes of a row of n >= 8 pixels, in blocks of eight, the last one
// shifted back to end at n so that every pixel takes the same path.
GW_INLINE void gradients(const float* up, const float* mid, const float* down, int n, int32_t* bin,
                         float* mag) {
    for (int i = 0;; i += 8) {
        const int at = std::min(i, n - 8);
        gradients8(up + at, mid + at, down + at, bin + at, mag + at);
        if (at == n - 8)
            break;
    }
}

// The 31 features of a cell from its 18-bin histogram h (read up to h[23]) and the energies of
// the four 2 x 2 blocks around it: 18 orientations and 9 orientations without sign, each the sum
// over the blocks of the normalised value clipped at 0.2, and 4 texture values, one per block.
GW_INLINE void cellFeatures(const float* h, const float e[4], float* f) {
    static constexpr v8 firstTwo = {1, 1, 0, 0, 0, 0, 0, 0};
    const v8 h0 = load8(h), h1 = load8(h + 8), h2 = load8(h + 16) * firstTwo;
    const v8 g = load8(h) + load8(h + 9);
    const float g8 = h[8] + h[17];
    v8 f0 = {}, f1 = {}, f2 = {}, fg = {};
    float fg8 = 0, t[4];
    for (int b = 0; b < 4; ++b) {
        const float nn = 0.2f * std::sqrt(e[b] + 0.0001f), k = 0.1f / nn;
        const v8 a0 = (h0 < nn ? h0 : nn) * k, a1 = (h1 < nn ? h1 : nn) * k, a2 = (h2 < nn ? h2 : nn) * k;
        f0 += a0;
        f1 += a1;
        f2 += a2;
        t[b] = sum8(a0 + a1 + a2);
        fg += (g < nn ? g : nn) * k;
        fg8 += std::min(g8, nn) * k;
    }
    std::memcpy(f, &f0, sizeof f0);
    std::memcpy(f + 8, &f1, sizeof f1);
    f[16] = f2[0];
    f[17] = f2[1];
    std::memcpy(f + 18, &fg, sizeof fg);
    f[26] = fg8;
    for (int b = 0; b < 4; ++b)
        f[27 + b] = t[b] * (2 * 0.2357f);
    f[31] = 0;
}

// The exact response of one pose's filter to the window whose top-left cell is at `window`
// (rows `stride` floats apart). Eight independent sums keep the multiply-adds from waiting on
// each other.
GW_INLINE float exactResponse(const float* weights, const float* window, size_t stride) {
    v8 acc[8] = {};
    for (int r = 0; r < kSide; ++r) {
        const float* w = weights + size_t(r) * kSide * kLanes;
        const float* x = window + size_t(r) * stride;
        for (int i = 0; i < kSide * kLanes; i += 64)
            for (int a = 0; a < 8; ++a)
                acc[a] += load8(w + i + 8 * a) * load8(x + i + 8 * a);
    }
    return sum8(((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7])));
}

// First-pass responses of every pose to two neighbouring windows at once (their columns
// overlap, and each weight serves both).
GW_INLINE void firstPass(const Filters& F, const float* proj, size_t stride, float out[2][kFrontalPoses]) {
    v8 a0[kFrontalPoses] = {}, a1[kFrontalPoses] = {};
    for (int r = 0; r < kSide; ++r) {
        const float* z = proj + size_t(r) * stride;
        for (int c = 0; c < kSide; ++c) {
            const v8 z0 = load8(z + c * kDims), z1 = load8(z + (c + 1) * kDims);
            for (int p = 0; p < kFrontalPoses; ++p) {
                const v8 w = load8(F.projectedRow(p, r) + c * kDims);
                a0[p] += w * z0;
                a1[p] += w * z1;
            }
        }
    }
    for (int p = 0; p < kFrontalPoses; ++p) {
        out[0][p] = sum8(a0[p]) + F.offset[size_t(p)];
        out[1][p] = sum8(a1[p]) + F.offset[size_t(p)];
    }
}

GW_INLINE void processTask(const Task& task, const Level& L, const GrayImage& img, double threshold,
                           bool exhaustive, Scratch& s) {
    const Filters& F = filters();
    const double C = L.cell;
    // Feature cells [f0, f1) cover the windows of the task; the histograms reach one cell
    // further for the block normalisation and two more as room for the votes of edge pixels.
    const int fx0 = task.x0, fx1 = task.x1 + kSide - 1, fy0 = task.y0, fy1 = task.y1 + kSide - 1;
    const int fw = fx1 - fx0, fh = fy1 - fy0;
    const int hx0 = fx0 - 3, hy0 = fy0 - 3, hw = fw + 6, hh = fh + 6;

    // Orientation histograms, each pixel voting into the four cells around it: a row's pixels vote
    // into the two cells beside them on a line of cells, which then goes into the two rows of
    // cells above and below with the row's weights (two additions through memory a pixel rather
    // than four). Pixels at even and odd columns vote into separate copies of the line: neighbours
    // often vote into the same bin, and alternating copies halves the chains of dependent
    // additions. The copy goes by the pixel's own column, so that a cell's sum does not depend on
    // where the task starts.
    const size_t histSize = size_t(hw) * size_t(hh) * kBins, lineSize = size_t(hw) * kBins;
    // The line's copies are padded with zeros to blocks of eight, which add nothing where they
    // overlap the next row of cells (or the room behind the histograms).
    const size_t lineStride = (lineSize + 7) & ~size_t(7);
    s.hist.assign(histSize + 8, 0.0f); // room to read a block of eight past the last bin
    s.line.assign(2 * lineStride, 0.0f);
    const double phx = task.phaseX, phy = task.phaseY;
    const int px0 = std::max(1, int(std::ceil((fx0 + phx - 1.5) * C - 0.5)) - 1);
    const int px1 = std::min(L.visibleX - 1, int(std::floor((fx1 + phx + 1.5) * C - 0.5)) + 2);
    const int py0 = std::max(1, int(std::ceil((fy0 + phy - 1.5) * C - 0.5)) - 1);
    const int py1 = std::min(L.visibleY - 1, int(std::floor((fy1 + phy + 1.5) * C - 0.5)) + 2);
    if (px1 > px0 && py1 > py0) {
        const int n = px1 - px0;
        // Rows are read as floats from three rotating buffers, each with the pixels on either
        // side and room for a block of eight.
        const int span = std::max(n, 8);
        s.mag.resize(size_t(span));
        s.bin.resize(size_t(span));
        s.wx.resize(size_t(n));
        s.ix.resize(size_t(n));
        for (int x = px0; x < px1; ++x) {
            const double u = (x + 0.5) / C - 0.5 - phx;
            const double fu = std::floor(u);
            s.ix[size_t(x - px0)] = (int(fu) - hx0) * kBins + (x & 1) * int(lineStride);
            s.wx[size_t(x - px0)] = float(u - fu);
        }
        // The doubled picture exists only row by row. Each buffer has a float in front for an odd
        // start of a doubled row, and one more behind for an odd end.
        const size_t slot = size_t(span + 4);
        s.rows.assign(3 * slot, 0.0f);
        auto rowAt = [&](int y) {
            float* out = s.rows.data() + size_t((y + 3) % 3) * slot + 1;
            if (L.doubled) {
                doubledRow(img, y, px0 - 1, px1 + 1, out, s.blend);
            } else if (!L.tapsY.empty()) {
                reducedRow(img, L.tapsY[size_t(y)], L.tapsX.data() + (px0 - 1), n + 2, out, s.blend);
            } else {
                const uint8_t* in = img.row(y) + (px0 - 1);
                for (int i = 0; i < n + 2; ++i)
                    out[i] = in[i];
            }
            return out + 1;
        };
        float* up = rowAt(py0 - 1);
        float* mid = rowAt(py0);
        for (int y = py0; y < py1; ++y) {
            float* down = rowAt(y + 1);
            const double v = (y + 0.5) / C - 0.5 - phy;
            const double fv = std::floor(v);
            const float wy1 = float(v - fv), wy0 = 1.0f - wy1;
            float* h0 = s.hist.data() + size_t(int(fv) - hy0) * size_t(hw) * kBins;
            float* h1 = h0 + size_t(hw) * kBins;
            gradients(up, mid, down, span, s.bin.data(), s.mag.data());
            float* line = s.line.data();
            for (int i = 0; i < n; ++i) {
                const float m = s.mag[size_t(i)];
                const float b1 = s.wx[size_t(i)] * m, b0 = m - b1;
                const size_t at = size_t(s.ix[size_t(i)] + s.bin[size_t(i)]);
                line[at] += b0;
                line[at + kBins] += b1;
            }
            static constexpr v8 zero = {};
            for (size_t j = 0; j < lineSize; j += 8) {
                const v8 l = load8(line + j) + load8(line + lineStride + j);
                const v8 a = load8(h0 + j) + wy0 * l, b = load8(h1 + j) + wy1 * l;
                std::memcpy(h0 + j, &a, sizeof a);
                std::memcpy(h1 + j, &b, sizeof b);
                std::memcpy(line + j, &zero, sizeof zero);
                std::memcpy(line + lineStride + j, &zero, sizeof zero);
            }
            up = mid;
            mid = down;
        }
    }

    // Energy of each cell over the nine contrast-insensitive orientations.
    s.norm.resize(size_t(hw) * size_t(hh));
    for (size_t i = 0; i < s.norm.size(); ++i) {
        const float* h = s.hist.data() + i * kBins;
        const v8 g = load8(h) + load8(h + 9);
        const float g8 = h[8] + h[17];
        s.norm[i] = sum8(g * g) + g8 * g8;
    }

    // Features: each cell's histogram normalised by the four 2 x 2 blocks around it and clipped;
    // cells outside the picture are zero. The first pass needs the projection of every cell (less
    // the mean); the exact score needs the features themselves only around the few windows that
    // come close, so they are kept for those cells alone (writing out every cell's 32 floats cost
    // a twentieth of the search).
    const size_t cells = size_t(fw) * size_t(fh);
    auto featuresOf = [&](int fx, int fy, float* f) {
        const int cy = fy0 + fy, cx = fx0 + fx;
        if (cy >= 1 && cy <= L.cellsY - 2 && cx >= 1 && cx <= L.cellsX - 2) {
            const int hy = cy - hy0, hx = cx - hx0;
            auto nrm = [&](int dy, int dx) { return s.norm[size_t(hy + dy) * size_t(hw) + size_t(hx + dx)]; };
            const float c = nrm(0, 0), r = nrm(0, 1), l = nrm(0, -1), u = nrm(-1, 0), d = nrm(1, 0);
            const float e[4] = {c + r + d + nrm(1, 1), u + nrm(-1, 1) + c + r, l + c + nrm(1, -1) + d,
                                nrm(-1, -1) + u + l + c};
            cellFeatures(s.hist.data() + (size_t(hy) * size_t(hw) + size_t(hx)) * kBins, e, f);
        } else {
            std::fill(f, f + kLanes, 0.0f);
        }
    };
    s.proj.resize((cells + 1) * kDims); // the first pass reads one cell past a row's end
    for (int fy = 0; fy < fh; ++fy)
        for (int fx = 0; fx < fw; ++fx) {
            alignas(32) float f[kLanes];
            featuresOf(fx, fy, f);
            // Four independent sums, spelt out: the compiler keeps an indexed array of them in memory.
            const float* B = F.basis.data();
            v8 z0 = F.meanProjection, z1 = {}, z2 = {}, z3 = {};
            for (int d = 0; d < 28; d += 4) {
                z0 += f[d] * load8(B + d * kDims);
                z1 += f[d + 1] * load8(B + (d + 1) * kDims);
                z2 += f[d + 2] * load8(B + (d + 2) * kDims);
                z3 += f[d + 3] * load8(B + (d + 3) * kDims);
            }
            z0 += f[28] * load8(B + 28 * kDims);
            z1 += f[29] * load8(B + 29 * kDims);
            z2 += f[30] * load8(B + 30 * kDims);
            const v8 sum = (z0 + z1) + (z2 + z3);
            std::memcpy(s.proj.data() + (size_t(fy) * size_t(fw) + size_t(fx)) * kDims, &sum, sizeof sum);
        }
    s.feats.resize(cells * kLanes);
    s.ready.assign(cells, 0);
    // The features of the cells of the window at (tx, ty), each computed once.
    auto windowFeatures = [&](int tx, int ty) {
        for (int r = 0; r < kSide; ++r)
            for (int c = 0; c < kSide; ++c) {
                const int fx = tx - fx0 + c, fy = ty - fy0 + r;
                const size_t at = size_t(fy) * size_t(fw) + size_t(fx);
                if (!s.ready[at]) {
                    featuresOf(fx, fy, s.feats.data() + at * kLanes);
                    s.ready[at] = 1;
                }
            }
    };

    // The windows of the task: the first pass on the projections, the exact score for the poses
    // that come close enough to the threshold.
    const double scale = L.pixelScale;
    // Windows of the level's own grid that come within kRefineMargin of the threshold are noted
    // for the search between the cells. The first pass's margin is wide enough for them too: a
    // window it passes over would have to score more than kFirstPassMargin - kRefineMargin above
    // its approximation.
    const bool refined = task.phaseX != 0 || task.phaseY != 0;
    const double nearThreshold = refined ? threshold : threshold - kRefineMargin;
    const size_t projStride = size_t(fw) * kDims, featStride = size_t(fw) * kLanes;
    float first[2][kFrontalPoses];
    for (int ty = task.y0; ty < task.y1; ++ty)
        for (int tx = task.x0; tx < task.x1; ++tx) {
            const size_t cell = size_t(ty - fy0) * size_t(fw) + size_t(tx - fx0);
            if (!exhaustive && (tx - task.x0) % 2 == 0)
                firstPass(F, s.proj.data() + cell * kDims, projStride, first);
            const float* approx = first[(tx - task.x0) % 2];
            int bestPose = -1;
            float best = 0;
            for (int p = 0; p < kFrontalPoses; ++p) {
                if (!exhaustive && approx[p] + kFirstPassMargin <= threshold)
                    continue;
                if (bestPose < 0)
                    windowFeatures(tx, ty);
                const float score =
                    exactResponse(F.exactRow(p, 0), s.feats.data() + cell * kLanes, featStride) -
                    kFrontalThresholds[p];
                if (bestPose < 0 || score > best) {
                    best = score;
                    bestPose = p;
                }
            }
            if (bestPose < 0 || best <= nearThreshold)
                continue;
            if (best <= threshold) {
                s.near.push_back({tx, ty});
                continue;
            }
            // dlib's box for a window: 73 level pixels, centred 1.5 level pixels past the middle.
            const double cx = (tx + task.phaseX + 5 + 1.5 / 8) * C * scale,
                         cy = (ty + task.phaseY + 5 + 1.5 / 8) * C * scale;
            const double half = kBoxPerCell * C * scale / 2;
            s.found.push_back({cx - half, cy - half, cx + half, cy + half, best, bestPose});
        }
}

__attribute__((target("avx2,fma"), flatten)) void processTaskAvx2(const Task& task, const Level& L,
                                                                  const GrayImage& img, double threshold,
                                                                  bool exhaustive, Scratch& s) {
    processTask(task, L, img, threshold, exhaustive, s);
}

__attribute__((flatten)) void processTaskGeneric(const Task& task, const Level& L, const GrayImage& img,
                                                 double threshold, bool exhaustive, Scratch& s) {
    processTask(task, L, img, threshold, exhaustive, s);
}

bool sameFace(const FaceBox& a, const FaceBox& b) {
    const double iw = std::min(a.right, b.right) - std::max(a.left, b.left);
    const double ih = std::min(a.bottom, b.bottom) - std::max(a.top, b.top);
    if (iw <= 0 || ih <= 0)
        return false;
    const double inter = iw * ih;
    const double areaA = (a.right - a.left) * (a.bottom - a.top);
    const double areaB = (b.right - b.left) * (b.bottom - b.top);
    return inter / (areaA + areaB - inter) > kFrontalOverlapIou || inter / areaA > kFrontalOverlapCovered ||
           inter / areaB > kFrontalOverlapCovered;
}

} // namespace

std::vector<FaceBox> searchFaces(const GrayImage& image, const SearchOptions& options) {
    if (image.width < 3 || image.height < 3 ||
        image.pixels.size() < size_t(image.width) * size_t(image.height) || !(options.smallestFace > 0) ||
        !(options.levelStep > 0.1 && options.levelStep < 0.95) || !(options.minCellPixels > 0))
        return {};

    // The picture and its halved copies (index k for octave k); a deque keeps references valid as
    // it grows. The doubled picture and the copies resampled to a level's scale are made row by
    // row, by the tasks that read them.
    std::vector<const GrayImage*> octaves{&image};
    std::deque<GrayImage> halves;
    std::vector<Level> levels;
    for (double s = kBestBoxAtLevel / options.smallestFace;; s *= options.levelStep) {
        if (std::min(image.width, image.height) * s < kMinCells * 8)
            break;
        Level L;
        if (8.0 / s < options.minCellPixels) {
            // Finer than the picture: the picture itself, doubled where its cells would be smaller
            // than kMinUndoubledCell.
            L.doubled = 8.0 / s < kMinUndoubledCell;
            L.image = &image;
            L.pixelScale = L.doubled ? 0.5 : 1;
            L.cell = 8.0 / (s * L.pixelScale);
        } else {
            // The most reduced halved copy still at least as fine as the level, resampled to
            // exactly the level's scale (cells of minCellPixels).
            int k = 0;
            while (8.0 / (s * std::ldexp(1.0, k + 1)) >= options.minCellPixels) {
                if (size_t(k + 1) == octaves.size()) {
                    const GrayImage& last = *octaves.back();
                    if (std::min(last.width, last.height) < 2 * kMinCells * 4)
                        break;
                    octaves.push_back(&halves.emplace_back(halve(last)));
                }
                ++k;
            }
            L.image = octaves[size_t(k)];
            const double r = std::min(1.0, s * std::ldexp(1.0, k) * options.minCellPixels / 8);
            L.pixelScale = std::ldexp(1.0, k) / r;
            L.cell = 8.0 / (s * L.pixelScale);
            if (r < 1) {
                L.tapsX = tentTaps(int(L.image->width * r), r);
                L.tapsY = tentTaps(int(L.image->height * r), r);
            }
        }
        const int width = L.doubled          ? 2 * L.image->width
                          : !L.tapsX.empty() ? int(L.tapsX.size())
                                             : L.image->width;
        const int height = L.doubled          ? 2 * L.image->height
                           : !L.tapsY.empty() ? int(L.tapsY.size())
                                              : L.image->height;
        L.cellsX = int(width / L.cell + 0.5);
        L.cellsY = int(height / L.cell + 0.5);
        if (L.cellsX < kMinCells || L.cellsY < kMinCells)
            break;
        L.visibleX = std::min(width, int(L.cellsX * L.cell));
        L.visibleY = std::min(height, int(L.cellsY * L.cell));
        // Windows may reach four cells past the top-left and five past the bottom-right edge, so
        // that faces cut by the border are found, as in dlib.
        L.positionsX = L.cellsX - 2;
        L.positionsY = L.cellsY - 2;
        levels.push_back(L);
    }

    std::vector<Task> tasks;
    for (size_t l = 0; l < levels.size(); ++l) {
        const Level& L = levels[l];
        for (int y = 0; y < L.positionsY; y += kTile)
            for (int x = 0; x < L.positionsX; x += kTile)
                tasks.push_back({int(l), x - 3, y - 3, std::min(x + kTile, L.positionsX) - 3,
                                 std::min(y + kTile, L.positionsY) - 3});
    }

    static const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    tbb::enumerable_thread_specific<Scratch> scratch;
    auto run = [&](const std::vector<Task>& todo, std::vector<std::vector<FaceBox>>& found,
                   std::vector<std::vector<NearMiss>>& near) {
        found.assign(todo.size(), {});
        near.assign(todo.size(), {});
        tbb::parallel_for(tbb::blocked_range<size_t>(0, todo.size(), 1),
                          [&](const tbb::blocked_range<size_t>& r) {
                              Scratch& s = scratch.local();
                              for (size_t i = r.begin(); i < r.end(); ++i) {
                                  const Task& t = todo[i];
                                  const Level& L = levels[size_t(t.level)];
                                  const GrayImage& img = *L.image;
                                  s.found.clear();
                                  s.near.clear();
                                  if (avx2 && !options.withoutAvx2)
                                      processTaskAvx2(t, L, img, options.threshold, options.exhaustive, s);
                                  else
                                      processTaskGeneric(t, L, img, options.threshold, options.exhaustive, s);
                                  found[i] = s.found;
                                  near[i] = s.near;
                              }
                          });
    };
    std::vector<std::vector<FaceBox>> perTask;
    std::vector<std::vector<NearMiss>> nearPerTask;
    run(tasks, perTask, nearPerTask);

    // The grids shifted by half a cell right, down and both, around the windows that came close:
    // shifted window (x, y) lies between windows x and x + 1 (and y and y + 1) of the level's grid,
    // so the shifted windows x - 1 and x cover both sides of a window x.
    // Refinement tasks cover the marked windows of a square of kRefineTile window positions.
    struct Area {
        int level, tileY, tileX, x0, y0, x1, y1; // x1, y1 inclusive
    };
    std::vector<Area> areas;
    for (size_t i = 0; i < tasks.size(); ++i) {
        const int l = tasks[i].level;
        const Level& L = levels[size_t(l)];
        auto mark = [&](int x, int y) {
            for (int yy = std::max(y - 1, -3); yy <= std::min(y, L.positionsY - 4); ++yy)
                for (int xx = std::max(x - 1, -3); xx <= std::min(x, L.positionsX - 4); ++xx)
                    areas.push_back({l, (yy + 3) / kRefineTile, (xx + 3) / kRefineTile, xx, yy, xx, yy});
        };
        for (const NearMiss& n : nearPerTask[i])
            mark(n.x, n.y);
        for (const FaceBox& b : perTask[i]) {
            // Back from the box to its window.
            const double c = L.cell * L.pixelScale;
            mark(int(std::lround((b.left + b.right) / 2 / c - 5 - 1.5 / 8)),
                 int(std::lround((b.top + b.bottom) / 2 / c - 5 - 1.5 / 8)));
        }
    }
    std::sort(areas.begin(), areas.end(), [](const Area& a, const Area& b) {
        return std::tie(a.level, a.tileY, a.tileX) < std::tie(b.level, b.tileY, b.tileX);
    });
    std::vector<Task> refine;
    for (size_t i = 0; i < areas.size();) {
        Area a = areas[i];
        for (++i; i < areas.size() && areas[i].level == a.level && areas[i].tileY == a.tileY &&
                  areas[i].tileX == a.tileX;
             ++i) {
            a.x0 = std::min(a.x0, areas[i].x0);
            a.y0 = std::min(a.y0, areas[i].y0);
            a.x1 = std::max(a.x1, areas[i].x1);
            a.y1 = std::max(a.y1, areas[i].y1);
        }
        for (const auto& [px, py] : {std::pair{0.5, 0.0}, {0.0, 0.5}, {0.5, 0.5}})
            refine.push_back({a.level, a.x0, a.y0, a.x1 + 1, a.y1 + 1, px, py});
    }
    std::vector<std::vector<FaceBox>> perRefine;
    run(refine, perRefine, nearPerTask);

    // Merge: best first, in task order among equals, so that the result does not depend on
    // the threads; a window overlapping a better one is the same face. A face's support is the
    // number of levels (scales) at which some window sees it: unlike a count of windows, which
    // depends on how the face falls on the grids, it changes little as the face moves.
    std::vector<std::pair<FaceBox, int>> all;
    for (size_t i = 0; i < tasks.size(); ++i)
        for (const FaceBox& b : perTask[i])
            all.emplace_back(b, tasks[i].level);
    for (size_t i = 0; i < refine.size(); ++i)
        for (const FaceBox& b : perRefine[i])
            all.emplace_back(b, refine[i].level);
    std::stable_sort(all.begin(), all.end(),
                     [](const auto& a, const auto& b) { return a.first.score > b.first.score; });
    std::vector<FaceBox> merged;
    std::vector<std::vector<int>> seenAt;
    for (const auto& entry : all) {
        const FaceBox& f = entry.first;
        const int level = entry.second;
        const auto same =
            std::find_if(merged.begin(), merged.end(), [&](const FaceBox& k) { return sameFace(k, f); });
        if (same == merged.end()) {
            merged.push_back(f);
            seenAt.push_back({level});
        } else {
            auto& seen = seenAt[size_t(same - merged.begin())];
            if (std::find(seen.begin(), seen.end(), level) == seen.end())
                seen.push_back(level);
        }
    }
    std::vector<FaceBox> faces;
    for (size_t i = 0; i < merged.size(); ++i)
        if (merged[i].score > options.sureScore || int(seenAt[i].size()) >= options.minSupport)
            faces.push_back(merged[i]);
    return faces;
}

} // namespace ci::face
