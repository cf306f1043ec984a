#pragma once

// Conversion of decoded file samples into working-space bitmaps.

#include "ColorProfile.h"

#include "ci/core/Bitmap.h"
#include "ci/core/Image.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace ci::io {

/// How the samples of one decoded pixel are laid out.
struct SourceLayout {
    SampleType type = SampleType::U8;
    int stride = 3;            ///< samples per pixel in the buffer
    bool grey = false;         ///< one colour sample (else three: R, G, B)
    bool cmyk = false;         ///< four colour samples, the inks C, M, Y and K (8-bit, no alpha)
    bool invertedInks = false; ///< CMYK stored as 255 minus each ink
    int alpha = -1;            ///< index of the alpha sample, or -1
    bool associated = false;   ///< colour stored multiplied by alpha
    bool linear = false;       ///< samples are linear light (float formats); else sRGB-encoded

    int bytesPerSample() const { return type == SampleType::U8 ? 1 : type == SampleType::U16 ? 2 : 4; }
    SampleColours colours() const {
        return cmyk   ? (invertedInks ? SampleColours::InvertedCMYK : SampleColours::CMYK)
               : grey ? SampleColours::Grey
                      : SampleColours::RGB;
    }
    size_t rowBytes(int width) const { return size_t(width) * size_t(stride) * size_t(bytesPerSample()); }
};

/// Converts `count` pixels of samples laid out as `layout` into premultiplied working-space floats
/// (`out` takes 4 floats a pixel); `profile` may be null (sRGB, or linear for linear layouts).
void convertSamples(const SourceLayout& layout, const ProfileConverter* profile, const uint8_t* src,
                    int count, float* out);
/// Builds what convertSamples() needs for such samples before threads share it.
void prepareConversion(const SourceLayout& layout, const ProfileConverter* profile);

/// True when samples of this layout and profile are kept compact and converted as read.
bool keepsCompact(const SourceLayout& layout, const ProfileConverter* profile);

/// A stored picture (w x h samples, top row first, `layout.rowBytes(w)` apart) as an upright
/// working-space image. Integer samples stay as they are, 3 bytes a pixel for an 8-bit
/// photograph, and are converted as the picture is read; float samples, and profiles that
/// LittleCMS converts (ProfileConverter::convertsCheaply() false), are converted now.
Image importPicture(const SourceLayout& layout, std::unique_ptr<ProfileConverter> profile, int width,
                    int height, int orientation, std::shared_ptr<const std::vector<uint8_t>> rows);

/// Writes rows of a stored (top row first) picture into an upright working-space bitmap,
/// applying an EXIF orientation (1..8; anything else counts as 1).
class PixelImporter {
  public:
    /// `profile` may be null (sRGB, or linear for linear layouts); it must outlive the importer.
    PixelImporter(const SourceLayout& layout, const ProfileConverter* profile, int width, int height,
                  int orientation);

    /// Size of the upright picture.
    int outputWidth() const { return swap_ ? height_ : width_; }
    int outputHeight() const { return swap_ ? width_ : height_; }

    /// Allocates the upright bitmap, at the origin.
    Bitmap makeBitmap() const;

    /// Converts stored rows [y0, y1) held one after another in `rows` (`rowBytes` apart) into
    /// `dst`, in parallel.
    void importRows(const uint8_t* rows, size_t rowBytes, int y0, int y1, Bitmap& dst) const;

  private:
    void convertRow(const uint8_t* src, float* out) const;

    SourceLayout layout_;
    const ProfileConverter* profile_;
    int width_, height_, orientation_;
    bool swap_;
};

} // namespace ci::io
