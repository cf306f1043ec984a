#include "JpegCodec.h"

#include "Codec.h"

#include "ci/core/Console.h"
#include "ci/core/Memory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "JpegCheck.h"

namespace ci::io::jpeg {

namespace {

// ---- Warnings ----
// libjpeg's own handler passes on only the first warning of a picture, so a harmless one (junk
// before a marker) would hide the damage that follows it, and the grey rows the library fills in
// would pass as the picture. Every warning is looked at here, and judged as the JPEG strips of TIFF
// files are (JpegCheck.h).

struct Watch {
    jpeg_error_mgr pub;
    jpeg_progress_mgr progress;
    std::jmp_buf jump;
    std::string damage; ///< the first warning that means damage, or the error
    /// The warning that the file ended before its end marker (libjpeg then goes on as if it had
    /// one), while it is not yet known whether the data of the picture was all there.
    std::string endMissing;
    bool failed = false;
    bool inData = false; ///< the header is read: what libjpeg says now is about the picture's data
    /// Set once the pixels are being decoded: a damaged file fails whatever follows its first
    /// damage, so nothing more is decoded (a cut file's empty scans would each pass over the whole
    /// picture).
    bool stopAtDamage = false;
    int scanLimit = 0;
    jpegcheck::ScanWatch scans;
};

// No object with a destructor may live in a frame that the longjmp leaves.
[[noreturn]] void fail(j_common_ptr cinfo, const char* reason) {
    auto* watch = reinterpret_cast<Watch*>(cinfo->err);
    // After the file's end, what went wrong is that it ended.
    if (watch->damage.empty())
        watch->damage = watch->endMissing.empty() ? reason : watch->endMissing.c_str();
    watch->failed = true;
    std::longjmp(watch->jump, 1);
}

void onMessage(j_common_ptr cinfo, int level) {
    auto* watch = reinterpret_cast<Watch*>(cinfo->err);
    if (level >= 0 || !watch->damage.empty())
        return;
    // Bytes that are no marker between the end of the picture's data and the file's missing end: a
    // file cut and filled up (with the zeros of an unfinished download or a recovered file), whose
    // decoder took the filling for the rest of its data.
    if (cinfo->err->msg_code == JWRN_EXTRANEOUS_DATA && !watch->endMissing.empty()) {
        watch->damage = watch->endMissing;
        if (watch->stopAtDamage)
            fail(cinfo, watch->endMissing.c_str());
        return;
    }
    const jpegcheck::Meaning meaning = jpegcheck::meaning(cinfo, watch->inData);
    if (meaning == jpegcheck::Meaning::Harmless)
        return;
    char text[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, text);
    // A file may lack no more than its end marker, as some devices and interrupted copies leave
    // it: libjpeg makes one up and goes on. Whether the picture is whole is known once its data
    // is read (settleEnd); a second end of the file means it was read past the one made up.
    if (meaning == jpegcheck::Meaning::EndMissing && watch->endMissing.empty()) {
        watch->endMissing = text;
        return;
    }
    watch->damage = watch->endMissing.empty() ? std::string(text) : watch->endMissing;
    if (watch->stopAtDamage)
        fail(cinfo, text);
}

[[noreturn]] void onError(j_common_ptr cinfo) {
    char text[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, text);
    fail(cinfo, text);
}

void onProgress(j_common_ptr cinfo) {
    auto* watch = reinterpret_cast<Watch*>(cinfo->err);
    auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (d->input_scan_number > watch->scanLimit)
        fail(cinfo, "The JPEG file has too many scans");
    jpegcheck::onScan(d);
}

/// After all of the file's data is read: a file that lacks scans that its picture needs is
/// damaged (one that ended before its end marker says so).
void settleEnd(jpeg_decompress_struct& cinfo, Watch& watch) {
    if (!watch.damage.empty() || jpegcheck::holdsScans(&cinfo, watch.scans, !watch.endMissing.empty()))
        return;
    if (watch.endMissing.empty()) {
        WARNMS(&cinfo, JWRN_HIT_MARKER);
        return;
    }
    watch.damage = watch.endMissing;
    if (watch.stopAtDamage)
        fail(reinterpret_cast<j_common_ptr>(&cinfo), watch.endMissing.c_str());
}

void watchMessages(jpeg_error_mgr* pub, Watch& w) {
    jpeg_std_error(pub);
    w.pub.emit_message = onMessage;
    w.pub.error_exit = onError;
}

// ---- Limits ----
// A file of a few kilobytes can declare a picture of 20000 x 20000 pixels in thousands of scans.
// What libjpeg holds for the picture is counted in the engine's budget before it is allocated, and
// each scan of a progressive file passes over every block of the picture, so the number of scans
// is bounded.

/// More scans than any encoder writes (a progressive file has about ten).
constexpr int kMaxScans = 1000;
/// libjpeg's memory beyond the coefficients: rows being converted, tables, saved markers.
constexpr int64_t kWorkingBytes = int64_t(64) << 20;

/// The coefficients of the whole picture that libjpeg keeps for a progressive or multi-scan file:
/// 64 of two bytes a block, each component's blocks rounded up to whole units of its sampling.
int64_t coefficientBytes(jpeg_decompress_struct& cinfo) {
    if (!jpeg_has_multiple_scans(&cinfo))
        return 0;
    int64_t bytes = 0;
    for (int i = 0; i < cinfo.num_components; ++i) {
        const jpeg_component_info& c = cinfo.comp_info[i];
        const auto up = [](int64_t n, int64_t unit) { return unit > 0 ? (n + unit - 1) / unit * unit : n; };
        const int64_t blocks =
            saturatingMul(up(c.width_in_blocks, c.h_samp_factor), up(c.height_in_blocks, c.v_samp_factor));
        bytes = saturatingAdd(bytes, saturatingMul(blocks, int64_t(sizeof(JBLOCK))));
    }
    return bytes;
}

/// The scans a file of `fileBytes` may have: a few dozen, and more as the file has more bytes for
/// each block of its picture (a Huffman-coded file spends at least a bit on every block of a
/// component in its first scan of it, a photograph far more), so that a small file declaring a
/// large picture cannot make thousands of nearly empty scans each pass over all of it.
int scanLimit(const jpeg_decompress_struct& cinfo, int64_t fileBytes) {
    int64_t blocks = 0;
    for (int i = 0; i < cinfo.num_components; ++i)
        blocks = saturatingAdd(blocks, int64_t(cinfo.comp_info[i].width_in_blocks) *
                                           int64_t(cinfo.comp_info[i].height_in_blocks));
    const int64_t bySize = 64 + saturatingMul(256, fileBytes) / std::max<int64_t>(blocks, 1);
    return int(std::min<int64_t>(kMaxScans, bySize));
}

int64_t sizeOf(int fd, const std::vector<uint8_t>* bytes) {
    if (bytes)
        return int64_t(bytes->size());
    struct stat st {};
    return fstat(fd, &st) == 0 ? int64_t(st.st_size) : 0;
}

// ---- Reading a file ----
// By its descriptor, at offsets of its own, so that a file opened once is read from its start by
// each decoding of it (the look through the data after the decode's), whatever else reads it.

constexpr size_t kReadBytes = 64 * 1024;

struct DescriptorSource {
    jpeg_source_mgr pub;
    int fd = -1;
    off_t offset = 0;
    std::unique_ptr<JOCTET[]> buffer;
};

void startReading(j_decompress_ptr) {}
void endReading(j_decompress_ptr) {}

/// As libjpeg's reader of files: at the end of the file, a made-up end marker and a warning.
boolean readMore(j_decompress_ptr cinfo) {
    auto* src = reinterpret_cast<DescriptorSource*>(cinfo->src);
    ssize_t n;
    while ((n = ::pread(src->fd, src->buffer.get(), kReadBytes, src->offset)) < 0 && errno == EINTR) {
    }
    if (n < 0)
        ERREXIT(cinfo, JERR_FILE_READ);
    if (n == 0) {
        if (src->offset == 0)
            ERREXIT(cinfo, JERR_INPUT_EMPTY);
        WARNMS(cinfo, JWRN_JPEG_EOF);
        src->buffer[0] = 0xFF;
        src->buffer[1] = JPEG_EOI;
        n = 2;
    } else {
        src->offset += n;
    }
    src->pub.next_input_byte = src->buffer.get();
    src->pub.bytes_in_buffer = size_t(n);
    return TRUE;
}

/// Passes over `count` bytes without reading them (a marker's content that is not kept).
void skipOver(j_decompress_ptr cinfo, long count) {
    auto* src = reinterpret_cast<DescriptorSource*>(cinfo->src);
    if (count <= 0)
        return;
    if (size_t(count) <= src->pub.bytes_in_buffer) {
        src->pub.next_input_byte += count;
        src->pub.bytes_in_buffer -= size_t(count);
        return;
    }
    src->offset += off_t(size_t(count) - src->pub.bytes_in_buffer);
    src->pub.bytes_in_buffer = 0;
}

/// One decompression: libjpeg's state, the watch on its messages and the budget held for it.
struct Session {
    jpeg_decompress_struct cinfo{};
    Watch watch{};
    DescriptorSource source{};
    bool created = false;
    int64_t coefficients = 0; ///< what libjpeg will hold for the whole picture
    int64_t charged = 0;

