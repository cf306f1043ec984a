#pragma once

// The window image: a size in points and a list of representations, as the window and the
// image operations see a picture. A representation is either a bitmap (decoded pixels, with
// pixelsWide x pixelsHigh) or an engine image recipe (drawn when the window image is rendered).

#include "ci/core/Context.h"
#include "ci/core/Image.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct Size {
    double width = 0;
    double height = 0;
    bool operator==(const Size&) const = default;
};

/// One representation of a window image.
class ImageRep {
public:
    enum class Kind { Bitmap, Recipe };

    /// Decoded pixels; the engine image has its extent at the origin.
    static std::shared_ptr<ImageRep> bitmap(ci::Image pixels, int pixelsWide, int pixelsHigh);
    /// An engine image recipe; size and pixel size are its extent's (rounded out).
    static std::shared_ptr<ImageRep> recipe(ci::Image image);

    Kind kind() const { return kind_; }
    int pixelsWide() const { return pixelsWide_; }
    int pixelsHigh() const { return pixelsHigh_; }
    /// Size in points.
    Size size() const { return size_; }
    void setSize(Size s) { size_ = s; }
    /// The engine image this representation draws.
    const ci::Image& image() const { return image_; }

private:
    Kind kind_ = Kind::Bitmap;
    int pixelsWide_ = 0;
    int pixelsHigh_ = 0;
    Size size_;
    ci::Image image_;
};

/// A picture as the window holds it. Copies share representations (they are immutable).
class WindowImage {
public:
    WindowImage() = default;
    explicit WindowImage(Size size) : size_(size) {}

    /// Decodes a file into a window image with one bitmap representation; nothing for a file
    /// that cannot be decoded (the error goes to `error` when given).
    static std::optional<WindowImage> fromFile(const std::string& path, std::string* error = nullptr);
    static std::optional<WindowImage> fromData(const std::vector<uint8_t>& bytes, std::string* error = nullptr);
    /// A window image of the recipe's size holding one recipe representation.
    static WindowImage fromCIImage(const ci::Image& image);

    Size size() const { return size_; }
    void setSize(Size s) { size_ = s; }
    const std::vector<std::shared_ptr<ImageRep>>& representations() const { return reps_; }
    void addRepresentation(std::shared_ptr<ImageRep> rep) { reps_.push_back(std::move(rep)); }
    /// The first representation, or nullptr.
    const ImageRep* firstRepresentation() const { return reps_.empty() ? nullptr : reps_.front().get(); }
    bool isValid() const { return !reps_.empty(); }

    /// The picture as drawn at its size, as an engine image with its extent at the origin
    /// (what the TIFF representation of the window image holds); null without representations.
    ci::Image drawnImage() const;
    /// Renders the picture at its size into sRGB pixels (8 or 16 bits per channel).
    ci::Result<ci::PixelBuffer> render(int bitsPerChannel = 8) const;

private:
    Size size_;
    std::vector<std::shared_ptr<ImageRep>> reps_;
};

} // namespace platform
