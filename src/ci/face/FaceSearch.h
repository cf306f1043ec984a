#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ci::face {

/// An 8-bit grey picture, top row first, rows without padding.
struct GrayImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;

    const uint8_t* row(int y) const { return pixels.data() + std::size_t(y) * std::size_t(width); }
};

/// A face found by the search, in pixels of the searched picture (x right, y down; pixel (i, j)
/// covers [i, i+1) x [j, j+1)).
struct FaceBox {
    double left = 0, top = 0, right = 0, bottom = 0;
    /// How far the best filter's response exceeds its own threshold.
    double score = 0;
    /// Which filter matched: 0 frontal, 1 and 2 turned, 3 and 4 tilted.
    int pose = 0;
};

struct SearchOptions {
    /// Side of the smallest face box searched for, in pixels (a box reaches from the brows to
    /// the chin; the eyes-to-chin distance is about 0.85 of it).
    double smallestFace = 24;
    /// Score a window needs above its filter's own threshold to count towards a face.
    double threshold = 0;
    /// A face is reported when its best window scores above sureScore, or when windows above the
    /// threshold at no fewer than minSupport levels (scales) agree on it: a real face responds
    /// over a range of sizes, a face-like pattern mostly at one.
    double sureScore = 0;
    int minSupport = 1;
    /// Ratio of the scales of neighbouring pyramid levels.
    double levelStep = 5.0 / 6.0;
    /// Levels whose cells span at least this many pixels of the picture read a copy resampled
    /// so that their cells span exactly this many; finer levels read the picture itself (doubled
    /// for the smallest faces). With 8, the filters see every such level as they were trained
    /// to: a copy coarser than that spreads every gradient over more of the face and scores it
    /// lower, a turned face by about 0.3, enough to lose it at some positions.
    double minCellPixels = 8.0;
    /// Gives every window the exact score instead of only those the first, approximate pass
    /// finds close to the threshold; the same faces, several times slower.
    bool exhaustive = false;
    /// Uses the kernels for processors without AVX2 even where it is available (to check them).
    bool withoutAvx2 = false;
};

/// Searches the picture for upright, turned and tilted faces with the HOG filters of dlib's
/// frontal detector, over a scale pyramid that reaches above full resolution for small faces,
/// in parallel tiles; overlapping detections are merged. Best score first.
std::vector<FaceBox> searchFaces(const GrayImage& image, const SearchOptions& options = {});

} // namespace ci::face
