#include "Quantizer.h"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace ci::io {

namespace {

// Channel weights for colour differences of sRGB-encoded values: the eye is most sensitive to
// green and least to blue.
constexpr float kWeight[3] = {3.0f, 4.0f, 2.0f};

inline float distance(const float a[3], const float b[3]) {
    const float dr = a[0] - b[0], dg = a[1] - b[1], db = a[2] - b[2];
    return kWeight[0] * dr * dr + kWeight[1] * dg * dg + kWeight[2] * db * db;
}

struct Bin {
    float c[3]; // mean colour of the pixels in the bin
    double n;   // pixel count
};

struct Box {
    size_t begin, end;
    double n = 0, s[3] = {0, 0, 0}, q = 0; // count, weighted sums, weighted sum of squares
    double sse() const {
        if (n <= 0)
            return 0;
        double e = q;
        for (int c = 0; c < 3; ++c)
            e -= kWeight[c] * s[c] * s[c] / n;
        return std::max(0.0, e);
    }
};

Box makeBox(const std::vector<Bin>& bins, size_t begin, size_t end) {
    Box b{begin, end};
    for (size_t i = begin; i < end; ++i) {
        const Bin& x = bins[i];
        b.n += x.n;
        for (int c = 0; c < 3; ++c) {
            b.s[c] += x.n * x.c[c];
            b.q += kWeight[c] * x.n * x.c[c] * x.c[c];
        }
    }
    return b;
}

/// Splits the box along its widest weighted axis at the cut that leaves the least squared error.
bool splitBox(std::vector<Bin>& bins, const Box& box, Box& left, Box& right) {
    if (box.end - box.begin < 2)
        return false;
    int axis = 0;
    double best = -1;
    for (int c = 0; c < 3; ++c) {
        double sq = 0;
        for (size_t i = box.begin; i < box.end; ++i)
            sq += bins[i].n * bins[i].c[c] * bins[i].c[c];
        const double var = kWeight[c] * (sq - box.s[c] * box.s[c] / box.n);
        if (var > best)
            best = var, axis = c;
    }
    std::sort(bins.begin() + ptrdiff_t(box.begin), bins.begin() + ptrdiff_t(box.end),
              [axis](const Bin& a, const Bin& b) { return a.c[axis] < b.c[axis]; });
    Box l{box.begin, box.begin};
    double bestErr = std::numeric_limits<double>::infinity();
    size_t cut = box.begin + 1;
    for (size_t k = box.begin; k + 1 < box.end; ++k) {
        const Bin& x = bins[k];
        l.n += x.n;
        for (int c = 0; c < 3; ++c) {
            l.s[c] += x.n * x.c[c];
            l.q += kWeight[c] * x.n * x.c[c] * x.c[c];
        }
        Box r{k + 1,
              box.end,
              box.n - l.n,
              {box.s[0] - l.s[0], box.s[1] - l.s[1], box.s[2] - l.s[2]},
              box.q - l.q};
        const double err = l.sse() + r.sse();
        if (err < bestErr)
            bestErr = err, cut = k + 1;
    }
    left = makeBox(bins, box.begin, cut);
    right = makeBox(bins, cut, box.end);
    return true;
}

/// Nearest palette entry by brute force.
int nearest(const std::vector<std::array<float, 3>>& palette, const float c[3]) {
    int best = 0;
    float bestD = std::numeric_limits<float>::infinity();
    for (size_t i = 0; i < palette.size(); ++i) {
        const float d = distance(c, palette[i].data());
        if (d < bestD)
            bestD = d, best = int(i);
    }
    return best;
}

std::vector<std::array<float, 3>> medianCutPalette(const uint8_t* rgba, int width, int height,
                                                   size_t rowBytes, int colours, int alphaCutoff) {
    // Histogram on 6 bits per channel, keeping exact sums so bin means are true colours.
    constexpr int kBins = 1 << 18;
    std::vector<uint32_t> count(kBins, 0);
    std::vector<uint64_t> sums(size_t(kBins) * 3, 0);
    for (int y = 0; y < height; ++y) {
        const uint8_t* p = rgba + size_t(y) * rowBytes;
        for (int x = 0; x < width; ++x, p += 4) {
            if (p[3] < alphaCutoff)
                continue;
            const int key = (p[0] >> 2) << 12 | (p[1] >> 2) << 6 | (p[2] >> 2);
            ++count[key];
            sums[size_t(key) * 3 + 0] += p[0];
            sums[size_t(key) * 3 + 1] += p[1];
            sums[size_t(key) * 3 + 2] += p[2];
        }
    }
    std::vector<Bin> bins;
    for (int k = 0; k < kBins; ++k) {
        if (!count[k])
            continue;
        const double n = count[k];
        bins.push_back(Bin{{float(sums[size_t(k) * 3] / n), float(sums[size_t(k) * 3 + 1] / n),
                            float(sums[size_t(k) * 3 + 2] / n)},
                           n});
    }
    if (bins.empty())
        return {};

    std::vector<Box> boxes{makeBox(bins, 0, bins.size())};
    while (int(boxes.size()) < colours) {
        size_t pick = boxes.size();
        double worst = 0;
        for (size_t i = 0; i < boxes.size(); ++i)
            if (boxes[i].end - boxes[i].begin >= 2 && boxes[i].sse() > worst)
                worst = boxes[i].sse(), pick = i;
        if (pick == boxes.size())
            break;
        Box l, r;
        if (!splitBox(bins, boxes[pick], l, r))
            break;
        boxes[pick] = l;
        boxes.push_back(r);
    }
    std::vector<std::array<float, 3>> palette;
    for (const Box& b : boxes)
        palette.push_back({float(b.s[0] / b.n), float(b.s[1] / b.n), float(b.s[2] / b.n)});

    // A few rounds of k-means over the bins pull the entries to the centres of their clusters.
    std::vector<int> owner(bins.size());
    for (int round = 0; round < 3; ++round) {
        tbb::parallel_for(tbb::blocked_range<size_t>(0, bins.size(), 1024),
                          [&](const tbb::blocked_range<size_t>& r) {
                              for (size_t i = r.begin(); i != r.end(); ++i)
                                  owner[i] = nearest(palette, bins[i].c);
                          });
        std::vector<double> acc(palette.size() * 4, 0.0);
        for (size_t i = 0; i < bins.size(); ++i) {
            double* a = &acc[size_t(owner[i]) * 4];
            for (int c = 0; c < 3; ++c)
                a[c] += bins[i].n * bins[i].c[c];
            a[3] += bins[i].n;
        }
        for (size_t j = 0; j < palette.size(); ++j)
            if (acc[j * 4 + 3] > 0)
                for (int c = 0; c < 3; ++c)
                    palette[j][c] = float(acc[j * 4 + c] / acc[j * 4 + 3]);
    }
    return palette;
}

} // namespace