    Session() = default;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() {
        if (created)
            jpeg_destroy_decompress(&cinfo);
        memory::release(charged);
    }

    /// Reads the header (keeping the EXIF and ICC markers when asked) and sets the limits of the
    /// decoding; false when libjpeg refuses the header.
    bool readHeader(int fd, const std::vector<uint8_t>* bytes, bool markers) {
        const int64_t fileBytes = sizeOf(fd, bytes);
        watchMessages(&watch.pub, watch);
        cinfo.err = &watch.pub;
        if (fd >= 0) {
            source.fd = fd;
            source.buffer = std::make_unique_for_overwrite<JOCTET[]>(kReadBytes);
            source.pub.init_source = startReading;
            source.pub.fill_input_buffer = readMore;
            source.pub.skip_input_data = skipOver;
            source.pub.resync_to_restart = jpeg_resync_to_restart;
            source.pub.term_source = endReading;
        }
        // Between a setjmp and the longjmp of an error only plain data is made and changed.
        if (setjmp(watch.jump) != 0)
            return false;
        jpeg_create_decompress(&cinfo);
        created = true;
        if (fd >= 0)
            cinfo.src = &source.pub;
        else
            jpeg_mem_src(&cinfo, bytes->data(), static_cast<unsigned long>(bytes->size()));
        if (markers) {
            jpeg_save_markers(&cinfo, JPEG_APP0 + 1, 0xFFFF);
            jpeg_save_markers(&cinfo, JPEG_APP0 + 2, 0xFFFF);
        }
        jpeg_read_header(&cinfo, TRUE);
        watch.inData = true;
        jpegcheck::watch(&cinfo, watch.scans);
        coefficients = coefficientBytes(cinfo);
        watch.scanLimit = scanLimit(cinfo, fileBytes);
        watch.progress.progress_monitor = onProgress;
        cinfo.progress = &watch.progress;
        // What is charged below, and no more: past it libjpeg fails rather than allocate.
        cinfo.mem->max_memory_to_use =
            long(saturatingAdd(coefficients, saturatingAdd(kWorkingBytes, fileBytes)));
        return true;
    }

