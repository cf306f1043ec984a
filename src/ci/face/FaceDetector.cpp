#include "FaceDetector.h"

#include "ci/core/Context.h"
#include "ci/core/Filter.h"

// dlib is heavy to compile: this is the only file that includes it.
#include <dlib/image_processing/frontal_face_detector.h>
#include <dlib/image_processing/shape_predictor.h>
#include <dlib/image_transforms/interpolation.h>

#include <algorithm>
#include <cmath>
#include <mutex>

#ifndef GW_DLIB_DATA_DIR
#define GW_DLIB_DATA_DIR "/usr/share/dlib"
#endif

namespace ci {

struct FaceDetector::Models {
    dlib::frontal_face_detector detector;
    dlib::shape_predictor predictor;
};

namespace {

// Faces narrower than this share of the shorter image side are not reported: the smallest face
// a detector made without options is expected to report.
constexpr double kMinFeatureSize = 0.15;
// The HOG detector finds faces from about 80 pixels; searching a picture whose shorter side is
// about this long finds every face above the minimum size, and fast.
constexpr double kSearchSide = 640;
// Below this reportable size the picture is searched at twice its size. Not higher: the enlarged
// search also finds face-like patterns that the plain one rightly passes over.
constexpr double kSmallestSearched = 64;

std::shared_ptr<const FaceDetector::Models> sharedModels() {
    static std::once_flag once;
    static std::shared_ptr<const FaceDetector::Models> models;
    std::call_once(once, [] {
        try {
            auto m = std::make_shared<FaceDetector::Models>();
            m->detector = dlib::get_frontal_face_detector();
            dlib::deserialize(std::string(GW_DLIB_DATA_DIR) + "/shape_predictor_68_face_landmarks.dat") >>
                m->predictor;
            models = std::move(m);
        } catch (const std::exception&) {
            models.reset();
        }
    });
    return models;
}

bool toDlib(const PixelBuffer& buf, dlib::array2d<dlib::rgb_pixel>& img) {
    if (buf.width <= 0 || buf.height <= 0 || buf.bitsPerChannel != 8)
        return false;
    img.set_size(buf.height, buf.width);
    for (int y = 0; y < buf.height; ++y) {
        const uint8_t* row = buf.row8(y);
        for (int x = 0; x < buf.width; ++x)
            img[y][x] = dlib::rgb_pixel(row[x * 4], row[x * 4 + 1], row[x * 4 + 2]);
    }
    return true;
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

} // namespace

std::shared_ptr<FaceDetector> FaceDetector::make() {
    auto models = sharedModels();
    if (!models)
        return nullptr;
    return std::make_shared<FaceDetector>(std::move(models));
}

std::vector<FaceFeature> FaceDetector::features(const Image& image) const {
    std::vector<FaceFeature> faces;
    const Rect e = image.extent();
    if (image.isNull() || e.isEmpty() || e.isInfinite() || !models_)
        return faces;
    const Rect area = e.roundedOut();
    const Context ctx;
    // The detector is trained on display-referred 8-bit pictures.
    auto full = ctx.renderSRGB(image, area, 8);
    dlib::array2d<dlib::rgb_pixel> fullImg;
    if (!full || !toDlib(*full, fullImg))
        return faces;
    const double W = full->width, H = full->height;
    const double shortSide = std::min(W, H);

    // Search a copy scaled so the smallest reportable face is comfortably above the detector's own
    // minimum: reduced for large pictures, doubled for small ones.
    double scale = std::min(1.0, kSearchSide / shortSide);
    dlib::array2d<dlib::rgb_pixel> reduced;
    const dlib::array2d<dlib::rgb_pixel>* search = &fullImg;
    if (scale < 1) {
        auto lanczos = Filter::make("CILanczosScaleTransform");
        lanczos->setValue("inputImage", image.translated(-area.x0, -area.y0));
        lanczos->setValue("inputScale", scale);
        const Image small = lanczos->outputImage();
        auto buf = ctx.renderSRGB(small, small.extent(), 8);
        if (!buf || !toDlib(*buf, reduced))
            return faces;
        search = &reduced;
        scale = double(buf->width) / W;
    }
    dlib::array2d<dlib::rgb_pixel> enlarged;
    if (kMinFeatureSize * shortSide * scale < kSmallestSearched) {
        dlib::pyramid_up(*search, enlarged, dlib::pyramid_down<2>());
        search = &enlarged;
        scale *= 2;
    }

    dlib::frontal_face_detector detector = models_->detector; // searching changes its scratch state
    const std::vector<dlib::rectangle> boxes = detector(*search);

    for (const dlib::rectangle& box : boxes) {
        // Back to pixels of the full picture.
        const dlib::rectangle r(long(std::lround(box.left() / scale)), long(std::lround(box.top() / scale)),
                                long(std::lround((box.right() + 1) / scale)) - 1,
                                long(std::lround((box.bottom() + 1) / scale)) - 1);
        if (double(r.width()) < kMinFeatureSize * shortSide)
            continue;
        const dlib::full_object_detection shape = models_->predictor(fullImg, r);
        if (shape.num_parts() != 68)
            continue;
        FaceFeature f;
        f.bounds = Rect::make(area.x0 + double(r.left()), area.y0 + H - 1 - double(r.bottom()),
                              double(r.width()), double(r.height()));
        f.landmarks.reserve(68);
        for (unsigned long i = 0; i < 68; ++i) {
            const dlib::point p = shape.part(i);
            f.landmarks.push_back({area.x0 + double(p.x()) + 0.5, area.y0 + H - double(p.y()) - 0.5});
        }
        f.leftEyePosition = meanOf(f.landmarks, 36, 41);
        f.rightEyePosition = meanOf(f.landmarks, 42, 47);
        f.mouthPosition = meanOf(f.landmarks, 48, 67);
        f.hasLeftEyePosition = f.hasRightEyePosition = f.hasMouthPosition = true;
        f.faceAngle = std::atan2(f.rightEyePosition.y - f.leftEyePosition.y,
                                 f.rightEyePosition.x - f.leftEyePosition.x) *
                      180 / 3.14159265358979323846;
        f.hasFaceAngle = true;
        faces.push_back(std::move(f));
    }
    return faces;
}

} // namespace ci
