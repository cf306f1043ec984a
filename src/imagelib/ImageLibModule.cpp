// The module that holds OpenImageIO, opened by the engine on first need (see ImageLibraryAbi.h).
// Nothing may throw out of these functions: each catches what the library throws.

#include "ci/io/ImageLibraryAbi.h"
#include "imagelib/TiffStrips.h"

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>
#include <OpenImageIO/thread.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <typeinfo>
#include <vector>

namespace {

/// OpenImageIO 2.4's readers look the tags of an embedded ICC profile up in tables shared by the
/// whole process, and a lookup of a tag they do not know adds it: two files opened at the same
/// time can corrupt those tables (and the heap). Opening a file (its header and profile) is
/// therefore done one file at a time; reading its pixels is not.
std::mutex& openingMutex() {
    static std::mutex mutex;
    return mutex;
}

} // namespace

/// Rows of one row of strips that a read took only in part, kept for the next read.
struct KeptRows {
    int first = -1; ///< the strips' first row, -1 when none are kept
    int channels = 0;
    OIIO::TypeDesc type;
    std::vector<uint8_t> bytes;
};

struct GwImgInput {
    ~GwImgInput() {
        jpegStrips.reset();
        in.reset();
        proxy.reset();
        if (file)
            std::fclose(file);
    }
    int fd = -1;          ///< the caller's, open until the input is destroyed
    FILE* file = nullptr; ///< of a copy of the caller's descriptor
    std::unique_ptr<OIIO::Filesystem::IOProxy> proxy;
    std::unique_ptr<OIIO::ImageInput> in;
    OIIO::ImageSpec spec;
    std::vector<uint8_t> icc;
    KeptRows kept;
    std::unique_ptr<imagelib::tiff::JpegStrips> jpegStrips; ///< once the strips are looked at
    bool jpegStripsOpened = false;
};

namespace {

void describe(GwImgInput& input, GwImgSpec* out) {
    const OIIO::ImageSpec& spec = input.spec;
    *out = GwImgSpec{};
    out->width = spec.width;
    out->height = spec.height;
    out->nchannels = spec.nchannels;
    out->depth = spec.depth;
    out->deep = spec.deep ? 1 : 0;
    out->tile_width = spec.tile_width;
    out->y = spec.y;
    out->z = spec.z;
    switch (spec.format.basetype) {
    case OIIO::TypeDesc::UINT8:
    case OIIO::TypeDesc::INT8:
        out->base = GW_IMG_8BIT;
        break;
    case OIIO::TypeDesc::UINT16:
    case OIIO::TypeDesc::INT16:
        out->base = GW_IMG_16BIT;
        break;
    case OIIO::TypeDesc::HALF:
    case OIIO::TypeDesc::FLOAT:
    case OIIO::TypeDesc::DOUBLE:
        out->base = GW_IMG_FLOAT;
        break;
    default:
        out->base = GW_IMG_OTHER;
        break;
    }
    out->alpha_channel = spec.alpha_channel;
    out->named_alpha = -1;
    for (int c = 0; c < spec.nchannels && c < int(spec.channelnames.size()); ++c)
        if (spec.channelnames[size_t(c)] == "A" || spec.channelnames[size_t(c)] == "Alpha")
            out->named_alpha = c;
    out->unassociated_alpha = spec.get_int_attribute("oiio:UnassociatedAlpha", 0);
    out->orientation = spec.get_int_attribute("Orientation", 1);
    out->scanline_bytes = int64_t(spec.scanline_bytes(true));
    out->image_bytes = int64_t(spec.image_bytes(true));
    if (const OIIO::ParamValue* icc = spec.find_attribute("ICCProfile");
        icc && icc->type().basetype == OIIO::TypeDesc::UINT8) {
        const auto* bytes = static_cast<const uint8_t*>(icc->data());
        input.icc.assign(bytes, bytes + icc->type().size());
    }
    out->icc = input.icc.empty() ? nullptr : input.icc.data();
    out->icc_size = input.icc.size();
    std::strncpy(out->format, input.in->format_name(), sizeof(out->format) - 1);
}

OIIO::TypeDesc typeOf(int type) {
    switch (type) {
    case GW_READ_U8:
        return OIIO::TypeDesc::UINT8;
    case GW_READ_U16:
        return OIIO::TypeDesc::UINT16;
    case GW_READ_F32:
        return OIIO::TypeDesc::FLOAT;
    default:
        return OIIO::TypeUnknown;
    }
}

/// Whether an exception comes from the C++ library itself: its text ("vector::_M_default_append",
/// "stoi") names a function, not what is wrong with the file.
bool fromStandardLibrary(const std::exception& e) {
    const char* name = typeid(e).name();
    return std::strncmp(name, "St", 2) == 0 || std::strncmp(name, "NSt", 3) == 0;
}

template <class F> int guarded(GwImgText error, void* context, F f) {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return GW_IMG_NO_MEMORY;
    } catch (const std::length_error&) {
        // A size computed from the header that no allocation can hold.
        return GW_IMG_NO_MEMORY;
    } catch (const std::exception& e) {
        if (error)
            error(context,
                  fromStandardLibrary(e) ? "The file is damaged (its reader gave up on it)" : e.what());
        return GW_IMG_FAILED;
    }
}