    /// Counts the coefficients in the engine's budget before the decoding allocates them; "" or
    /// why not, worded as for decoded pixels. Damage already seen fails the decoding here.
    std::string charge() {
        if (!watch.damage.empty())
            return watch.damage;
        try {
            memory::acquire(coefficients);
        } catch (const MemoryLimitExceeded& e) {
            return "The image is too large (" + std::to_string(cinfo.image_width) + " x " +
                   std::to_string(cinfo.image_height) + " pixels): " + e.what();
        }
        charged = coefficients;
        watch.stopAtDamage = true;
        return {};
    }
};

// ---- EXIF orientation ----

/// The orientation tag of IFD0 of an APP1 EXIF block, 1 when there is none.
int exifOrientation(const uint8_t* p, size_t n) {
    if (n < 6 + 8 || std::memcmp(p, "Exif\0\0", 6) != 0)
        return 0;
    p += 6, n -= 6;
    const bool little = p[0] == 'I' && p[1] == 'I';
    if (!little && !(p[0] == 'M' && p[1] == 'M'))
        return 0;
    auto u16 = [&](size_t at) -> uint32_t {
        return little ? uint32_t(p[at]) | uint32_t(p[at + 1]) << 8
                      : uint32_t(p[at]) << 8 | uint32_t(p[at + 1]);
    };
    auto u32 = [&](size_t at) -> uint32_t {
        return little ? u16(at) | u16(at + 2) << 16 : u16(at) << 16 | u16(at + 2);
    };
    const size_t ifd = u32(4);
    if (ifd + 2 > n)
        return 0;
    const size_t count = u16(ifd);
    for (size_t i = 0; i < count; ++i) {
        const size_t e = ifd + 2 + i * 12;
        if (e + 12 > n)
            break;
        if (u16(e) != 0x0112)
            continue;
        const uint32_t type = u16(e + 2);
        if (type == 3) // SHORT
            return int(u16(e + 8));
        if (type == 4) // LONG
            return int(u32(e + 8));
        return 0;
    }
    return 0;
}

// ---- Colour profile ----

/// The ICC profile that the APP2 chunks of a header make, in the order of their numbers. A chunk may
/// come twice (some encoders write the profile twice) when both copies are the same; `setAside` is
/// set for chunks that do not fit together (numbered 0, past their count, with counts that differ,
/// one missing, or two different chunks of one number): which profile they make is not known.
std::vector<uint8_t> assembleProfile(const jpeg_decompress_struct& cinfo, bool& setAside) {
    constexpr unsigned kOverhead = 14; // "ICC_PROFILE\0", the chunk's number and the count
    jpeg_saved_marker_ptr chunks[256] = {};
    int count = 0;
    for (jpeg_saved_marker_ptr m = cinfo.marker_list; m; m = m->next) {
        if (m->marker != JPEG_APP0 + 2 || m->data_length < kOverhead ||
            std::memcmp(m->data, "ICC_PROFILE", 12) != 0)
            continue;
        const int number = m->data[12];
        if (count == 0)
            count = m->data[13];
        if (count != m->data[13] || number == 0 || number > count) {
            setAside = true;
            return {};
        }
        jpeg_saved_marker_ptr& seen = chunks[number];
        if (seen &&
            (seen->data_length != m->data_length || std::memcmp(seen->data, m->data, m->data_length) != 0)) {
            setAside = true;
            return {};
        }
        if (!seen)
            seen = m;
    }
    std::vector<uint8_t> profile;
    for (int number = 1; number <= count; ++number) {
        if (!chunks[number]) {
            setAside = true;
            return {};
        }
        profile.insert(profile.end(), chunks[number]->data + kOverhead,
                       chunks[number]->data + chunks[number]->data_length);
    }
    return profile;
}

// ---- Reading ----

class Input final : public FileInput {
  public:
    /// `name` is the file's path, "" for data in memory.
    explicit Input(std::string name) : name_(std::move(name)) {}

