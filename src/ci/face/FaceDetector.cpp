#include "FaceDetector.h"

#include "FaceSearch.h"

#include "ci/core/Bitmap.h"
#include "ci/core/Context.h"

// dlib is heavy to compile: this is the only file that includes it.
#include <dlib/image_processing/shape_predictor.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <future>
#include <mutex>
#include <system_error>

#ifndef GW_DLIB_DATA_DIR
#define GW_DLIB_DATA_DIR "/usr/share/dlib"
#endif

namespace ci {

namespace {

// The smallest face searched for: a box of 24 pixels, about 20 from the eyes to the chin.
constexpr double kSmallestFace = 24;
// What makes a face (see face::SearchOptions): a window scoring above kThreshold counts towards
// one; a face needs a window above kSureScore or such windows at kMinSupport scales. Chosen on
// photographs of faces from 24 to 600 pixels, upright and turned up to 20 degrees, on turned faces
// pasted at many positions, and on photographs without faces at their own size and enlarged to
// 12 megapixels. The weakest real faces (small, turned) score about -0.4 but are seen at four
// scales or more; false ones mostly at two or three, such as the round mission patch on the
// astronaut's sleeve, which scores up to 0.3 depending on where it sits.
constexpr double kThreshold = -0.45;
constexpr double kSureScore = 0.2;
constexpr int kMinSupport = 4;

// The largest picture searched (a grey copy of it is held): far beyond any camera's.
constexpr int64_t kMaxPixels = int64_t(1) << 29;
constexpr int64_t kMaxSide = int64_t(1) << 20;

// ---- The landmark model ----------------------------------------------------------------------
// 95 MB that take about a second to read: loaded once per process, on a thread of its own, from
// the first moment something needs it, so that the search runs meanwhile.

using Predictor = std::shared_ptr<const dlib::shape_predictor>;

Predictor loadLandmarkModel() {
    try {
        auto p = std::make_shared<dlib::shape_predictor>();
        dlib::deserialize(std::string(GW_DLIB_DATA_DIR) + "/shape_predictor_68_face_landmarks.dat") >> *p;
        return p;
    } catch (const std::exception&) {
        return nullptr;
    }
}

std::shared_future<Predictor>& landmarkModel() {
    static std::once_flag once;
    static std::shared_future<Predictor> model;
    std::call_once(once, [] {
        try {
            model = std::async(std::launch::async, loadLandmarkModel).share();
        } catch (const std::system_error&) {
            // No thread to be had: the first caller that needs the model loads it.
            model = std::async(std::launch::deferred, loadLandmarkModel).share();
        }
    });
    return model;
}

// ---- The picture in grey ---------------------------------------------------------------------

// Linear light to 8-bit sRGB, by a table over the linear range.
struct EncodeTable {
    static constexpr int kSize = 16384;
    std::array<uint8_t, kSize + 1> code{};
    EncodeTable() {
        for (int i = 0; i <= kSize; ++i)
            code[size_t(i)] = uint8_t(std::lround(255.0f * srgbEncode(float(i) / kSize)));
    }
};

// The pixels of area as 8-bit grey (luma of the sRGB picture, over black where transparent),
// top row first. Rows go into the grey picture as they are rendered, so the picture never exists
// in floats.
face::GrayImage grayOf(const Image& image, const IRect& area) {
    static const EncodeTable table;
    face::GrayImage gray;
    gray.width = int(area.width());
    gray.height = int(area.height());
    gray.pixels.resize(size_t(gray.width) * size_t(gray.height));
    const std::string err = Context().renderRows(
        image, Rect::fromIRect(area), [&](int64_t y, int64_t x0, int count, const float* in) {
            // Engine rows count upwards; the grey picture's top row is the area's last.
            uint8_t* out =
                gray.pixels.data() + size_t(area.y1 - 1 - y) * size_t(gray.width) + size_t(x0 - area.x0);
            for (int x = 0; x < count; ++x, in += 4) {
                const float v = 0.2126f * in[0] + 0.7152f * in[1] + 0.0722f * in[2];
                const float i = std::clamp(v, 0.0f, 1.0f) * EncodeTable::kSize;
                out[x] = table.code[size_t(i + 0.5f)];
            }
        });
    if (!err.empty())
        return {};
    return gray;
}

Point meanOf(const std::vector<Point>& pts, size_t first, size_t last) {
    Point m;
    for (size_t i = first; i <= last; ++i) {
        m.x += pts[i].x;
        m.y += pts[i].y;
    }
    const double n = double(last - first + 1);
    return {m.x / n, m.y / n};
}

// The 68 landmarks of the face in box (pixels of the grey picture, top-left origin), read from a
// crop around the face so that nothing of the size of the picture is copied.
std::vector<dlib::point> landmarksOf(const dlib::shape_predictor& predictor, const face::GrayImage& gray,
                                     const face::FaceBox& box) {
    const double margin = 0.5 * (box.right - box.left);
    const long x0 = std::max(0L, long(std::floor(box.left - margin)));
    const long y0 = std::max(0L, long(std::floor(box.top - margin)));
    const long x1 = std::min(long(gray.width), long(std::ceil(box.right + margin)));
    const long y1 = std::min(long(gray.height), long(std::ceil(box.bottom + margin)));
    if (x1 <= x0 || y1 <= y0)
        return {};
    dlib::array2d<unsigned char> crop(y1 - y0, x1 - x0);
    for (long y = y0; y < y1; ++y)
        std::copy_n(gray.row(int(y)) + x0, x1 - x0, &crop[y - y0][0]);
    // dlib's rectangles are inclusive.
    const dlib::rectangle r(std::lround(box.left) - x0, std::lround(box.top) - y0,
                            std::lround(box.right) - 1 - x0, std::lround(box.bottom) - 1 - y0);
    const dlib::full_object_detection shape = predictor(crop, r);
    std::vector<dlib::point> points;
    for (unsigned long i = 0; i < shape.num_parts(); ++i)
        points.push_back(shape.part(i) + dlib::point(x0, y0));
    return points;
}

} // namespace

std::shared_ptr<FaceDetector> FaceDetector::make() {
    static const auto detector = std::make_shared<FaceDetector>();
    return detector;
}

void FaceDetector::prepareLandmarks() {
    landmarkModel();
}

std::vector<FaceFeature> FaceDetector::features(const Image& image, Detail detail,
                                                double smallestFace) const {
    auto found = search(image, detail, smallestFace);
    return found ? std::move(found.value()) : std::vector<FaceFeature>();
}

Result<std::vector<FaceFeature>> FaceDetector::search(const Image& image, Detail detail,
                                                      double smallestFace) const {
    std::vector<FaceFeature> faces;
    const Rect e = image.extent();
    if (image.isNull() || e.isEmpty() || e.isInfinite())
        return faces;
    const IRect area = e.coveredPixels();
    if (area.isEmpty())
        return faces;
    if (area.width() > kMaxSide || area.height() > kMaxSide || area.area() > kMaxPixels)
        return Result<std::vector<FaceFeature>>::failure("the picture is too large to search for faces");
    if (detail == Detail::Landmarks)
        prepareLandmarks(); // loads while the search runs
    const face::GrayImage gray = grayOf(image, area);
    if (gray.pixels.empty())
        return Result<std::vector<FaceFeature>>::failure(
            "the picture could not be rendered to search for faces");
    face::SearchOptions options;
    options.smallestFace = std::max(kSmallestFace, smallestFace);
    options.threshold = kThreshold;
    options.sureScore = kSureScore;
    options.minSupport = kMinSupport;
    const std::vector<face::FaceBox> boxes = face::searchFaces(gray, options);
    if (boxes.empty())
        return faces;

    const Predictor predictor = detail == Detail::Landmarks ? landmarkModel().get() : nullptr;
    const double H = double(gray.height);
    for (const face::FaceBox& box : boxes) {
        FaceFeature f;
        // Top-left pixel coordinates to engine coordinates.
        f.bounds = Rect::make(double(area.x0) + box.left, double(area.y0) + H - box.bottom,
                              box.right - box.left, box.bottom - box.top);
        f.score = box.score - kThreshold;
        if (predictor) {
            const std::vector<dlib::point> points = landmarksOf(*predictor, gray, box);
            if (points.size() == 68) {
                f.landmarks.reserve(68);
                for (const dlib::point& p : points)
                    f.landmarks.push_back(
                        {double(area.x0) + double(p.x()) + 0.5, double(area.y0) + H - double(p.y()) - 0.5});
                f.leftEyePosition = meanOf(f.landmarks, 36, 41);
                f.rightEyePosition = meanOf(f.landmarks, 42, 47);
                f.mouthPosition = meanOf(f.landmarks, 48, 67);
                f.hasLeftEyePosition = f.hasRightEyePosition = f.hasMouthPosition = true;
                f.faceAngle = std::atan2(f.rightEyePosition.y - f.leftEyePosition.y,
                                         f.rightEyePosition.x - f.leftEyePosition.x) *
                              180 / 3.14159265358979323846;
                f.hasFaceAngle = true;
            }
        }
        faces.push_back(std::move(f));
    }
    return faces;
}

} // namespace ci
