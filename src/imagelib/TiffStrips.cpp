#include "imagelib/TiffStrips.h"

#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "ci/io/JpegCheck.h"

namespace imagelib::tiff {

namespace {

// ---- libtiff's messages ----

thread_local TiffMessages* watching = nullptr;
TIFFErrorHandler libraryError = nullptr;
TIFFErrorHandler libraryWarning = nullptr;
std::once_flag installed;

void pass(bool error, const char* module, const char* format, va_list args) {
    if (watching) {
        char text[1024];
        va_list copy;
        va_copy(copy, args);
        std::vsnprintf(text, sizeof text, format, copy);
        va_end(copy);
        watching->note(error, text);
    }
    if (const TIFFErrorHandler next = error ? libraryError : libraryWarning)
        next(module, format, args);
}

void onError(const char* module, const char* format, va_list args) {
    pass(true, module, format, args);
}

void onWarning(const char* module, const char* format, va_list args) {
    pass(false, module, format, args);
}

// ---- A strip's JPEG stream ----
// Judged as a JPEG file is (ci/io/JpegCheck.h).

namespace jpegcheck = ci::io::jpegcheck;

struct StripWatch {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    bool inData = false; ///< past the header: what libjpeg says now is about the picture's data
    bool endMissing = false;
    char end[JMSG_LENGTH_MAX] = "";
    char damage[JMSG_LENGTH_MAX] = "";
    jpegcheck::ScanWatch scans;
};

[[noreturn]] void stop(j_common_ptr cinfo, const char* why) {
    auto* watch = reinterpret_cast<StripWatch*>(cinfo->err);
    // After the stream's end, what went wrong is that it ended.
    std::snprintf(watch->damage, sizeof watch->damage, "%s", watch->endMissing ? watch->end : why);
    std::longjmp(watch->jump, 1);
}

void onJpegMessage(j_common_ptr cinfo, int level) {
    if (level >= 0)
        return;
    auto* watch = reinterpret_cast<StripWatch*>(cinfo->err);
    const jpegcheck::Meaning meaning = jpegcheck::meaning(cinfo, watch->inData);
    if (meaning == jpegcheck::Meaning::Harmless &&
        !(watch->endMissing && cinfo->err->msg_code == JWRN_EXTRANEOUS_DATA))
        return;
    char text[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, text);
    // A stream may lack no more than its end marker: libjpeg makes one up and goes on, and warns
    // again if the data of the picture then runs short.
    if (meaning == jpegcheck::Meaning::EndMissing && !watch->endMissing) {
        watch->endMissing = true;
        std::snprintf(watch->end, sizeof watch->end, "%s", text);
        return;
    }
    stop(cinfo, text);
}

[[noreturn]] void onJpegError(j_common_ptr cinfo) {
    char text[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, text);
    stop(cinfo, text);
}

void onJpegProgress(j_common_ptr cinfo) {
    jpegcheck::onScan(reinterpret_cast<j_decompress_ptr>(cinfo));
}

/// The picture that a strip's or a tile's stream must hold.
struct Frame {
    uint32_t width = 0;
    uint32_t rows = 0;
    /// The last strip of a plane: some writers give its stream the rows of a whole strip, which
    /// libtiff takes.
    bool last = false;
};

/// Why one strip's stream (after the file's shared tables, if any) is damaged, "" when its picture
/// is whole: decoded at an eighth of its size to its end, every warning looked at. No object with a
/// destructor lives between the setjmp and a longjmp.
std::string streamDamage(const std::vector<uint8_t>& tables, const std::vector<uint8_t>& stream,
                         const Frame& frame) {
    jpeg_decompress_struct cinfo{};
    StripWatch watch{};
    jpeg_progress_mgr progress{};
    progress.progress_monitor = onJpegProgress;
    jpeg_std_error(&watch.pub);
    watch.pub.emit_message = onJpegMessage;
    watch.pub.error_exit = onJpegError;
    cinfo.err = &watch.pub;
    volatile bool created = false;
    if (setjmp(watch.jump) == 0) {
        jpeg_create_decompress(&cinfo);
        created = true;
        if (!tables.empty()) {
            jpeg_mem_src(&cinfo, tables.data(), static_cast<unsigned long>(tables.size()));
            jpeg_read_header(&cinfo, FALSE);
            watch.endMissing = false; // the tables' end, not the strip's
        }
        jpeg_mem_src(&cinfo, stream.data(), static_cast<unsigned long>(stream.size()));
        jpeg_read_header(&cinfo, TRUE);
        watch.inData = true;
        jpegcheck::watch(&cinfo, watch.scans);
        cinfo.progress = &progress;
        if (cinfo.image_width != frame.width || cinfo.image_height < frame.rows ||
            (cinfo.image_height > frame.rows && !frame.last)) {
            char why[JMSG_LENGTH_MAX];
            std::snprintf(why, sizeof why, "A strip holds a JPEG picture of %u x %u pixels, not %u x %u",
                          unsigned(cinfo.image_width), unsigned(cinfo.image_height), unsigned(frame.width),
                          unsigned(frame.rows));
            stop(reinterpret_cast<j_common_ptr>(&cinfo), why);
        }
        cinfo.scale_num = 1;
        cinfo.scale_denom = 8;
        cinfo.dct_method = JDCT_IFAST;
        cinfo.do_fancy_upsampling = FALSE;
        cinfo.out_color_space = cinfo.jpeg_color_space;
        jpeg_start_decompress(&cinfo);
        JSAMPARRAY row =
            (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE,
                                       cinfo.output_width * JDIMENSION(cinfo.output_components), 1);
        while (cinfo.output_scanline < cinfo.output_height)
            jpeg_read_scanlines(&cinfo, row, 1);
        // A stream in several scans may have ended before some of them without the decoder
        // running short.
        if (!jpegcheck::holdsScans(&cinfo, watch.scans, watch.endMissing)) {
            char why[JMSG_LENGTH_MAX];
            cinfo.err->msg_code = JWRN_HIT_MARKER;
            (*cinfo.err->format_message)(reinterpret_cast<j_common_ptr>(&cinfo), why);
            stop(reinterpret_cast<j_common_ptr>(&cinfo), why);
        }
        jpeg_finish_decompress(&cinfo);
    }
    if (created)
        jpeg_destroy_decompress(&cinfo);
    return watch.damage;
}

// ---- The file, read with pread ----

/// Up to `n` bytes at `at`; how many there were.
size_t readAt(int fd, void* data, size_t n, uint64_t at) {
    size_t done = 0;
    while (done < n) {
        const ssize_t got = ::pread(fd, static_cast<char*>(data) + done, n - done, off_t(at + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += size_t(got);
    }
    return done;
}

tmsize_t readProc(thandle_t handle, void* data, tmsize_t n) {
    auto* source = static_cast<FileAt*>(handle);
    if (n <= 0)
        return 0;
    const size_t got = readAt(source->fd, data, size_t(n), source->at);
    source->at += got;
    return tmsize_t(got);
}

tmsize_t writeProc(thandle_t, void*, tmsize_t) {
    return 0;
}

toff_t seekProc(thandle_t handle, toff_t offset, int whence) {
    auto* source = static_cast<FileAt*>(handle);
    if (whence == SEEK_CUR)
        offset += source->at;
    else if (whence == SEEK_END)
        offset += source->size;
    source->at = offset;
    return offset;
}

int closeProc(thandle_t) {
    return 0;
}

toff_t sizeProc(thandle_t handle) {
    return static_cast<FileAt*>(handle)->size;
}

int mapProc(thandle_t, void**, toff_t*) {
    return 0;
}

void unmapProc(thandle_t, void*, toff_t) {}

} // namespace

TiffMessages::TiffMessages() : outer_(watching) {
    std::call_once(installed, [] {
        libraryError = TIFFSetErrorHandler(onError);
        libraryWarning = TIFFSetWarningHandler(onWarning);
    });
    watching = this;
}

TiffMessages::~TiffMessages() {
    watching = outer_;
}

void TiffMessages::clear() {
    any_ = false;
    firstError_.clear();
}

void TiffMessages::note(bool error, const char* text) {
    any_ = true;
    if (error && firstError_.empty())
        firstError_ = text;
}

std::unique_ptr<JpegStrips> JpegStrips::open(int fd) {
    std::unique_ptr<JpegStrips> strips(new JpegStrips);
    FileAt& file = strips->file_;
    file.fd = fd;
    if (struct stat st{}; ::fstat(fd, &st) == 0 && st.st_size > 0)
        file.size = uint64_t(st.st_size);
    // No memory mapping, and the offsets of strips only as they are asked for.
    TIFF* tiff = TIFFClientOpen("strips", "rmO", &file, readProc, writeProc, seekProc, closeProc, sizeProc,
                                mapProc, unmapProc);
    if (!tiff)
        return nullptr;
    strips->tiff_ = tiff;
    uint32_t rows = 0;
    uint16_t planar = PLANARCONFIG_CONTIG, samples = 1, photometric = 0, bits = 8;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &strips->width_);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &strips->height_);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &rows);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric);
    if (strips->width_ == 0 || strips->height_ == 0)
        return nullptr;
    // Tiles are read as strips are, by rows of them; each holds a picture of the whole tile.
    if (TIFFIsTiled(tiff)) {
        uint32_t across = 0, down = 0;
        TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &across);
        TIFFGetField(tiff, TIFFTAG_TILELENGTH, &down);
        if (across == 0 || down == 0)
            return nullptr;
        strips->tileWidth_ = across;
        rows = down;
    }
    strips->rowsPerStrip_ = int(std::clamp<uint32_t>(
        rows, 1, strips->tileWidth_ ? std::max<uint32_t>(rows, 1u << 30) : strips->height_));
    strips->planes_ = planar == PLANARCONFIG_SEPARATE ? std::max<int>(samples, 1) : 1;
    if (photometric == PHOTOMETRIC_YCBCR && strips->planes_ > 1) {
        uint16_t across = 1, down = 1;
        TIFFGetFieldDefaulted(tiff, TIFFTAG_YCBCRSUBSAMPLING, &across, &down);
        strips->subsampling_[0] = std::max<uint16_t>(across, 1);
        strips->subsampling_[1] = std::max<uint16_t>(down, 1);
    }
    // As libtiff bounds what it reads of a strip: ten times its samples, and a little.
    const unsigned __int128 samplesPerStrip =
        (unsigned __int128)(strips->tileWidth_ ? strips->tileWidth_ : strips->width_) *
        uint32_t(strips->rowsPerStrip_) * (strips->planes_ > 1 ? 1u : std::max<uint16_t>(samples, 1));
    strips->stripLimit_ = uint64_t(
        std::min<unsigned __int128>(samplesPerStrip * std::max(bits / 8, 1) * 10 + 4096, UINT64_MAX));
    uint32_t count = 0;
    const void* tables = nullptr;
    if (TIFFGetField(tiff, TIFFTAG_JPEGTABLES, &count, &tables) && tables && count > 0)
        strips->tables_.assign(static_cast<const uint8_t*>(tables),
                               static_cast<const uint8_t*>(tables) + count);
    strips->whole_.assign(size_t((uint64_t(strips->height_) + uint32_t(strips->rowsPerStrip_) - 1) /
                                 uint32_t(strips->rowsPerStrip_)),
                          false);
    return strips;
}

