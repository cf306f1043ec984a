// Writes the weights of dlib's frontal face detector as a C++ source file.
//
// dlib keeps that detector as an entropy-coded string whose decoding takes over a second; the
// face search only needs its five HOG filters, so the build decodes them once and compiles them in.

#include <dlib/image_processing/frontal_face_detector.h>

#include <cstdio>
#include <fstream>
#include <iostream>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: frontal_face_filters OUTPUT.cpp\n";
        return 2;
    }
    const dlib::frontal_face_detector detector = dlib::get_frontal_face_detector();
    const auto& scanner = detector.get_scanner();
    const long dims = scanner.get_num_dimensions();
    if (detector.num_detectors() != 5 || dims != 31 * 10 * 10 || scanner.get_cell_size() != 8 ||
        scanner.get_fhog_window_width() != 10 || scanner.get_fhog_window_height() != 10) {
        std::cerr << "frontal_face_filters: unexpected detector layout\n";
        return 1;
    }
    std::ofstream out(argv[1]);
    out << "// Generated at build time from dlib's frontal face detector; do not edit.\n"
           "#include \"ci/face/FrontalFilters.h\"\n\nnamespace ci::face {\n\n"
           "const float kFrontalWeights[kFrontalPoses * kFrontalPlanes * kFrontalSide * kFrontalSide] = {\n";
    char buf[64];
    for (unsigned long pose = 0; pose < detector.num_detectors(); ++pose) {
        const auto& w = detector.get_w(pose);
        for (long i = 0; i < dims; ++i) {
            std::snprintf(buf, sizeof buf, "%a,", double(float(w(i))));
            out << buf << ((i + 1) % 8 == 0 ? "\n" : "");
        }
        out << "\n";
    }
    out << "};\n\nconst float kFrontalThresholds[kFrontalPoses] = {";
    for (unsigned long pose = 0; pose < detector.num_detectors(); ++pose) {
        std::snprintf(buf, sizeof buf, "%a,", double(float(detector.get_w(pose)(dims))));
        out << buf;
    }
    const dlib::test_box_overlap overlap = detector.get_overlap_tester();
    std::snprintf(buf, sizeof buf, "%a", overlap.get_iou_thresh());
    out << "};\n\nconst double kFrontalOverlapIou = " << buf << ";\n";
    std::snprintf(buf, sizeof buf, "%a", overlap.get_percent_covered_thresh());
    out << "const double kFrontalOverlapCovered = " << buf << ";\n\n} // namespace ci::face\n";
    return out ? 0 : 1;
}