    /// Reads the header; false when libjpeg refuses it or the picture is not one read here.
    bool open(int fd, const std::vector<uint8_t>* bytes) {
        fd_ = fd;
        if (!s_.readHeader(fd, bytes, true))
            return false;
        const jpeg_decompress_struct& c = s_.cinfo;
        const bool grey = c.num_components == 1 && c.jpeg_color_space == JCS_GRAYSCALE;
        const bool colour =
            c.num_components == 3 && (c.jpeg_color_space == JCS_YCbCr || c.jpeg_color_space == JCS_RGB);
        const bool inks =
            c.num_components == 4 && (c.jpeg_color_space == JCS_CMYK || c.jpeg_color_space == JCS_YCCK);
        if (c.data_precision != 8 || !(grey || colour || inks))
            return false;
        spec_.width = int(c.image_width);
        spec_.height = int(c.image_height);
        spec_.nchannels = c.num_components;
        spec_.cmyk = inks;
        // Files with Adobe's marker (YCCK ones always) hold 255 minus each ink, as Adobe's
        // programs write them.
        spec_.invertedInks = inks && c.saw_Adobe_marker;
        spec_.base = StoredBase::U8;
        spec_.scanlineBytes = int64_t(spec_.width) * spec_.nchannels;
        spec_.imageBytes = spec_.scanlineBytes * spec_.height;
        spec_.decoderBytes = s_.coefficients;
        for (jpeg_saved_marker_ptr m = c.marker_list; m; m = m->next)
            if (m->marker == JPEG_APP0 + 1)
                if (const int o = exifOrientation(m->data, m->data_length); o != 0) {
                    spec_.orientation = o;
                    break;
                }
        bool setAside = false;
        spec_.iccProfile = assembleProfile(c, setAside);
        if (setAside)
            console("readProfile: ⛔️ " + (name_.empty() ? std::string() : name_ + ": ") +
                    "the colour profile's chunks do not fit together; the picture is read without it");
        return true;
    }

    const PictureSpec& spec() const override { return spec_; }
    std::string formatName() const override { return "jpeg"; }