JpegStrips::~JpegStrips() {
    if (tiff_)
        TIFFClose(static_cast<TIFF*>(tiff_));
}

std::optional<std::string> JpegStrips::damage(uint32_t strip, int plane, uint32_t first, uint32_t rows) {
    auto* tiff = static_cast<TIFF*>(tiff_);
    int error = 0;
    const uint64_t offset = TIFFGetStrileOffsetWithErr(tiff, strip, &error);
    const uint64_t stored = TIFFGetStrileByteCountWithErr(tiff, strip, &error);
    if (error)
        return "The file's table of strips cannot be read";
    // libtiff decodes nothing of a strip whose data the file does not hold to its end.
    const uint64_t size = std::min(stored, stripLimit_);
    if (offset > file_.size || size > file_.size - offset)
        return "The file ends inside the strip's data";
    bytes_.resize(size_t(size));
    if (readAt(file_.fd, bytes_.data(), bytes_.size(), offset) != bytes_.size())
        return "The strip's data cannot be read";
    Frame frame{width_, rows, first + rows == height_};
    if (tileWidth_)
        frame = Frame{tileWidth_, uint32_t(rowsPerStrip_), false};
    if (plane > 0) {
        frame.width = (frame.width + subsampling_[0] - 1) / subsampling_[0];
        frame.rows = (frame.rows + subsampling_[1] - 1) / subsampling_[1];
    }
    std::string why = streamDamage(tables_, bytes_, frame);
    if (why.empty())
        return std::nullopt;
    return why;
}

std::optional<StripDamage> JpegStrips::firstDamage(int row) {
    auto* tiff = static_cast<TIFF*>(tiff_);
    for (size_t index = size_t(std::max(row, 0) / rowsPerStrip_); index < whole_.size(); ++index) {
        if (whole_[index])
            continue;
        const uint32_t first = uint32_t(index) * uint32_t(rowsPerStrip_);
        const uint32_t rows = std::min(uint32_t(rowsPerStrip_), height_ - first);
        for (int plane = 0; plane < planes_; ++plane)
            for (uint64_t x = 0; x < width_; x += tileWidth_ ? tileWidth_ : width_) {
                const uint32_t stream = tileWidth_
                                            ? TIFFComputeTile(tiff, uint32_t(x), first, 0, uint16_t(plane))
                                            : TIFFComputeStrip(tiff, first, uint16_t(plane));
                if (std::optional<std::string> why = damage(stream, plane, first, rows))
                    return StripDamage{int(first), std::move(*why)};
            }
        whole_[index] = true;
    }
    return std::nullopt;
}

} // namespace imagelib::tiff
