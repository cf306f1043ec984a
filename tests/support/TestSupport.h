#pragma once

// Helpers shared by the test programs.

#include "ci/core/Bitmap.h"
#include "ci/core/Image.h"
#include "ci/core/Memory.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace gwtest {

/// Whether this is a build with the sanitizers: they run code several times slower (bounds on time
/// in tests are that much larger there), and their reader processes start afresh, with no bound on
/// their address space (their allocators hold the bound).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool sanitized = true;
#else
inline constexpr bool sanitized = false;
#endif
inline constexpr int slowdown = sanitized ? 5 : 1;

/// Path of a file in tests/data.
std::string dataPath(const std::string& name);

/// The bytes of a file (empty when it cannot be read), and a file written with bytes.
std::vector<uint8_t> readBytes(const std::string& path);
void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes);

/// A fresh folder under the system's temporary folder, removed with everything in it.
struct TempDir {
    explicit TempDir(const std::string& prefix = "gw-test-");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return (path / name).string(); }
    std::filesystem::path path;
};

/// The engine's memory budget set to `bytes` while alive; the machine's afterwards.
struct BudgetOf {
    explicit BudgetOf(int64_t bytes) { ci::memory::setLimit(bytes); }
    ~BudgetOf() { ci::memory::setLimit(0); }
};

/// A photo of tests/data decoded into the working space; a null image when it cannot be read.
ci::Image loadPhoto(const std::string& name);

/// Collects console lines while alive.
class ConsoleCapture {
  public:
    ConsoleCapture();
    ~ConsoleCapture();
    const std::vector<std::string>& lines() const { return lines_; }
    bool contains(const std::string& text) const;

  private:
    std::vector<std::string> lines_;
};

/// Largest absolute difference over all channels of two bitmaps with the same rectangle
/// (infinity when the rectangles differ).
double maxDifference(const ci::Bitmap& a, const ci::Bitmap& b);

/// A w x h bitmap at the origin filled by f(x, y, rgba).
template <class F> ci::Bitmap makeBitmap(int w, int h, F f) {
    ci::Bitmap bm(ci::IRect{0, 0, w, h});
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            f(x, y, bm.pixel(x, y));
    return bm;
}

} // namespace gwtest
