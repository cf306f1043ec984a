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
    /// A level searches the most reduced copy of the picture (halved as often as it can be, or
    /// doubled for the smallest faces) whose cells still span at least this many of its pixels.
    /// Below 8 the copy is coarser than the level the filters were trained at: its gradients span
    /// more of the face, every face scores lower (a turned one by about 0.3) and the halving
    /// aliases, so that a face one pixel further scores differently. With 8, the level of scale 1
    /// has exactly dlib's features.
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