/// Why the library cannot read the file's pictures as they are stored, "" when it can: the
/// library reads a TIFF file's YCbCr in JPEG only with its planes together (libtiff converts
/// those), and takes a file whose planes are stored apart for one it cannot handle.
std::string unsupportedLayout(const GwImgInput& in) {
    constexpr int jpeg = 7, ycbcr = 6, apart = 2;
    const OIIO::ImageSpec& spec = in.spec;
    if (std::strcmp(in.in->format_name(), "tiff") == 0 &&
        spec.get_int_attribute("tiff:Compression") == jpeg &&
        spec.get_int_attribute("tiff:PhotometricInterpretation") == ycbcr &&
        spec.get_int_attribute("tiff:PlanarConfiguration") == apart)
        return "The TIFF file's layout is not supported: YCbCr in JPEG, its planes stored apart";
    return {};
}

int openFd(int fd, const char* format, GwImgInput** result, GwImgSpec* spec, GwImgText error, void* context) {
    *result = nullptr;
    const int status = guarded(error, context, [&] {
        auto input = std::make_unique<GwImgInput>();
        input->fd = fd;
        // By the format's name: the reader of that format alone, never each of the others in turn.
        input->in = OIIO::ImageInput::create(format);
        if (!input->in) {
            error(context, (std::string("No reader for the format ") + format).c_str());
            return GW_IMG_FAILED;
        }
        // A reader process reads on its one thread and starts no other (see prepareReaders).
        input->in->threads(1);
        // The file as the library would open it by name (the kind of proxy its readers take), but
        // from the descriptor; the few readers that cannot take a proxy open the descriptor's own
        // name, which holds nothing that a name's parsing could take for a pattern.
        const std::string name = "/proc/self/fd/" + std::to_string(fd);
        if (input->in->supports("ioproxy")) {
            const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
            if (copy < 0 || !(input->file = ::fdopen(copy, "rb"))) {
                if (copy >= 0)
                    ::close(copy);
                error(context, "The file could not be read");
                return GW_IMG_FAILED;
            }
            input->proxy =
                std::make_unique<OIIO::Filesystem::IOFile>(input->file, OIIO::Filesystem::IOProxy::Read);
            input->in->set_ioproxy(input->proxy.get());
        }
        OIIO::ImageSpec config;
        config.attribute("oiio:UnassociatedAlpha", 1);
        std::unique_lock opening(openingMutex());
        if (!input->in->open(name, input->spec, config)) {
            opening.unlock();
            std::string message = input->in->geterror();
            if (message.empty())
                message = std::string("The file is not a valid ") + format + " file";
            error(context, message.c_str());
            return GW_IMG_FAILED;
        }
        opening.unlock();
        input->spec = input->in->spec();
        if (std::string unsupported = unsupportedLayout(*input); !unsupported.empty()) {
            error(context, unsupported.c_str());
            return GW_IMG_FAILED;
        }
        describe(*input, spec);
        *result = input.release();
        return GW_IMG_OK;
    });
    if (status == GW_IMG_NO_MEMORY)
        error(context, "Not enough memory to open the image");
    return status;
}

bool inTiff(const GwImgInput& in) {
    return std::strcmp(in.in->format_name(), "tiff") == 0;
}

