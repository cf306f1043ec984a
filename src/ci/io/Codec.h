#pragma once

// Reading image files into the working space and writing the five export formats.

#include "ci/core/Context.h"
#include "ci/core/Image.h"
#include "ci/io/PictureFile.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace ci::io {

/// Export file types, numbered as the bitmap file types of the documents.
enum class FileType { TIFF = 0, BMP = 1, GIF = 2, JPEG = 3, PNG = 4 };

/// A decoded picture: upright (orientation applied), in the working space, extent at the origin.
struct Decoded {
    Image image;
    int width = 0;      ///< pixels
    int height = 0;     ///< pixels
    std::string format; ///< short format name of the file, such as "jpeg" or "png"
};

/// Decodes a file: the first page, EXIF orientation applied, an embedded ICC profile converted
/// (no profile: sRGB; float formats: linear), premultiplied. A damaged (also truncated, unless a
/// JPEG lacks only its end marker) or unsupported file gives an error with a message.
/// With a known `identity`, only the file that it names (PictureFile::openSame): a name that leads
/// to another file by now fails with the reason.
Result<Decoded> decodeFile(const std::string& path, const FileIdentity& identity = {});
Result<Decoded> decodeFile(const PictureFile& file);
/// Decodes a file held in memory.
Result<Decoded> decodeData(const std::vector<uint8_t>& bytes);

/// A picture read from its file and not yet converted into the working space: the part of a
/// decode that runs on one thread (reading, decompressing, looking for damage) done, the part that
/// runs in parallel left. Its samples are held as stored (3 bytes a pixel for an 8-bit RGB
/// photograph, against 16 in the working space), so that a batch can read the next picture while
/// it renders the present one.
struct StoredSamples;
struct ReadPicture {
    std::string path;
    /// Nothing for files that are read whole when converted (tiled files, formats left to Qt).
    std::shared_ptr<const StoredSamples> samples;
    /// The file itself, for those.
    std::shared_ptr<const PictureFile> file;
};

/// Reads a file for decodePicture(); fails as decodeFile() does for a file that is no image, too
/// large or damaged.
Result<ReadPicture> readPicture(const std::string& path, const FileIdentity& identity = {});
/// The picture read, as decodeFile() gives it.
Result<Decoded> decodePicture(ReadPicture picture);

/// What a file holds, as decodeFile() would give it, learnt without decoding the picture.
struct Probe {
    int width = 0;      ///< pixels, upright (orientation applied)
    int height = 0;     ///< pixels, upright
    std::string format; ///< as Decoded::format
};

/// How much of a file probeFile() reads.
enum class ProbeDepth {
    Header, ///< the header alone
    Data,   ///< also all of the picture data, to see damage; no pixel is converted or kept (a JPEG
            ///< is read at an eighth of its size)
};

/// Whether the first bytes of a file, read by the caller, are the signature of a picture format
/// (of several bytes, which no text starts with).
bool startsAsPicture(const uint8_t* head, size_t size);

/// The upright size and the format of the picture in a file, from its header, without the cost
/// of decodeFile(). Fails as decodeFile() does for a file that is no image (or not a regular file)
/// or declares a picture too large for the memory budget; with ProbeDepth::Data also for a
/// damaged one. With ProbeDepth::Data, `headerAccepted` (when given) is called once the header has
/// been read and accepted, before the data is looked through.
Result<Probe> probeFile(const std::string& path, ProbeDepth depth = ProbeDepth::Header,
                        const std::function<void()>& headerAccepted = {});
Result<Probe> probeFile(const PictureFile& file, ProbeDepth depth = ProbeDepth::Header,
                        const std::function<void()>& headerAccepted = {});

/// Encodes pixels (sRGB, straight alpha, top row first; 16-bit kept by PNG and TIFF).
/// `compression` is the compression factor 0..1 (JPEG quality; ignored by the other formats).
/// PNG, TIFF and BMP keep alpha when the picture is not opaque, GIF keeps one transparent
/// entry, JPEG stores the picture over black.
Result<std::vector<uint8_t>> encodePixels(const PixelBuffer& pixels, FileType type, double compression = 1.0);
/// Renders the image over its extent and encodes it.
Result<std::vector<uint8_t>> encodeImage(const Image& image, FileType type, double compression = 1.0,
                                         const Context& context = Context());

} // namespace ci::io