IndexedImage quantize(const uint8_t* rgba, int width, int height, size_t rowBytes,
                      const QuantizeOptions& options) {
    IndexedImage out;
    out.width = width;
    out.height = height;
    out.indices.assign(size_t(width) * size_t(height), 0);
    const int cutoff = std::clamp(options.alphaCutoff, 1, 255);

    bool transparent = false;
    for (int y = 0; y < height && !transparent; ++y) {
        const uint8_t* p = rgba + size_t(y) * rowBytes;
        for (int x = 0; x < width; ++x)
            if (p[x * 4 + 3] < cutoff) {
                transparent = true;
                break;
            }
    }
    const int budget = std::clamp(options.maxColors, 2, 256) - (transparent ? 1 : 0);

    // Exact colours when there are few enough of them (drawings, pictures already indexed).
    constexpr uint32_t kEmpty = 0xFFFFFFFF;
    std::vector<uint32_t> exactKeys(1024, kEmpty);
    std::vector<uint8_t> exactIndex(1024, 0);
    int exactCount = 0;
    bool exact = true;
    auto slot = [&](uint32_t key) {
        size_t h = (key * 2654435761u) >> 22;
        while (exactKeys[h] != kEmpty && exactKeys[h] != key)
            h = (h + 1) & 1023;
        return h;
    };
    for (int y = 0; y < height && exact; ++y) {
        const uint8_t* p = rgba + size_t(y) * rowBytes;
        for (int x = 0; x < width; ++x, p += 4) {
            if (p[3] < cutoff)
                continue;
            const uint32_t key = uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
            const size_t h = slot(key);
            if (exactKeys[h] == kEmpty) {
                if (exactCount == budget) {
                    exact = false;
                    break;
                }
                exactKeys[h] = key;
                exactIndex[h] = uint8_t(exactCount++);
                out.palette.push_back({uint8_t(key >> 16), uint8_t(key >> 8), uint8_t(key)});
            }
        }
    }
    if (transparent) {
        out.transparentIndex = exact ? exactCount : -1;
    }

    if (exact) {
        if (transparent)
            out.palette.push_back({0, 0, 0});
        tbb::parallel_for(tbb::blocked_range<int>(0, height, 16), [&](const tbb::blocked_range<int>& r) {
            for (int y = r.begin(); y != r.end(); ++y) {
                const uint8_t* p = rgba + size_t(y) * rowBytes;
                uint8_t* o = out.indices.data() + size_t(y) * size_t(width);
                for (int x = 0; x < width; ++x, p += 4) {
                    if (p[3] < cutoff) {
                        o[x] = uint8_t(out.transparentIndex);
                        continue;
                    }
                    o[x] = exactIndex[slot(uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2])];
                }
            }
        });
        return out;
    }

    const std::vector<std::array<float, 3>> palette =
        medianCutPalette(rgba, width, height, rowBytes, budget, cutoff);
    out.palette.clear();
    for (const auto& c : palette)
        out.palette.push_back({uint8_t(std::lround(std::clamp(c[0], 0.0f, 255.0f))),
                               uint8_t(std::lround(std::clamp(c[1], 0.0f, 255.0f))),
                               uint8_t(std::lround(std::clamp(c[2], 0.0f, 255.0f)))});
    std::vector<std::array<float, 3>> entries;
    for (const auto& c : out.palette)
        entries.push_back({float(c[0]), float(c[1]), float(c[2])});
    if (transparent) {
        out.transparentIndex = int(out.palette.size());
        out.palette.push_back({0, 0, 0});
    }

    // Nearest entries cached per 6-bit cell (looked up at the cell's centre).
    std::vector<int16_t> cache(size_t(1) << 18, -1);
    auto lookup = [&](float r, float g, float b) {
        const int ri = std::clamp(int(r + 0.5f), 0, 255), gi = std::clamp(int(g + 0.5f), 0, 255),
                  bi = std::clamp(int(b + 0.5f), 0, 255);
        const int key = (ri >> 2) << 12 | (gi >> 2) << 6 | (bi >> 2);
        if (cache[key] < 0) {
            const float centre[3] = {float((ri & ~3) + 2), float((gi & ~3) + 2), float((bi & ~3) + 2)};
            cache[key] = int16_t(nearest(entries, centre));
        }
        return int(cache[key]);
    };

    if (!options.dither) {
        for (int y = 0; y < height; ++y) {
            const uint8_t* p = rgba + size_t(y) * rowBytes;
            uint8_t* o = out.indices.data() + size_t(y) * size_t(width);
            for (int x = 0; x < width; ++x, p += 4)
                o[x] = p[3] < cutoff ? uint8_t(out.transparentIndex) : uint8_t(lookup(p[0], p[1], p[2]));
        }
        return out;
    }

    // Floyd-Steinberg, serpentine. Transparent pixels neither take nor pass on error.
    std::vector<float> errCur(size_t(width + 2) * 3, 0.0f), errNext(size_t(width + 2) * 3, 0.0f);
    for (int y = 0; y < height; ++y) {
        const uint8_t* row = rgba + size_t(y) * rowBytes;
        uint8_t* o = out.indices.data() + size_t(y) * size_t(width);
        const bool forward = (y % 2) == 0;
        const int dir = forward ? 1 : -1;
        std::fill(errNext.begin(), errNext.end(), 0.0f);
        for (int i = 0; i < width; ++i) {
            const int x = forward ? i : width - 1 - i;
            const uint8_t* p = row + size_t(x) * 4;
            if (p[3] < cutoff) {
                o[x] = uint8_t(out.transparentIndex);
                continue;
            }
            float* e = &errCur[size_t(x + 1) * 3];
            float v[3];
            for (int c = 0; c < 3; ++c)
                v[c] = std::clamp(float(p[c]) + e[c], 0.0f, 255.0f);
            const int idx = lookup(v[0], v[1], v[2]);
            o[x] = uint8_t(idx);
            for (int c = 0; c < 3; ++c) {
                const float err = v[c] - entries[size_t(idx)][c];
                errCur[size_t(x + 1 + dir) * 3 + c] += err * (7.0f / 16.0f);
                errNext[size_t(x + 1 - dir) * 3 + c] += err * (3.0f / 16.0f);
                errNext[size_t(x + 1) * 3 + c] += err * (5.0f / 16.0f);
                errNext[size_t(x + 1 + dir) * 3 + c] += err * (1.0f / 16.0f);
            }
        }
        std::swap(errCur, errNext);
    }
    return out;
}

} // namespace ci::io
