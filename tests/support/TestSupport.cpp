#include "TestSupport.h"

#include "ci/core/Console.h"
#include "ci/io/Codec.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>

namespace gwtest {

std::string dataPath(const std::string& name) {
    return std::string(GW_TEST_DATA_DIR) + "/" + name;
}

std::vector<uint8_t> readBytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

TempDir::TempDir(const std::string& prefix) {
    std::random_device rd;
    path = std::filesystem::temp_directory_path() / (prefix + std::to_string(rd()));
    std::filesystem::create_directories(path);
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
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
