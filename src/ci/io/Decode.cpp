// Decoding: ordinary JPEG and PNG files through libjpeg and libpng directly, everything else through the
// image library module (loaded on first need), Qt's image plug-ins for the formats it does not read.

#include "Codec.h"
#include "ColorProfile.h"
#include "ImageLibrary.h"
#include "JpegCodec.h"
#include "PixelImport.h"
#include "PngCodec.h"

#include "ci/core/Bitmap.h"
#include "ci/core/Memory.h"

#include <QBuffer>
#include <QByteArray>
#include <QColorSpace>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QTemporaryFile>

#include <tbb/task_group.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <set>

namespace ci::io {

namespace {

/// Sizes `rows` for a whole picture's samples, in huge pages where the system grants them.
void sizeForPicture(std::vector<uint8_t>& rows, size_t bytes) {
    rows.reserve(bytes);
    memory::preferHugePages(rows.data(), bytes);
    rows.resize(bytes);
}

/// Where the file's bytes come from, for the checks that read them again.
struct Source {
    const std::string* path = nullptr;
    const std::vector<uint8_t>* bytes = nullptr;
};

std::string firstLine(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s.empty() ? std::string("unknown error") : s;
}

/// Warnings that libjpeg raises for harmless irregularities (junk between markers, odd
/// version numbers); the picture itself is complete. Everything else in the error state means
/// damaged pixels, such as a truncated file that the library padded with grey.
bool isHarmless(const std::string& line) {
    static const char* const harmless[] = {"extraneous bytes before marker", "unknown JFIF revision",
                                           "Unknown Adobe color transform",
                                           "Invalid SOS parameters for sequential", "bad ICC marker"};
    return std::any_of(std::begin(harmless), std::end(harmless),
                       [&](const char* h) { return line.find(h) != std::string::npos; });
}

/// The reader's pending errors that mean damage, empty when there are none. `harmless` tells
/// whether any of them was one of the harmless warnings.
std::string damage(PictureInput& in, bool* harmless = nullptr) {
    const std::string all = in.takeErrors();
    if (all.empty())
        return {};
    std::string result;
    size_t pos = 0;
    while (pos <= all.size()) {
        size_t end = all.find('\n', pos);
        if (end == std::string::npos)
            end = all.size();
        std::string line = all.substr(pos, end - pos);
        if (!line.empty() && !isHarmless(line))
            result += (result.empty() ? "" : "; ") + line;
        else if (!line.empty() && harmless)
            *harmless = true;
        pos = end + 1;
    }
    return result;
}

// libjpeg passes on only the first warning of a picture, so a harmless one (junk before a
// marker) hides the damage that follows it. After a harmless first warning from the image library
// the data is decoded once more here, counting every warning.
std::string jpegDamage(const Source& source) {
    if (source.bytes)
        return jpeg::damage(nullptr, source.bytes);
    FILE* file = std::fopen(source.path->c_str(), "rb");
    if (!file)
        return "The file could not be read again: " + std::string(std::strerror(errno));
    std::string damage = jpeg::damage(file, nullptr);
    std::fclose(file);
    return damage;
}

/// Formats whose readers hand out straight alpha without saying so.
bool storesStraightAlpha(const std::string& format) {
    static const std::set<std::string> straight = {"bmp", "ico", "gif", "dpx", "dds", "sgi"};
    return straight.count(format) > 0;
}

/// Empty when a picture of w x h, whose decoder holds `nativeBytes` of its own samples on the way,
/// can be decoded within the memory budget; otherwise the message.
std::string admitPicture(int64_t w, int64_t h, int64_t nativeBytes) {
    const int64_t bitmap = Bitmap::bytesFor(IRect{0, 0, w, h});
    if (std::string refused = memory::admit(saturatingAdd(bitmap, nativeBytes)); !refused.empty())
        return "The image is too large (" + std::to_string(w) + " x " + std::to_string(h) +
               " pixels): " + refused;
    return {};
}

/// How the samples of a file are read, decided from its header.
struct Plan {
    SourceLayout layout;
    int channels = 0; ///< samples read per pixel
};

/// The plan for the picture that `spec` describes, or why it cannot be decoded.
Result<Plan> planDecoding(const PictureSpec& spec, const std::string& format) {
    if (spec.deep)
        return Result<Plan>::failure("Deep images are not supported");
    const int w = spec.width, h = spec.height, nch = spec.nchannels;
    if (w <= 0 || h <= 0 || nch <= 0 || spec.depth > 1)
        return Result<Plan>::failure("The image has no pixels");

    SourceLayout layout;
    layout.type = spec.base == StoredBase::U8    ? SampleType::U8
                  : spec.base == StoredBase::U16 ? SampleType::U16
                                                 : SampleType::F32;
    // Float formats (EXR, HDR, float TIFF) hold linear light.
    layout.linear = spec.base == StoredBase::Float;
    layout.grey = nch < 3;
    int channels = layout.grey ? 1 : 3;
    int alpha = spec.alphaChannel;
    if (alpha < 0 || alpha >= nch)
        alpha = spec.namedAlpha; // some readers (GIF) name the channel but give an index past the end
    if (alpha >= channels && alpha < nch && alpha < 16) {
        layout.alpha = alpha;
        channels = alpha + 1;
    }
    layout.stride = channels;
    layout.associated = layout.alpha >= 0 && !spec.unassociatedAlpha && !storesStraightAlpha(format);

    // Decided from the header alone, before any pixel is read: a small file can declare a huge
    // picture. Some readers (PNG) hold the whole picture in its stored form on the way, and tiled
    // files are read whole.
    const int64_t stored = std::max<int64_t>(spec.scanlineBytes, int64_t(layout.rowBytes(w)));
    if (std::string refused = admitPicture(w, h, saturatingMul(stored, h)); !refused.empty())
        return Result<Plan>::failure(refused);
    return Plan{layout, channels};
}

/// Why the reader failed: its damage message, else its error, else `fallback`.
std::string readFailure(PictureInput& in, const std::string& fallback) {
    std::string msg = damage(in);
    if (msg.empty())
        msg = firstLine(in.takeErrors());
    if (msg.empty() || msg == "unknown error")
        msg = fallback;
    return msg;
}

/// The conversion of the samples from the file's profile; null when there is none to make (no
/// profile, or sRGB samples already).
std::unique_ptr<ProfileConverter> profileFor(const std::vector<uint8_t>& icc, const SourceLayout& layout) {
    if (icc.empty())
        return nullptr;
    auto profile = ProfileConverter::create(icc.data(), icc.size(), layout.grey, layout.stride, layout.type);
    if (profile && profile->isSRGB() && !layout.linear)
        profile.reset();
    return profile;
}

ReadType readTypeOf(const SourceLayout& layout) {
    return layout.type == SampleType::U8    ? ReadType::U8
           : layout.type == SampleType::U16 ? ReadType::U16
                                            : ReadType::F32;
}

/// After the last scanline: why the data read is damaged, or "". Closes the reader.
std::string scanlineDamage(PictureInput& in, const Source& source) {
    bool harmless = false;
    if (std::string msg = damage(in, &harmless); !msg.empty())
        return msg;
    const bool jpeg = in.formatName() == "jpeg";
    in.close();
    if (harmless && jpeg)
        return jpegDamage(source);
    return {};
}

Result<Decoded> decodeWith(PictureInput& in, const Source& source) {
    const PictureSpec spec = in.spec();
    const std::string format = in.formatName();
    const Result<Plan> plan = planDecoding(spec, format);
    if (!plan)
        return Result<Decoded>::failure(plan.error());
    const SourceLayout& layout = plan->layout;
    const int channels = plan->channels;
    const int w = spec.width, h = spec.height;

    std::unique_ptr<ProfileConverter> profile = profileFor(spec.iccProfile, layout);
    const int orientation = spec.orientation;
    const ReadType readType = readTypeOf(layout);
    const size_t rowBytes = layout.rowBytes(w);

    auto failure = [&](const std::string& fallback) {
        return Result<Decoded>::failure(readFailure(in, fallback));
    };
    auto decoded = [&](Image image) {
        Decoded d;
        const Rect e = image.extent();
        d.width = int(e.width());
        d.height = int(e.height());
        d.format = format;
        d.image = std::move(image);
        return d;
    };

    if (spec.tileWidth > 0 || keepsCompact(layout, profile.get())) {
        // Read whole: the samples are kept as they are (or, for tiled files, come only whole).
        auto rows = std::make_shared<std::vector<uint8_t>>();
        sizeForPicture(*rows, rowBytes * size_t(h));
        if (spec.tileWidth > 0) {
            if (!in.readImage(channels, readType, rows->data()))
                return failure("The image data could not be read");
            if (std::string msg = damage(in); !msg.empty())
                return Result<Decoded>::failure(msg);
            in.close();
        } else {
            if (!in.readScanlines(spec.y, spec.y + h, channels, readType, rows->data()))
                return failure("The image data could not be read");
            if (std::string msg = scanlineDamage(in, source); !msg.empty())
                return Result<Decoded>::failure(msg);
        }
        return decoded(importPicture(layout, std::move(profile), w, h, orientation, std::move(rows)));
    }

    // Converted as read: scanline files are read in bands, each band converted in parallel while
    // the reader decodes the next one.
    PixelImporter importer(layout, profile.get(), w, h, orientation);
    Bitmap bitmap = importer.makeBitmap();
    const int band = std::clamp(int((8u << 20) / std::max<size_t>(rowBytes, 1)), 16, std::max(16, h));
    std::vector<uint8_t> buffers[2];
    buffers[0].resize(rowBytes * size_t(std::min(band, h)));
    if (h > band)
        buffers[1].resize(buffers[0].size());
    tbb::task_group converting;
    bool readOk = true;
    int index = 0;
    for (int y0 = 0; y0 < h && readOk; y0 += band, index ^= 1) {
        const int y1 = std::min(h, y0 + band);
        uint8_t* buf = buffers[index].data();
        readOk = in.readScanlines(spec.y + y0, spec.y + y1, channels, readType, buf);
        converting.wait();
        if (readOk)
            converting.run([&importer, &bitmap, buf, rowBytes, y0, y1] {
                importer.importRows(buf, rowBytes, y0, y1, bitmap);
            });
    }
    converting.wait();
    if (!readOk)
        return failure("The image data could not be read");
    if (std::string msg = scanlineDamage(in, source); !msg.empty())
        return Result<Decoded>::failure(msg);
    return decoded(Image::fromBitmap(std::move(bitmap)));
}

/// Formats that the image library reads itself: when it fails on one of them the file is damaged,
/// and Qt's more forgiving readers must not turn that into a half-grey picture.
bool ownedByImageLibrary(const QByteArray& qtFormat) {
    static const std::set<QByteArray> owned = {"jpeg", "jpg",  "png", "gif", "bmp", "tif",
                                               "tiff", "webp", "pbm", "pgm", "ppm", "tga"};
    return owned.count(qtFormat.toLower()) > 0;
}

Result<Decoded> decodeWithQt(QImageReader& reader) {
    reader.setAutoTransform(true); // EXIF orientation
    const QByteArray format = reader.format();
    // Qt's readers refuse pictures over their own allocation limit; this keeps the copies made
    // here within the budget too.
    if (const QSize size = reader.size(); size.isValid())
        if (std::string refused = admitPicture(size.width(), size.height(),
                                               saturatingMul(int64_t(size.width()) * 16, size.height()));
            !refused.empty())
            return Result<Decoded>::failure(refused);
    QImage image = reader.read();
    if (image.isNull())
        return Result<Decoded>::failure(reader.errorString().toStdString());
    const bool deep = image.depth() > 32 || image.format() == QImage::Format_Grayscale16;
    image.convertTo(deep ? QImage::Format_RGBA64 : QImage::Format_RGBA8888);
    if (image.isNull())
        return Result<Decoded>::failure("The image could not be converted");

    SourceLayout layout;
    layout.type = deep ? SampleType::U16 : SampleType::U8;
    layout.stride = 4;
    layout.alpha = 3;
    std::unique_ptr<ProfileConverter> profile;
    if (image.colorSpace().isValid()) {
        const QByteArray icc = image.colorSpace().iccProfile();
        profile = ProfileConverter::create(reinterpret_cast<const uint8_t*>(icc.constData()),
                                           size_t(icc.size()), false, 4, layout.type);
        if (profile && profile->isSRGB())
            profile.reset();
    }
    const int w = image.width(), h = image.height();
    PixelImporter importer(layout, profile.get(), w, h, 1);
    Bitmap bitmap = importer.makeBitmap();
    importer.importRows(image.constBits(), size_t(image.bytesPerLine()), 0, h, bitmap);

    Decoded d;
    d.width = w;
    d.height = h;
    d.format = format.toLower().toStdString();
    d.image = Image::fromBitmap(std::move(bitmap));
    return d;
}

/// The image library's reader name for a signature at the start of the data, or "".
std::string sniffFormat(const std::vector<uint8_t>& b) {
    auto starts = [&](std::initializer_list<int> sig, size_t at = 0) {
        if (b.size() < at + sig.size())
            return false;
        size_t i = at;
        for (int c : sig)
            if (b[i++] != uint8_t(c))
                return false;
        return true;
    };
    if (starts({0xFF, 0xD8, 0xFF}))
        return "jpeg";
    if (starts({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}))
        return "png";
    if (starts({'G', 'I', 'F', '8'}))
        return "gif";
    if (starts({'I', 'I', 0x2A, 0x00}) || starts({'M', 'M', 0x00, 0x2A}) || starts({'I', 'I', 0x2B, 0x00}) ||
        starts({'M', 'M', 0x00, 0x2B}))
        return "tiff";
    if (starts({'B', 'M'}))
        return "bmp";
    if (starts({'R', 'I', 'F', 'F'}) && starts({'W', 'E', 'B', 'P'}, 8))
        return "webp";
    if (starts({0x76, 0x2F, 0x31, 0x01}))
        return "openexr";
    if (starts({'#', '?', 'R', 'A', 'D', 'I', 'A', 'N', 'C', 'E'}) || starts({'#', '?', 'R', 'G', 'B', 'E'}))
        return "hdr";
    if (starts({'8', 'B', 'P', 'S'}))
        return "psd";
    return {};
}

/// Empty for a path that names a regular file (after symbolic links); otherwise why it cannot be
/// an image. Only the file's type is asked, so a pipe or a device is never opened (reading one
/// would block or never end).
std::string checkRegularFile(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        const int e = errno;
        if (e == ENOENT || e == ENOTDIR)
            return "The file does not exist: " + path;
        return "The file cannot be read: " + path + ": " + std::strerror(e);
    }
    if (S_ISDIR(st.st_mode))
        return "The file is a folder: " + path;
    if (!S_ISREG(st.st_mode))
        return "The file is not a regular file (a device, pipe or socket): " + path;
    return {};
}

/// The reader name for the signature at the start of the file, or "".
std::string sniffFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::vector<uint8_t> head(16);
    const ssize_t n = ::read(fd, head.data(), head.size());
    ::close(fd);
    head.resize(size_t(std::max<ssize_t>(n, 0)));
    return sniffFormat(head);
}