    bool readScanlines(int y0, int y1, int channels, ReadType type, void* data) override {
        if ((type != ReadType::U8 && type != ReadType::Native) || channels != spec_.nchannels ||
            y0 != int(s_.cinfo.output_scanline) || y1 < y0 || y1 > spec_.height || failed()) {
            if (!failed())
                pending_ = "The image data could not be read";
            return false;
        }
        if (!started_)
            if (std::string refused = s_.charge(); !refused.empty()) {
                pending_ = refused;
                s_.watch.failed = true;
                return false;
            }
        return readRows(*this, static_cast<uint8_t*>(data), y1 - y0);
    }
    bool readImage(int channels, ReadType type, void* data) override {
        return readScanlines(0, spec_.height, channels, type, data);
    }
    bool passesOnlyDamage() const override { return true; }
    std::string takeErrors() override {
        std::string text = pending_;
        if (!s_.watch.damage.empty())
            text = s_.watch.damage;
        pending_.clear();
        s_.watch.damage.clear();
        return text;
    }

  private:
    bool failed() const { return s_.watch.failed; }

    // Between a setjmp and the longjmp of an error only plain data is made and changed.

    static bool readRows(Input& in, uint8_t* data, int count) {
        const size_t stride = size_t(in.spec_.scanlineBytes);
        jpeg_decompress_struct& cinfo = in.s_.cinfo;
        if (setjmp(in.s_.watch.jump) != 0)
            return false;
        if (!in.started_) {
            cinfo.out_color_space = in.spec_.cmyk             ? JCS_CMYK
                                    : in.spec_.nchannels == 1 ? JCS_GRAYSCALE
                                                              : JCS_RGB;
            jpeg_start_decompress(&cinfo);
            in.started_ = true;
            // A file in several scans is all read by now.
            settleEnd(cinfo, in.s_.watch);
        }
        for (int done = 0; done < count;) {
            JSAMPROW rows[4];
            const int n = std::min(count - done, 4);
            for (int i = 0; i < n; ++i)
                rows[i] = data + size_t(done + i) * stride;
            const JDIMENSION got = jpeg_read_scanlines(&cinfo, rows, JDIMENSION(n));
            if (got == 0)
                return false;
            done += int(got);
        }
        // What follows the picture's data tells whether the file ends where its data does.
        if (cinfo.output_scanline == cinfo.output_height)
            jpeg_finish_decompress(&cinfo);
        return true;
    }