bool inTiffStrips(const GwImgInput& in) {
    return in.spec.tile_width == 0 && inTiff(in);
}

int rowsPerStrip(const GwImgInput& in) {
    return in.spec.get_int_attribute("tiff:RowsPerStrip", 0);
}

/// Whether the planes of a TIFF file are stored apart, each in its own strips.
bool planesApart(const GwImgInput& in) {
    return inTiffStrips(in) && in.spec.nchannels > 1 && rowsPerStrip(in) > 0 &&
           in.spec.get_int_attribute("tiff:PlanarConfiguration") == 2;
}

/// Whether the file is a TIFF file in JPEG, of strips or tiles.
bool inJpegStrips(const GwImgInput& in) {
    constexpr int jpeg = 7;
    return inTiff(in) && in.spec.get_int_attribute("tiff:Compression") == jpeg;
}

/// Whether the library inflates the file's strips itself and drops the error of one that does not
/// inflate (cut short or corrupt), whose rows it leaves as they were: OpenImageIO 2.4 does so for
/// the 8- and 16-bit strips of a deflated TIFF file whenever it reads more than one row at a time
/// (files whose planes are stored apart excepted: it has libtiff inflate those).
bool inflatesStripsUnchecked(const GwImgInput& in) {
    const OIIO::ImageSpec& spec = in.spec;
    constexpr int adobeDeflate = 8;
    return inTiffStrips(in) && !planesApart(in) &&
           spec.get_int_attribute("tiff:Compression") == adobeDeflate &&
           (spec.format == OIIO::TypeUInt8 || spec.format == OIIO::TypeUInt16);
}

size_t rowBytes(const OIIO::ImageSpec& spec, int channels, OIIO::TypeDesc type) {
    return type == OIIO::TypeUnknown ? spec.scanline_bytes(true)
                                     : size_t(spec.width) * size_t(channels) * type.size();
}

/// Fails the read at `row` of the picture, saying why.
bool damagedAt(GwImgInput& in, int row, std::string why) {
    in.in->geterror(); // what the library said is in `why`, or says less
    while (!why.empty() &&
           (why.back() == ' ' || why.back() == ':' || why.back() == ',' || why.back() == '\n'))
        why.pop_back();
    in.in->errorfmt("The image data is damaged at row {}{}{}", row, why.empty() ? "" : ": ", why);
    return false;
}

/// The first strip of a TIFF file in JPEG from `row` on whose stream is damaged, looked at as
/// stored: libtiff makes its reader go on past a stream cut short or corrupt, with a warning that
/// may also mean no more than a lacking end marker, and the library reads some files (YCbCr) whole
/// on the first read, ignoring libtiff's errors.
std::optional<imagelib::tiff::StripDamage> jpegDamage(GwImgInput& in, int row) {
    if (!in.jpegStripsOpened) {
        in.jpegStripsOpened = true;
        in.jpegStrips = imagelib::tiff::JpegStrips::open(in.fd);
    }
    if (!in.jpegStrips)
        return std::nullopt;
    return in.jpegStrips->firstDamage(row);
}

/// After rows from `y0` were read (`ok` as the library said, `messages` what libtiff said
/// meanwhile): false when their data proves damaged, the error then saying from which row. A
/// failure of a read of whole strips is damage at their first row.
bool checked(GwImgInput& in, int y0, bool ok, const imagelib::tiff::TiffMessages& messages,
             bool wholeStrips) {
    const bool failed = !ok || in.in->has_error();
    if (inJpegStrips(in) && (failed || messages.any()))
        if (const auto damage = jpegDamage(in, y0 - in.spec.y))
            return damagedAt(in, damage->row, damage->why);
    if (failed && wholeStrips)
        return damagedAt(in, y0 - in.spec.y,
                         messages.firstError().empty() ? in.in->geterror() : messages.firstError());
    return ok;
}

/// Rows y0 to y1 read one at a time, which libtiff decodes and checks (see inflatesStripsUnchecked);
/// the first row that fails ends the read, its message saying which.
bool readRowByRow(GwImgInput& in, int y0, int y1, int channels, OIIO::TypeDesc type, void* data) {
    const OIIO::ImageSpec& spec = in.spec;
    const size_t row = rowBytes(spec, channels, type);
    auto* out = static_cast<uint8_t*>(data);
    for (int y = y0; y < y1; ++y, out += row)
        if (!in.in->read_scanlines(0, 0, y, y + 1, spec.z, 0, channels, type, out))
            return damagedAt(in, y - spec.y, in.in->geterror());
    return true;
}