/// A reader of libjpeg or libpng for an ordinary JPEG or PNG file, else null.
std::unique_ptr<PictureInput> openDirect(const std::string& format, const std::string& path) {
    return format == "jpeg" ? jpeg::openFile(path) : format == "png" ? png::openFile(path) : nullptr;
}
/// The same for data in memory.
std::unique_ptr<PictureInput> openDirect(const std::string& format, const std::vector<uint8_t>& bytes) {
    return format == "jpeg" ? jpeg::openMemory(bytes) : format == "png" ? png::openMemory(bytes) : nullptr;
}

/// Opens the file at `path`: an ordinary JPEG or PNG file with libjpeg or libpng (unless `direct`
/// is false), any other with the image library, or else with Qt's image plug-ins for the formats that the
/// image library does not read; hands the reader to `withInput` or `withQt`.
template <class T, class WithInput, class WithQt>
Result<T> withFileReader(const std::string& path, WithInput withInput, WithQt withQt, bool direct = true) {
    try {
        if (std::string refused = checkRegularFile(path); !refused.empty())
            return Result<T>::failure(refused);
        if (direct)
            if (std::unique_ptr<PictureInput> in = openDirect(sniffFile(path), path))
                return withInput(*in);
        imagelib::Opened opened = imagelib::openFile(path);
        if (opened.input)
            return withInput(*opened.input);
        const std::string libraryError = firstLine(opened.error);

        // Paths are bytes; Qt reads them in the local 8-bit encoding.
        QImageReader reader(QFile::decodeName(QByteArray::fromStdString(path)));
        const QByteArray qtFormat = reader.format(); // from the content, else the extension
        if (!qtFormat.isEmpty() && !ownedByImageLibrary(qtFormat) && reader.canRead())
            return withQt(reader);
        if (!qtFormat.isEmpty() || !opened.noReader)
            return Result<T>::failure(libraryError);
        return Result<T>::failure("Unsupported image format: " + path);
    } catch (const std::bad_alloc&) {
        return Result<T>::failure("Not enough memory to decode " + path);
    } catch (const std::exception& e) {
        return Result<T>::failure(std::string("Cannot decode ") + path + ": " + e.what());
    }
}