    std::string name_;
    Session s_;
    bool started_ = false;
    PictureSpec spec_;
    std::string pending_;
};

/// Decodes at the smallest size, every warning watched; false on an error or damage.
bool decodeSmallest(Session& s, std::vector<JSAMPLE>& row) {
    jpeg_decompress_struct& cinfo = s.cinfo;
    if (setjmp(s.watch.jump) != 0)
        return false;
    // The warnings come from the entropy-coded data; the smallest output is enough to see them.
    cinfo.scale_num = 1;
    cinfo.scale_denom = 8;
    cinfo.dct_method = JDCT_IFAST;
    cinfo.do_fancy_upsampling = FALSE;
    jpeg_start_decompress(&cinfo);
    row.resize(size_t(cinfo.output_width) * size_t(cinfo.output_components));
    JSAMPROW rows[1] = {row.data()};
    while (cinfo.output_scanline < cinfo.output_height)
        jpeg_read_scanlines(&cinfo, rows, 1);
    // Every scan is read by now (those of a file in several as the decoding started), and what
    // tells whether they were whole is still there.
    settleEnd(cinfo, s.watch);
    jpeg_finish_decompress(&cinfo);
    return true;
}

std::string warnings(int fd, const std::vector<uint8_t>* bytes) {
    Session s;
    if (!s.readHeader(fd, bytes, false))
        return s.watch.damage;
    if (std::string refused = s.charge(); !refused.empty())
        return refused;
    std::vector<JSAMPLE> row;
    decodeSmallest(s, row);
    return s.watch.damage;
}

// ---- Writing ----

/// The EXIF block the image library writes into every JPEG file it makes: IFD0 pointing to an
/// EXIF directory with the EXIF and FlashPix versions, the component order and the sRGB colour
/// space. Kept so that files stay as they were.
constexpr uint8_t exifBlock[] = {'E',  'x',  'i',  'f',  0x00, 0x00, 'I',  'I',  0x2A, 0x00, 0x08, 0x00, 0x00,
                                 0x00, 0x01, 0x00, 0x69, 0x87, 0x04, 0x00, 0x01, 0x00, 0x00, 0x00, 0x1A, 0x00,
                                 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x90, 0x07, 0x00, 0x04,
                                 0x00, 0x00, 0x00, '0',  '2',  '3',  '0',  0x01, 0x91, 0x07, 0x00, 0x04, 0x00,
                                 0x00, 0x00, 0x01, 0x02, 0x03, 0x00, 0x00, 0xA0, 0x07, 0x00, 0x04, 0x00, 0x00,
                                 0x00, '0',  '1',  '0',  '0',  0x01, 0xA0, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00,
                                 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

struct Compression {
    jpeg_compress_struct cinfo{};
    Watch watch{};
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    bool created = false;
    ~Compression() {
        if (created)
            jpeg_destroy_compress(&cinfo);
        std::free(out);
    }
};

/// False on a libjpeg error (its message in the watch); `rows` may throw, the caller cleans up.
bool compress(Compression& c, int width, int height, int quality, int band,
              const std::function<const uint8_t*(int, int)>& rows) {
    watchMessages(&c.watch.pub, c.watch);
    c.cinfo.err = &c.watch.pub;
    if (setjmp(c.watch.jump) != 0)
        return false;
    jpeg_create_compress(&c.cinfo);
    c.created = true;
    jpeg_mem_dest(&c.cinfo, &c.out, &c.outSize);
    c.cinfo.image_width = JDIMENSION(width);
    c.cinfo.image_height = JDIMENSION(height);
    c.cinfo.input_components = 3;
    c.cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c.cinfo);
    jpeg_set_quality(&c.cinfo, quality, TRUE);
    // Full chroma resolution when high quality is asked for; halved chroma (the usual 4:2:0)
    // below, where file size matters more than crisp coloured edges.
    const int luma = quality >= 90 ? 1 : 2;
    c.cinfo.comp_info[0].h_samp_factor = luma;
    c.cinfo.comp_info[0].v_samp_factor = luma;
    for (int i = 1; i < 3; ++i)
        c.cinfo.comp_info[i].h_samp_factor = c.cinfo.comp_info[i].v_samp_factor = 1;
    jpeg_start_compress(&c.cinfo, TRUE);
    jpeg_write_marker(&c.cinfo, JPEG_APP0 + 1, exifBlock, sizeof(exifBlock));
    const size_t stride = size_t(width) * 3;
    for (int y0 = 0; y0 < height; y0 += band) {
        const int y1 = std::min(height, y0 + band);
        const uint8_t* data = rows(y0, y1);
        if (!data)
            return false;
        for (int y = y0; y < y1;) {
            JSAMPROW r[16];
            const int n = std::min(y1 - y, 16);
            for (int i = 0; i < n; ++i)
                r[i] = const_cast<JSAMPROW>(data + size_t(y - y0 + i) * stride);
            y += int(jpeg_write_scanlines(&c.cinfo, r, JDIMENSION(n)));
        }
    }
    jpeg_finish_compress(&c.cinfo);
    return true;
}

} // namespace

std::unique_ptr<PictureInput> openFile(const std::string& path) {
    const Result<PictureFile> file = PictureFile::open(path);
    return file ? openDescriptor(file->descriptor(), path) : nullptr;
}

std::unique_ptr<PictureInput> openDescriptor(int fd, const std::string& path) {
    return openInput<Input>(fd, nullptr, path);
}

std::unique_ptr<PictureInput> openMemory(const std::vector<uint8_t>& bytes) {
    return openInput<Input>(-1, &bytes, std::string());
}

std::string damage(int fd, const std::vector<uint8_t>* bytes) {
    return warnings(fd, bytes);
}

Result<std::vector<uint8_t>> encode(int width, int height, int quality, int band,
                                    const std::function<const uint8_t*(int, int)>& rows) {
    using Bytes = std::vector<uint8_t>;
    Compression c;
    if (!compress(c, width, height, quality, band, rows)) {
        if (c.watch.failed)
            return Result<Bytes>::failure("Cannot encode jpeg: " + c.watch.damage);
        return Result<Bytes>::failure("The pixels could not be prepared");
    }
    return Bytes(c.out, c.out + c.outSize);
}

} // namespace ci::io::jpeg