/// One row of strips, from its first row `y0` to `y1`, of every plane.
bool readStripRow(GwImgInput& in, int y0, int y1, int channels, OIIO::TypeDesc type, void* data,
                  imagelib::tiff::TiffMessages& messages) {
    messages.clear();
    const bool ok = in.in->read_scanlines(0, 0, y0, y1, in.spec.z, 0, channels, type, data);
    return checked(in, y0, ok, messages, true);
}

/// Rows y0 to y1 of a file whose planes are stored apart in strips of several rows: libtiff decodes
/// such a strip only from its start, and the library reads the rows of each plane in turn, so it
/// fails a read that starts or ends inside a strip. Rows are read by whole rows of strips; those of
/// one that a read takes only in part are kept for the next read, which starts there.
bool readByStripRows(GwImgInput& in, int y0, int y1, int channels, OIIO::TypeDesc type, void* data,
                     imagelib::tiff::TiffMessages& messages) {
    const OIIO::ImageSpec& spec = in.spec;
    const int rows = rowsPerStrip(in);
    const int end = spec.y + spec.height;
    const size_t row = rowBytes(spec, channels, type);
    KeptRows& kept = in.kept;
    auto* out = static_cast<uint8_t*>(data);
    for (int y = y0; y < y1;) {
        const int first = spec.y + (y - spec.y) / rows * rows;
        const int last = std::min(first + rows, end);
        uint8_t* target = out + size_t(y - y0) * row;
        if (y == first && last <= y1) {
            if (!readStripRow(in, first, last, channels, type, target, messages))
                return false;
            y = last;
            continue;
        }
        if (kept.first != first || kept.channels != channels || kept.type != type) {
            kept.first = -1;
            kept.bytes.resize(size_t(last - first) * row);
            if (!readStripRow(in, first, last, channels, type, kept.bytes.data(), messages))
                return false;
            kept.first = first;
            kept.channels = channels;
            kept.type = type;
        }
        const int taken = std::min(y1, last) - y;
        std::memcpy(target, kept.bytes.data() + size_t(y - first) * row, size_t(taken) * row);
        y += taken;
    }
    if (y1 >= end)
        kept = KeptRows{};
    return true;
}

bool readRows(GwImgInput& in, int y0, int y1, int channels, OIIO::TypeDesc type, void* data) {
    if (!inTiffStrips(in) && !inJpegStrips(in))
        return in.in->read_scanlines(0, 0, y0, y1, in.spec.z, 0, channels, type, data);
    imagelib::tiff::TiffMessages messages;
    if (!inTiffStrips(in)) {
        const bool ok = in.in->read_scanlines(0, 0, y0, y1, in.spec.z, 0, channels, type, data);
        return checked(in, y0, ok, messages, false);
    }
    if (planesApart(in))
        return readByStripRows(in, y0, y1, channels, type, data, messages);
    if (inflatesStripsUnchecked(in))
        return readRowByRow(in, y0, y1, channels, type, data);
    const bool ok = in.in->read_scanlines(0, 0, y0, y1, in.spec.z, 0, channels, type, data);
    return checked(in, y0, ok, messages, false);
}

int readScanlines(GwImgInput* in, int y0, int y1, int channels, int type, void* data) {
    return guarded(nullptr, nullptr, [&] {
        return readRows(*in, y0, y1, channels, typeOf(type), data) ? GW_IMG_OK : GW_IMG_FAILED;
    });
}

int readImage(GwImgInput* in, int channels, int type, void* data) {
    return guarded(nullptr, nullptr, [&] {
        const OIIO::ImageSpec& spec = in->spec;
        if (inTiffStrips(*in))
            return readRows(*in, spec.y, spec.y + spec.height, channels, typeOf(type), data) ? GW_IMG_OK
                                                                                             : GW_IMG_FAILED;
        if (!inJpegStrips(*in))
            return in->in->read_image(0, 0, 0, channels, typeOf(type), data) ? GW_IMG_OK : GW_IMG_FAILED;
        imagelib::tiff::TiffMessages messages;
        const bool ok = in->in->read_image(0, 0, 0, channels, typeOf(type), data);
        return checked(*in, spec.y, ok, messages, false) ? GW_IMG_OK : GW_IMG_FAILED;
    });
}