/// Reads all of the picture data of an opened file without keeping it; why it is damaged, or "".
std::string scanData(PictureInput& in, const std::string& path) {
    if (in.formatName() == "jpeg") {
        // libjpeg sees every warning of the data at an eighth of the size, at a fraction of the
        // cost of a decode.
        in.close();
        return jpegDamage(Source{&path, nullptr});
    }
    const PictureSpec spec = in.spec();
    const size_t rowBytes = std::max<size_t>(size_t(spec.scanlineBytes), 1);
    std::vector<uint8_t> buffer;
    bool ok = true;
    if (spec.tileWidth > 0) {
        buffer.resize(size_t(spec.imageBytes));
        ok = in.readImage(spec.nchannels, ReadType::Native, buffer.data());
    } else {
        // In bands of the stored samples, as they come.
        const int band = std::clamp(int((8u << 20) / rowBytes), 1, std::max(1, spec.height));
        buffer.resize(rowBytes * size_t(band));
        for (int y0 = 0; y0 < spec.height && ok; y0 += band)
            ok = in.readScanlines(spec.y + y0, spec.y + std::min(spec.height, y0 + band), spec.nchannels,
                                  ReadType::Native, buffer.data());
    }
    if (!ok)
        return readFailure(in, "The image data could not be read");
    return damage(in);
}

