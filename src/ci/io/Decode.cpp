// Decoding: ordinary JPEG and PNG files through libjpeg and libpng directly, everything else through the
// image library's reader of the format the file's content shows, or Qt's image plug-ins for the
// formats the library does not read, both in a reader process (ImageWorker.cpp).

#include "Codec.h"
#include "ColorProfile.h"
#include "ImageLibrary.h"
#include "JpegCodec.h"
#include "PixelImport.h"
#include "PngCodec.h"

#include "ci/core/Bitmap.h"
#include "ci/core/Console.h"
#include "ci/core/Memory.h"

#include <tbb/task_group.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <new>
#include <optional>
#include <set>
#include <utility>

namespace ci::io {

namespace {

/// Sizes `rows` for a whole picture's samples, in huge pages where the system grants them.
void sizeForPicture(std::vector<uint8_t>& rows, size_t bytes) {
    rows.reserve(bytes);
    memory::preferHugePages(rows.data(), bytes);
    rows.resize(bytes);
}

/// Where the file's bytes come from, for the checks that read them again: the file opened for the
/// decode, or data in memory.
struct Source {
    int fd = -1;
    const std::vector<uint8_t>* bytes = nullptr;
    const std::string* path = nullptr; ///< the file's name, for messages
};

std::string firstLine(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s.empty() ? std::string("unknown error") : s;
}

/// Warnings that libjpeg raises for harmless irregularities (junk between markers, odd
/// version numbers), as the image library passes them on; the picture itself is complete.
/// Everything else in the error state means damaged pixels, such as a truncated file that the
/// library padded with grey. (The JPEG reader here judges libjpeg's warnings itself.)
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
        if (!line.empty() && (in.passesOnlyDamage() || !isHarmless(line)))
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
    return jpeg::damage(source.fd, source.bytes);
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
    if (spec.cmyk && (nch != 4 || spec.base != StoredBase::U8))
        return Result<Plan>::failure("The image data could not be read");
    layout.cmyk = spec.cmyk;
    layout.invertedInks = spec.invertedInks;
    int channels = layout.cmyk ? 4 : layout.grey ? 1 : 3;
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
    // picture. Some readers (PNG) hold the whole picture in its stored form on the way, tiled
    // files are read whole, and a progressive JPEG is held as coefficients.
    const int64_t stored = std::max<int64_t>(spec.scanlineBytes, int64_t(layout.rowBytes(w)));
    if (std::string refused = admitPicture(w, h, saturatingAdd(saturatingMul(stored, h), spec.decoderBytes));
        !refused.empty())
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
/// profile, or sRGB samples already). A profile refused for what it would cost is set aside as an
/// unreadable one is, and the console says so for the file `name` ("" for data in memory).
std::unique_ptr<ProfileConverter> profileFor(const std::vector<uint8_t>& icc, const SourceLayout& layout,
                                             const std::string& name) {
    if (icc.empty())
        return nullptr;
    std::string refused;
    auto profile = ProfileConverter::create(icc.data(), icc.size(), layout.colours(), layout.stride,
                                            layout.type, &refused);
    if (!refused.empty())
        console("readProfile: ⛔️ " + (name.empty() ? std::string() : name + ": ") + refused +
                "; the picture is read without it");
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
    const PictureSpec& spec = in.spec();
    const std::string format = in.formatName();
    const Result<Plan> plan = planDecoding(spec, format);
    if (!plan)
        return Result<Decoded>::failure(plan.error());
    const SourceLayout& layout = plan->layout;
    const int channels = plan->channels;
    const int w = spec.width, h = spec.height;

    std::unique_ptr<ProfileConverter> profile =
        profileFor(spec.iccProfile, layout, source.path ? *source.path : std::string());
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
    auto text = [&](const char* sig, size_t at = 0) {
        const size_t n = std::strlen(sig);
        return b.size() >= at + n && std::memcmp(b.data() + at, sig, n) == 0;
    };
    auto space = [&](size_t at) {
        return b.size() > at && (b[at] == ' ' || b[at] == '\t' || b[at] == '\n' || b[at] == '\r');
    };
    if (starts({0xFF, 0xD8, 0xFF}))
        return "jpeg";
    if (starts({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}))
        return "png";
    if (text("GIF8"))
        return "gif";
    if (starts({'I', 'I', 0x2A, 0x00}) || starts({'M', 'M', 0x00, 0x2A}) || starts({'I', 'I', 0x2B, 0x00}) ||
        starts({'M', 'M', 0x00, 0x2B}))
        return "tiff";
    if (text("BM"))
        return "bmp";
    if (text("RIFF") && text("WEBP", 8))
        return "webp";
    if (starts({0x76, 0x2F, 0x31, 0x01}))
        return "openexr";
    if (text("#?RADIANCE") || text("#?RGBE"))
        return "hdr";
    if (text("8BPS"))
        return "psd";
    if (starts({0x01, 0xDA}) && b.size() > 3 && b[2] <= 1 && (b[3] == 1 || b[3] == 2))
        return "sgi";
    if (text("DDS "))
        return "dds";
    if (text("SDPX") || text("XPDS"))
        return "dpx";
    if (starts({0x80, 0x2A, 0x5F, 0xD7}) || starts({0xD7, 0x5F, 0x2A, 0x80}))
        return "cineon";
    if (starts({0x00, 0x00, 0x01, 0x00}) && b.size() > 5 && (b[4] | b[5]) != 0)
        return "ico";
    if (b.size() > 2 && b[0] == 'P' && ((b[1] >= '1' && b[1] <= '6') || b[1] == 'f' || b[1] == 'F') &&
        space(2))
        return "pnm";
    if (starts({0x53, 0x80, 0xF6, 0x34}))
        return "softimage";
    if (text("FOR4") && text("CIMG", 8))
        return "iff";
    if (text("ftyp", 4))
        for (const char* brand :
             {"heic", "heix", "hevc", "hevx", "heim", "heis", "hevm", "hevs", "mif1", "msf1", "avif", "avis"})
            if (text(brand, 8))
                return "heif";
    if (starts({0x00, 0x00, 0x00, 0x0C, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A}) ||
        starts({0xFF, 0x4F, 0xFF, 0x51}))
        return "jpeg2000";
    if (text("SIMPLE  ="))
        return "fits";
    if (text("DICM", 128))
        return "dicom";
    return {};
}

/// Whether data without a signature is a Targa picture: it has the footer of the format's second
/// version, or a header whose every field is one the format allows. Data has no name to tell.
bool looksLikeTarga(const std::vector<uint8_t>& b) {
    static const char footer[] = "TRUEVISION-XFILE.";
    if (b.size() >= 26 + 18 && std::memcmp(b.data() + b.size() - 18, footer, sizeof(footer)) == 0)
        return true;
    if (b.size() < 18)
        return false;
    const auto one = [](uint8_t v, std::initializer_list<int> allowed) {
        return std::find(allowed.begin(), allowed.end(), int(v)) != allowed.end();
    };
    const bool mapped = b[1] == 1;
    return b[1] <= 1 && one(b[2], {1, 2, 3, 9, 10, 11}) && (mapped == (b[2] == 1 || b[2] == 9)) &&
           one(b[7], mapped ? std::initializer_list<int>{15, 16, 24, 32} : std::initializer_list<int>{0}) &&
           (b[12] | b[13]) != 0 && (b[14] | b[15]) != 0 && one(b[16], {8, 15, 16, 24, 32}) &&
           (b[17] & 0xC0) == 0;
}

/// The name of the picture format that a file's extension promises, for the formats known by their
/// content; "" for any other extension.
std::string formatNamed(const std::string& extension) {
    static const std::map<std::string, std::string> names = {
        {"png", "PNG"}, {"jpg", "JPEG"},  {"jpeg", "JPEG"}, {"tif", "TIFF"},  {"tiff", "TIFF"},
        {"gif", "GIF"}, {"bmp", "BMP"},   {"webp", "WebP"}, {"psd", "PSD"},   {"exr", "OpenEXR"},
        {"hdr", "HDR"}, {"heic", "HEIF"}, {"heif", "HEIF"}, {"avif", "AVIF"}, {"jp2", "JPEG 2000"},
        {"sgi", "SGI"}, {"dds", "DDS"},   {"dpx", "DPX"},   {"ico", "ICO"},   {"ppm", "PNM"},
        {"pgm", "PNM"}, {"pbm", "PNM"},   {"pnm", "PNM"}};
    const auto it = names.find(extension);
    return it == names.end() ? std::string() : it->second;
}

/// The library's reader for a file: the one of the format its content shows. The name counts only
/// for formats without a signature, and for camera raw files, most of which look like TIFF.
std::string readerFor(const std::vector<uint8_t>& head, const std::string& extension) {
    static const std::set<std::string> raw = {"3fr", "arw", "bay", "bmq", "cap", "cine", "cr2", "cr3", "crw",
                                              "cs1", "dc2", "dcr", "dng", "drf", "dsc",  "erf", "fff", "ia",
                                              "iiq", "k25", "kc2", "kdc", "mdc", "mef",  "mos", "mrw", "nef",
                                              "nrw", "orf", "pef", "ptx", "pxn", "qtk",  "raf", "raw", "rdc",
                                              "rw2", "rwl", "rwz", "sr2", "srf", "srw",  "sti", "x3f"};
    const std::string format = sniffFormat(head);
    if ((format.empty() || format == "tiff") && raw.count(extension))
        return "raw";
    if (format.empty() && (extension == "tga" || extension == "tpic" || extension == "targa"))
        return "targa";
    if (format.empty() && extension == "rla")
        return "rla";
    return format;
}

/// Empty when the picture size that the header of a file in `format` declares (for the formats
/// whose readers allocate for it as they open the file) fits in the memory budget; else the
/// budget's message. The readers are not asked to find out by trying.
std::string admitDeclared(const std::string& format, const std::vector<uint8_t>& b) {
    auto le = [&](size_t at, int n) {
        uint64_t v = 0;
        for (int i = n - 1; i >= 0; --i)
            v = (v << 8) | b[at + size_t(i)];
        return v;
    };
    auto be = [&](size_t at, int n) {
        uint64_t v = 0;
        for (int i = 0; i < n; ++i)
            v = (v << 8) | b[at + size_t(i)];
        return v;
    };
    std::optional<std::pair<int64_t, int64_t>> size;
    if (format == "gif" && b.size() >= 10)
        size = {int64_t(le(6, 2)), int64_t(le(8, 2))};
    else if (format == "bmp" && b.size() >= 26)
        size = le(14, 4) == 12
                   ? std::pair{int64_t(le(18, 2)), int64_t(le(20, 2))}
                   : std::pair{std::abs(int64_t(int32_t(le(18, 4)))), std::abs(int64_t(int32_t(le(22, 4))))};
    else if (format == "psd" && b.size() >= 22)
        size = {int64_t(be(18, 4)), int64_t(be(14, 4))};
    else if (format == "sgi" && b.size() >= 10)
        size = {int64_t(be(6, 2)), int64_t(be(8, 2))};
    else if (format == "dds" && b.size() >= 20)
        size = {int64_t(le(16, 4)), int64_t(le(12, 4))};
    else if (format == "targa" && b.size() >= 16)
        size = {int64_t(le(12, 2)), int64_t(le(14, 2))};
    if (!size || size->first <= 0 || size->second <= 0)
        return {};
    return admitPicture(size->first, size->second, saturatingMul(size->first, size->second));
}

/// The first bytes of the file, enough for every signature above.
std::vector<uint8_t> readHead(const PictureFile& file) {
    std::vector<uint8_t> head(256);
    ssize_t n;
    while ((n = ::pread(file.descriptor(), head.data(), head.size(), 0)) < 0 && errno == EINTR) {
    }
    head.resize(size_t(std::max<ssize_t>(n, 0)));
    return head;
}

/// A reader of libjpeg or libpng for an ordinary JPEG or PNG file, else null.
std::unique_ptr<PictureInput> openDirect(const std::string& format, const PictureFile& file) {
    return format == "jpeg"  ? jpeg::openDescriptor(file.descriptor(), file.path())
           : format == "png" ? png::openDescriptor(file.descriptor())
                             : nullptr;
}
/// The same for data in memory.
std::unique_ptr<PictureInput> openDirect(const std::string& format, const std::vector<uint8_t>& bytes) {
    return format == "jpeg" ? jpeg::openMemory(bytes) : format == "png" ? png::openMemory(bytes) : nullptr;
}

/// Reads the file: an ordinary JPEG or PNG file with libjpeg or libpng (unless `direct` is false),
/// any other with the image library's reader of its format, or else with Qt's image plug-ins for
/// the formats that the image library does not read; hands the reader to `withInput`.
template <class T, class WithInput>
Result<T> withFileReader(const PictureFile& file, WithInput withInput, bool direct = true) {
    const std::string& path = file.path();
    try {
        const std::vector<uint8_t> head = readHead(file);
        const std::string format = readerFor(head, imagelib::extensionOf(path));
        if (direct)
            if (std::unique_ptr<PictureInput> in = openDirect(format, file))
                return withInput(*in);
        if (!format.empty())
            if (std::string refused = admitDeclared(format, head); !refused.empty())
                return Result<T>::failure(refused);
        imagelib::Opened opened = imagelib::openFile(file, format);
        if (opened.input)
            return withInput(*opened.input);
        if (opened.noReader) {
            // A name that promises a format the content does not show says so.
            if (const std::string named = formatNamed(imagelib::extensionOf(path)); !named.empty())
                return Result<T>::failure("Not a " + named + " file: " + path);
            return Result<T>::failure("Unsupported image format: " + path);
        }
        return Result<T>::failure(firstLine(opened.error));
    } catch (const std::bad_alloc&) {
        return Result<T>::failure("Not enough memory to decode " + path);
    } catch (const std::exception& e) {
        return Result<T>::failure(std::string("Cannot decode ") + path + ": " + describeFailure(e));
    }
}

/// `read` of the file at `path`, opened here, or why it cannot be opened; with a known `identity`,
/// only the file that it names.
template <class T, class Read>
Result<T> withOpenedFile(const std::string& path, Read read, const FileIdentity& identity = {}) {
    try {
        Result<PictureFile> file = PictureFile::openSame(path, identity);
        if (!file)
            return Result<T>::failure(file.error());
        return read(*file);
    } catch (const std::exception& e) {
        return Result<T>::failure(std::string("Cannot decode ") + path + ": " + describeFailure(e));
    }
}

/// Reads all of the picture data of an opened file without keeping it; why it is damaged, or "".
std::string scanData(PictureInput& in, const PictureFile& file) {
    if (in.formatName() == "jpeg") {
        // What the reader found in the header fails the decode, so it fails the probe too. Then
        // libjpeg sees every warning of the data at an eighth of the size, at a fraction of the
        // cost of a decode.
        if (std::string msg = damage(in); !msg.empty())
            return msg;
        in.close();
        return jpegDamage(Source{file.descriptor(), nullptr, &file.path()});
    }
    const PictureSpec& spec = in.spec();
    const size_t rowBytes = std::max<size_t>(size_t(spec.scanlineBytes), 1);
    std::vector<uint8_t> buffer;
    bool ok = true;
    if (spec.tileWidth > 0) {
        // Sized by what the read writes: all rows of all the samples, as stored.
        buffer.resize(rowBytes * size_t(spec.height));
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

Result<Probe> probeWith(PictureInput& in, const PictureFile& file, ProbeDepth depth,
                        const std::function<void()>& headerAccepted) {
    const PictureSpec& spec = in.spec();
    Probe probe;
    probe.format = in.formatName();
    if (const Result<Plan> plan = planDecoding(spec, probe.format); !plan)
        return Result<Probe>::failure(plan.error());
    // Orientations 5 to 8 turn the picture a quarter, as the decoder does.
    const int orientation = spec.orientation;
    const bool turned = orientation >= 5 && orientation <= 8;
    probe.width = turned ? spec.height : spec.width;
    probe.height = turned ? spec.width : spec.height;
    if (depth == ProbeDepth::Data) {
        if (headerAccepted)
            headerAccepted();
        if (std::string msg = scanData(in, file); !msg.empty())
            return Result<Probe>::failure(msg);
    }
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

Result<ReadPicture> readWith(PictureInput& in, const std::shared_ptr<const PictureFile>& file) {
    const PictureSpec& spec = in.spec();
    const std::string& path = file->path();
    // Tiled files are read whole at conversion, from the file opened now.
    if (spec.tileWidth > 0)
        return ReadPicture{path, nullptr, file};
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
    if (std::string msg = scanlineDamage(in, Source{file->descriptor(), nullptr, &file->path()});
        !msg.empty())
        return Result<ReadPicture>::failure(msg);
    return ReadPicture{path, std::move(samples), nullptr};
}

} // namespace

Result<ReadPicture> readPicture(const std::string& path, const FileIdentity& identity) {
    return withOpenedFile<ReadPicture>(
        path,
        [](PictureFile& opened) {
            // Kept open with the picture when it is read again to be converted.
            auto file = std::make_shared<const PictureFile>(std::move(opened));
            return withFileReader<ReadPicture>(*file, [&](PictureInput& in) { return readWith(in, file); });
        },
        identity);
}

Result<Decoded> decodePicture(ReadPicture picture) {
    if (!picture.samples)
        return picture.file ? decodeFile(*picture.file) : decodeFile(picture.path);
    try {
        const StoredSamples& s = *picture.samples;
        // The samples stay as they were read, shared with the picture, when they need no
        // conversion now.
        const std::shared_ptr<const std::vector<uint8_t>> rows(picture.samples, &s.rows);
        Decoded d;
        d.image = importPicture(s.layout, profileFor(s.iccProfile, s.layout, picture.path), s.width, s.height,
                                s.orientation, rows);
        d.width = int(d.image.extent().width());
        d.height = int(d.image.extent().height());
        d.format = s.format;
        picture.samples.reset(); // the image alone holds the samples now, if it needs them
        return d;
    } catch (const std::bad_alloc&) {
        return Result<Decoded>::failure("Not enough memory to decode " + picture.path);
    } catch (const std::exception& e) {
        return Result<Decoded>::failure(std::string("Cannot decode ") + picture.path + ": " +
                                        describeFailure(e));
    }
}

Result<Decoded> decodeFile(const std::string& path, const FileIdentity& identity) {
    return withOpenedFile<Decoded>(
        path, [](const PictureFile& file) { return decodeFile(file); }, identity);
}

Result<Decoded> decodeFile(const PictureFile& file) {
    return withFileReader<Decoded>(file, [&](PictureInput& in) {
        return decodeWith(in, Source{file.descriptor(), nullptr, &file.path()});
    });
}

bool startsAsPicture(const uint8_t* head, size_t size) {
    // Signatures of several bytes that no text starts with; a format known by two letters (BMP)
    // or by none is not told from its first bytes alone.
    static const std::set<std::string> distinct = {"jpeg", "png", "gif",      "tiff",   "webp",
                                                   "heif", "psd", "jpeg2000", "openexr"};
    return distinct.count(sniffFormat(std::vector<uint8_t>(head, head + size))) > 0;
}

Result<Probe> probeFile(const std::string& path, ProbeDepth depth,
                        const std::function<void()>& headerAccepted) {
    return withOpenedFile<Probe>(
        path, [&](const PictureFile& file) { return probeFile(file, depth, headerAccepted); });
}

Result<Probe> probeFile(const PictureFile& file, ProbeDepth depth,
                        const std::function<void()>& headerAccepted) {
    return withFileReader<Probe>(
        file, [&](PictureInput& in) { return probeWith(in, file, depth, headerAccepted); });
}

Result<Decoded> decodeData(const std::vector<uint8_t>& bytes) {
    if (bytes.empty())
        return Result<Decoded>::failure("No image data");
    try {
        // Data has no name: only its content can tell the reader.
        std::string format = sniffFormat(bytes);
        if (format.empty() && looksLikeTarga(bytes))
            format = "targa";
        if (std::unique_ptr<PictureInput> in = openDirect(format, bytes))
            return decodeWith(*in, Source{-1, &bytes});
        if (!format.empty())
            if (std::string refused = admitDeclared(format, bytes); !refused.empty())
                return Result<Decoded>::failure(refused);
        imagelib::Opened opened = imagelib::openData(bytes, format);
        if (opened.input)
            return decodeWith(*opened.input, Source{-1, &bytes});
        if (opened.noReader)
            return Result<Decoded>::failure("Unsupported image format");
        return Result<Decoded>::failure(firstLine(opened.error));
    } catch (const std::bad_alloc&) {
        return Result<Decoded>::failure("Not enough memory to decode the image");
    } catch (const std::exception& e) {
        return Result<Decoded>::failure(std::string("Cannot decode the image: ") + describeFailure(e));
    }
}

namespace imagelib {

Result<Decoded> decodeFile(const std::string& path) {
    return withOpenedFile<Decoded>(path, [](const PictureFile& file) {
        return withFileReader<Decoded>(
            file,
            [&](PictureInput& in) {
                return decodeWith(in, Source{file.descriptor(), nullptr, &file.path()});
            },
            false);
    });
}

} // namespace imagelib

} // namespace ci::io