int takeErrors(GwImgInput* in, GwImgText error, void* context) {
    return guarded(nullptr, nullptr, [&] {
        if (!in->in || !in->in->has_error())
            return 0;
        const std::string all = in->in->geterror();
        error(context, all.c_str());
        return 1;
    });
}

void closeInput(GwImgInput* in) {
    guarded(nullptr, nullptr, [&] { return in->in->close() ? 1 : 0; });
}

void destroyInput(GwImgInput* in) {
    guarded(nullptr, nullptr, [&] {
        delete in;
        return 1;
    });
}

int writeImage(const GwImgWrite* request, GwImgText error, void* context) {
    const int status = guarded(error, context, [&] {
        const GwImgWrite& r = *request;
        std::vector<unsigned char> bytes;
        OIIO::Filesystem::IOVecOutput proxy(bytes);
        auto out = OIIO::ImageOutput::create(r.format);
        if (!out) {
            error(context, (std::string("No encoder for ") + r.format).c_str());
            return GW_IMG_FAILED;
        }
        if (!out->set_ioproxy(&proxy)) {
            error(context, (std::string("The ") + r.format + " encoder cannot write to memory").c_str());
            return GW_IMG_FAILED;
        }
        const OIIO::TypeDesc type = r.bits == 16 ? OIIO::TypeDesc::UINT16 : OIIO::TypeDesc::UINT8;
        OIIO::ImageSpec spec(r.width, r.height, r.channels, type);
        spec.alpha_channel = r.channels == 4 ? 3 : -1;
        spec.attribute("oiio:UnassociatedAlpha", 1);
        spec.attribute("oiio:ColorSpace", "sRGB");
        for (const char* const* a = r.attributes; a && a[0] && a[1]; a += 2)
            spec.attribute(a[0], a[1]);
        auto fail = [&](std::string message, const char* fallback) {
            if (message.empty())
                message = fallback;
            error(context, message.c_str());
            return GW_IMG_FAILED;
        };
        if (!out->open(std::string("image.") + r.format, spec))
            return fail(out->geterror(), "Cannot start the encoder");
        for (int y0 = 0; y0 < r.height; y0 += r.band) {
            const int y1 = std::min(r.height, y0 + r.band);
            const void* rows = r.rows(r.context, y0, y1);
            if (!rows)
                return fail("", "The pixels could not be prepared");
            if (!out->write_scanlines(y0, y1, 0, type, rows))
                return fail(out->geterror(), "Cannot encode the image");
        }
        if (!out->close() || out->has_error())
            return fail(out->geterror(), (std::string("Cannot encode ") + r.format).c_str());
        if (!r.append(r.context, bytes.data(), bytes.size()))
            return GW_IMG_NO_MEMORY;
        return GW_IMG_OK;
    });
    return status;
}

int threadCount() {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (!status)
        return -1;
    char line[256];
    int threads = -1;
    while (std::fgets(line, sizeof line, status) && std::sscanf(line, "Threads: %d", &threads) != 1) {
    }
    std::fclose(status);
    return threads;
}

void prepareReaders() {
    guarded(nullptr, nullptr, [] {
        // One thread in all: the library reads on the caller's thread, and its pool, made here
        // without threads, runs what it is given at once: a copy of this process, which has no
        // thread but its own, would otherwise wait for the pool's threads without end. The pool
        // is made with threads, which it lets go: they must be gone, and their locks with them,
        // before this process is copied.
        const int before = threadCount();
        OIIO::attribute("threads", 1);
        OIIO::attribute("exr_threads", -1); // OpenEXR's own pool too
        OIIO::default_thread_pool()->resize(0);
        for (int i = 0; i < 1000 && threadCount() > before; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return 1;
    });
}

const GwImageLib table = {GW_IMAGELIB_VERSION, openFd,       readScanlines, readImage,     takeErrors,
                          closeInput,          destroyInput, writeImage,    prepareReaders};

} // namespace

extern "C" __attribute__((visibility("default"))) const GwImageLib* gw_imagelib_table(void) {
    return &table;
}