Result<Probe> probeWith(PictureInput& in, const std::string& path, ProbeDepth depth) {
    const PictureSpec spec = in.spec();
    Probe probe;
    probe.format = in.formatName();
    if (const Result<Plan> plan = planDecoding(spec, probe.format); !plan)
        return Result<Probe>::failure(plan.error());
    // Orientations 5 to 8 turn the picture a quarter, as the decoder does.
    const int orientation = spec.orientation;
    const bool turned = orientation >= 5 && orientation <= 8;
    probe.width = turned ? spec.height : spec.width;
    probe.height = turned ? spec.width : spec.height;
    if (depth == ProbeDepth::Data)
        if (std::string msg = scanData(in, path); !msg.empty())
            return Result<Probe>::failure(msg);
    return probe;
}

} // namespace

/// A scanline file's samples as stored, with what their conversion needs.
struct StoredSamples {
    SourceLayout layout;
    std::vector<uint8_t> iccProfile;
    int width = 0;
    int height = 0;
    int orientation = 1;
    std::string format;
    std::vector<uint8_t> rows; ///< top row first, layout.rowBytes(width) apart
};

namespace {

Result<ReadPicture> readWith(PictureInput& in, const std::string& path) {
    const PictureSpec spec = in.spec();
    // Tiled files are read whole at conversion.
    if (spec.tileWidth > 0)
        return ReadPicture{path, nullptr};
    auto samples = std::make_shared<StoredSamples>();
    samples->format = in.formatName();
    const Result<Plan> plan = planDecoding(spec, samples->format);
    if (!plan)
        return Result<ReadPicture>::failure(plan.error());
    samples->layout = plan->layout;
    samples->iccProfile = spec.iccProfile;
    samples->width = spec.width;
    samples->height = spec.height;
    samples->orientation = spec.orientation;
    sizeForPicture(samples->rows, samples->layout.rowBytes(spec.width) * size_t(spec.height));
    if (!in.readScanlines(spec.y, spec.y + spec.height, plan->channels, readTypeOf(samples->layout),
                          samples->rows.data()))
        return Result<ReadPicture>::failure(readFailure(in, "The image data could not be read"));
    if (std::string msg = scanlineDamage(in, Source{&path, nullptr}); !msg.empty())
        return Result<ReadPicture>::failure(msg);
    return ReadPicture{path, std::move(samples)};
}

} // namespace

