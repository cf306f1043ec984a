#pragma once

// A reader of one picture file, as the decoder uses it: libjpeg directly for ordinary JPEG files,
// the image library module for everything else.

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace ci::io {

/// How the samples of a file are stored.
enum class StoredBase { U8, U16, Float, Other };
/// The samples a read asks for; Native keeps them as stored.
enum class ReadType { U8, U16, F32, Native };

/// What the header of a file says.
struct PictureSpec {
    int width = 0, height = 0, nchannels = 0, depth = 1;
    bool deep = false;
    int tileWidth = 0;
    int y = 0, z = 0; ///< origin of the data window
    StoredBase base = StoredBase::U8;
    int alphaChannel = -1; ///< as the reader says, may be out of range
    int namedAlpha = -1;   ///< the last channel named A or Alpha
    bool unassociatedAlpha = false;
    int orientation = 1;       ///< EXIF orientation
    bool cmyk = false;         ///< four samples a pixel of printing inks, cyan, magenta, yellow and black
    bool invertedInks = false; ///< CMYK stored as 255 minus each ink
    int64_t scanlineBytes = 0;
    int64_t imageBytes = 0;
    /// What the reader itself holds for the whole picture while it decodes (libjpeg's coefficients
    /// of a progressive file), beyond the rows it hands out.
    int64_t decoderBytes = 0;
    std::vector<uint8_t> iccProfile;
};

class PictureInput {
  public:
    virtual ~PictureInput() = default;
    virtual const PictureSpec& spec() const = 0;
    virtual std::string formatName() const = 0;
    /// Rows y0 to y1 (in the data window's coordinates), `channels` samples a pixel.
    virtual bool readScanlines(int y0, int y1, int channels, ReadType type, void* data) = 0;
    /// The whole picture (tiled files).
    virtual bool readImage(int channels, ReadType type, void* data) = 0;
    /// The pending messages, one a line, cleared; empty when there are none.
    virtual std::string takeErrors() = 0;
    /// Whether every message it passes on means damage: a reader that judges its library's
    /// warnings itself, whose texts may read like harmless ones.
    virtual bool passesOnlyDamage() const { return false; }
    virtual void close() = 0;
};

/// A reader of a file by its descriptor, from its start, whoever else reads it (none when it reads
/// data in memory).
class FileInput : public PictureInput {
  public:
    ~FileInput() override { FileInput::close(); }
    void close() override {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

  protected:
    int fd_ = -1; ///< its own, of the file's description: reads at its own offsets (pread)
};

/// Opens an `Input` (made from `args`, whose open(int, const std::vector<uint8_t>*) reads the header
/// and owns the descriptor) on the file open on `fd` or on `bytes`; null when it cannot be opened or
/// declines the picture.
template <class Input, class... Args>
std::unique_ptr<PictureInput> openInput(int fd, const std::vector<uint8_t>* bytes, Args&&... args) {
    auto in = std::make_unique<Input>(std::forward<Args>(args)...);
    int own = -1;
    if (fd >= 0 && (own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0)) < 0)
        return nullptr;
    if (!in->open(own, bytes))
        return nullptr;
    return in;
}

} // namespace ci::io
