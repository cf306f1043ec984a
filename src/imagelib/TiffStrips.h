#pragma once

// What the reader process needs to know of a TIFF file's strips beyond what the image library
// tells: what libtiff said while they were decoded, and whether the JPEG stream of each strip is
// whole. Part of the module that holds the image library (ImageLibModule.cpp).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace imagelib::tiff {

/// A file as libtiff reads it for us: with pread, its descriptor's offset left as it is.
struct FileAt {
    int fd = -1;
    uint64_t size = 0;
    uint64_t at = 0;
};

/// What libtiff says on this thread while one is alive: its codecs' complaints (libjpeg's
/// warnings about a strip's data among them) reach only libtiff's handlers for the whole process,
/// which the image library keeps to itself and never reports on a read that it calls a success.
/// Ours are put in front of the library's, which still get every message; they are installed once
/// a TIFF reader of the library exists, as it installs its own when its first reader is made.
class TiffMessages {
  public:
    TiffMessages();
    ~TiffMessages();
    TiffMessages(const TiffMessages&) = delete;
    TiffMessages& operator=(const TiffMessages&) = delete;

    /// Whether libtiff said anything, warning or error, since the start or the last clear().
    bool any() const { return any_; }
    /// Its first error since then, "" when none.
    const std::string& firstError() const { return firstError_; }
    void clear();

    /// For the handlers.
    void note(bool error, const char* text);

  private:
    TiffMessages* outer_;
    bool any_ = false;
    std::string firstError_;
};

/// Where a strip's data proves damaged: the first row of the picture it holds, and why.
struct StripDamage {
    int row = 0;
    std::string why;
};

/// The JPEG streams of the strips or tiles of a TIFF file in JPEG (compression 7), read again as stored and
/// decoded by libjpeg at an eighth of their size with every warning looked at. libtiff passes on
/// only a strip's first warning, which is the same ("Premature end of JPEG file") for a stream cut
/// inside its data as for one that lacks no more than its end marker: only the second is whole.
class JpegStrips {
  public:
    /// The strips of the first picture in the file open on `fd` (read with pread, its offset left
    /// as it is); null when libtiff cannot read the file's directory.
    static std::unique_ptr<JpegStrips> open(int fd);
    ~JpegStrips();

    /// The first damaged strip holding any row from `row` on, looked at in the order of their
    /// rows (the strips of every plane for the same rows together); none when all are whole.
    /// A row of strips found whole is not looked at again.
    std::optional<StripDamage> firstDamage(int row);

  private:
    JpegStrips() = default;
    std::optional<std::string> damage(uint32_t strip, int plane, uint32_t first, uint32_t rows);

    FileAt file_;
    void* tiff_ = nullptr; ///< libtiff's handle, reading file_
    uint32_t width_ = 0, height_ = 0;
    int rowsPerStrip_ = 1;   ///< of tiles, in a tiled file
    uint32_t tileWidth_ = 0; ///< 0 in a file of strips
    int planes_ = 1;
    uint16_t subsampling_[2] = {1, 1}; ///< of the planes after the first, when stored apart
    uint64_t stripLimit_ = 0;          ///< more bytes than any strip's stream needs
    std::vector<uint8_t> tables_;
    std::vector<uint8_t> bytes_;
    std::vector<bool> whole_; ///< rows of strips found whole
};

} // namespace imagelib::tiff
