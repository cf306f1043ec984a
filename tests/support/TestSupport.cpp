#include "TestSupport.h"

#include "ci/core/Console.h"
#include "ci/io/Codec.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace gwtest {

std::string dataPath(const std::string& name) {
    return std::string(GW_TEST_DATA_DIR) + "/" + name;
}

ci::Image loadPhoto(const std::string& name) {
    auto decoded = ci::io::decodeFile(dataPath(name));
    return decoded ? decoded->image : ci::Image();
}

ConsoleCapture::ConsoleCapture() {
    ci::setConsoleSink([this](const std::string& line) { lines_.push_back(line); });
}

ConsoleCapture::~ConsoleCapture() {
    ci::setConsoleSink(nullptr);
}

bool ConsoleCapture::contains(const std::string& text) const {
    return std::any_of(lines_.begin(), lines_.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

double maxDifference(const ci::Bitmap& a, const ci::Bitmap& b) {
    if (!(a.rect() == b.rect()))
        return std::numeric_limits<double>::infinity();
    double m = 0;
    const size_t n = size_t(a.rect().area()) * 4;
    for (size_t i = 0; i < n; ++i)
        m = std::max(m, double(std::fabs(a.data()[i] - b.data()[i])));
    return m;
}

} // namespace gwtest
