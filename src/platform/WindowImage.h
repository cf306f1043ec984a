#pragma once

// The window image: a size in points and a list of representations, as the window and the
// image operations see a picture. A representation is either a bitmap (decoded pixels, with
// pixelsWide x pixelsHigh) or an engine image recipe (drawn when the window image is rendered).
//
// Drawing a window image stretches its best representation over the destination rectangle.
// "Drawn at its size" means one pixel per point over (0, 0, width, height).

#include "ci/core/Context.h"
#include "ci/core/Image.h"
#include "ci/io/Codec.h"

#include <cstdint>
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

    /// Decoded pixels; the engine image has its extent at the origin. Its size in points is
    /// its pixel size until changed with setSize (a 300 dpi scan is smaller in points).
    static std::shared_ptr<ImageRep> bitmap(ci::Image pixels, int pixelsWide, int pixelsHigh);
    /// An engine image recipe; size and pixel size are its extent's (rounded out). An unbounded
    /// extent gives an infinite size and a pixel size of 0 x 0.
    static std::shared_ptr<ImageRep> recipe(ci::Image image);

    Kind kind() const { return kind_; }
    int pixelsWide() const { return pixelsWide_; }
    int pixelsHigh() const { return pixelsHigh_; }
    /// Size in points.
    Size size() const { return size_; }
    void setSize(Size s) { size_ = s; }
    /// The engine image this representation draws.
    const ci::Image& image() const { return image_; }

    /// The representation stretched over dest (its extent mapped onto dest); a null image when
    /// it cannot be drawn (an empty or unbounded extent, or a non-finite destination).
    ci::Image drawnInto(const ci::Rect& dest) const;
    /// Its pixels with the extent moved to the origin, as its bitmap form holds them; a null
    /// image for an empty or unbounded extent.
    ci::Image pixels() const;

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

    /// Decodes a file into a window image with one bitmap representation (one point per pixel);
    /// nothing for a file that cannot be decoded (the error goes to `error` when given).
    static std::optional<WindowImage> fromFile(const std::string& path, std::string* error = nullptr);
    static std::optional<WindowImage> fromData(const std::vector<uint8_t>& bytes,
                                               std::string* error = nullptr);
    /// The same for a decode made by the caller.
    static std::optional<WindowImage> fromDecoded(ci::Result<ci::io::Decoded> decoded,
                                                  std::string* error = nullptr);
    /// A window image of the recipe's size holding one recipe representation.
    static WindowImage fromCIImage(const ci::Image& image);

    Size size() const { return size_; }
    void setSize(Size s) { size_ = s; }
    const std::vector<std::shared_ptr<ImageRep>>& representations() const { return reps_; }
    void addRepresentation(std::shared_ptr<ImageRep> rep) { reps_.push_back(std::move(rep)); }
    /// The first representation, or nullptr.
    const ImageRep* firstRepresentation() const { return reps_.empty() ? nullptr : reps_.front().get(); }
    bool isValid() const { return !reps_.empty(); }

    /// The representation that draws rect best: the smallest one with at least the rectangle's
    /// pixel size, else the largest; nullptr without representations.
    std::shared_ptr<ImageRep> bestRepresentation(const ci::Rect& rect) const;
    /// The picture stretched over dest; a null image when nothing can be drawn.
    ci::Image drawnInto(const ci::Rect& dest) const;
    /// The picture as drawn at its size, as an engine image over (0, 0, width, height);
    /// null without representations.
    ci::Image drawnImage() const;
    /// What the TIFF form of the window image holds: the pixels of its first representation,
    /// extent at the origin; null when there is none or it cannot be rasterised.
    ci::Image bitmapImage() const;
    /// Renders the picture at its size into sRGB pixels (8 or 16 bits per channel).
    ci::Result<ci::PixelBuffer> render(int bitsPerChannel = 8) const;

  private:
    Size size_;
    std::vector<std::shared_ptr<ImageRep>> reps_;
};

} // namespace platform