Result<ReadPicture> readPicture(const std::string& path) {
    return withFileReader<ReadPicture>(
        path, [&](PictureInput& in) { return readWith(in, path); },
        // Formats left to Qt are read whole at conversion.
        [&](QImageReader&) {
            return Result<ReadPicture>(ReadPicture{path, nullptr});
        });
}

Result<Decoded> decodePicture(ReadPicture picture) {
    if (!picture.samples)
        return decodeFile(picture.path);
    try {
        const StoredSamples& s = *picture.samples;
        // The samples stay as they were read, shared with the picture, when they need no
        // conversion now.
        const std::shared_ptr<const std::vector<uint8_t>> rows(picture.samples, &s.rows);
        Decoded d;
        d.image = importPicture(s.layout, profileFor(s.iccProfile, s.layout), s.width, s.height,
                                s.orientation, rows);
        d.width = int(d.image.extent().width());
        d.height = int(d.image.extent().height());
        d.format = s.format;
        picture.samples.reset(); // the image alone holds the samples now, if it needs them
        return d;
    } catch (const std::bad_alloc&) {
        return Result<Decoded>::failure("Not enough memory to decode " + picture.path);
    } catch (const std::exception& e) {
        return Result<Decoded>::failure(std::string("Cannot decode ") + picture.path + ": " + e.what());
    }
}

Result<Decoded> decodeFile(const std::string& path) {
    return withFileReader<Decoded>(
        path,
        [&](PictureInput& in) {
            return decodeWith(in, Source{&path, nullptr});
        },
        [](QImageReader& reader) { return decodeWithQt(reader); });
}

Result<Probe> probeFile(const std::string& path, ProbeDepth depth) {
    return withFileReader<Probe>(
        path, [&](PictureInput& in) { return probeWith(in, path, depth); },
        [](QImageReader& reader) -> Result<Probe> {
            // The formats left to Qt are rare ones; their size comes from a decode.
            const Result<Decoded> decoded = decodeWithQt(reader);
            if (!decoded)
                return Result<Probe>::failure(decoded.error());
            return Probe{decoded->width, decoded->height, decoded->format};
        });
}

Result<Decoded> decodeData(const std::vector<uint8_t>& bytes) {
    if (bytes.empty())
        return Result<Decoded>::failure("No image data");
    try {
        const std::string format = sniffFormat(bytes);
        if (std::unique_ptr<PictureInput> in = openDirect(format, bytes))
            return decodeWith(*in, Source{nullptr, &bytes});
        if (!format.empty()) {
            imagelib::Opened opened = imagelib::openMemory(format, bytes);
            if (opened.input)
                return decodeWith(*opened.input, Source{nullptr, &bytes});
            if (!opened.noReader)
                return Result<Decoded>::failure(firstLine(opened.error));
        }
        // Readers without memory input, and formats known only by their name, read a file.
        QTemporaryFile file(QDir::tempPath() + "/gw-decode-XXXXXX");
        if (!file.open())
            return Result<Decoded>::failure("Cannot create a temporary file for decoding");
        if (file.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size())) !=
                qint64(bytes.size()) ||
            !file.flush())
            return Result<Decoded>::failure("Cannot write a temporary file for decoding");
        file.close();
        const std::string tempPath = QFile::encodeName(file.fileName()).toStdString();
        Result<Decoded> result = decodeFile(tempPath);
        if (result.ok())
            return result;
        std::string message = result.error();
        for (size_t at; (at = message.find(": " + tempPath)) != std::string::npos;)
            message.erase(at, tempPath.size() + 2);
        for (size_t at; (at = message.find(tempPath)) != std::string::npos;)
            message.replace(at, tempPath.size(), "data");
        return Result<Decoded>::failure(message);
    } catch (const std::bad_alloc&) {
        return Result<Decoded>::failure("Not enough memory to decode the image");
    } catch (const std::exception& e) {
        return Result<Decoded>::failure(std::string("Cannot decode the image: ") + e.what());
    }
}

namespace imagelib {

Result<Decoded> decodeFile(const std::string& path) {
    return withFileReader<Decoded>(
        path,
        [&](PictureInput& in) {
            return decodeWith(in, Source{&path, nullptr});
        },
        [](QImageReader& reader) { return decodeWithQt(reader); }, false);
}

} // namespace imagelib

} // namespace ci::io
