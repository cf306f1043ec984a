#include "JpegCheck.h"

#include <dlfcn.h>

#include <algorithm>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <mutex>

// The entropy decoder's hook on each MCU (jpegint.h), the one part of libjpeg's private state used
// here. Its layout is that of the libjpeg-turbo versions below; a library of another layout under
// the same name is found out once, before any file, and then decoded plainly (watching()).
extern "C" {
#include <jpegint.h>
}

#if defined(LIBJPEG_TURBO_VERSION_NUMBER) && LIBJPEG_TURBO_VERSION_NUMBER >= 2000000 &&                      \
    LIBJPEG_TURBO_VERSION_NUMBER < 4000000 && (JPEG_LIB_VERSION == 62 || JPEG_LIB_VERSION == 80)
#define GW_JPEG_WATCH 1
#else
#define GW_JPEG_WATCH 0
#endif

#if JPEG_LIB_VERSION >= 70 || defined(C_ARITH_CODING_SUPPORTED) || defined(D_ARITH_CODING_SUPPORTED)
static_assert(JWRN_ARITH_BAD_CODE < JWRN_BOGUS_ICC, "jerror.h must be included after jpeglib.h");
#endif

namespace ci::io::jpegcheck {

namespace {

/// Bytes an encoder may leave between a scan's data and the next marker (some pad with a byte or
/// two); more means that the decoder stopped short of the data, out of step with it.
constexpr int kPaddingBytes = 2;

ScanWatch* watchOf(j_decompress_ptr cinfo) {
    return static_cast<ScanWatch*>(cinfo->client_data);
}

#if GW_JPEG_WATCH

/// The largest DC value of 8-bit samples: a block's mean less 128, times 8, over a quantizer of at
/// least 1, with room for rounding.
constexpr int kDcLimit = 2047;

// ---- Arithmetic-coded data ----
// An arithmetic decoder that reaches a marker inside a scan is fed zeros from then on, as the
// standard has it: an encoder leaves off the zero bytes that end its data. So a scan cut short and
// closed with a marker decodes the rest of its picture from zeros too, always taking the lower of
// the two parts of its interval. Whole scans end their data early where their picture is so
// regular that its decisions are that path: flat, or a gradient whose every block makes the same
// new coefficient, as many as there are blocks. What the rest of a cut photograph makes from
// zeros is not regular: new coefficients that differ from block to block, hundreds of them. A cut
// that leaves a regular rest (or none: a cut in a DC scan) cannot be told from a whole scan and is
// read.

/// New AC coefficients that a scan may decode after it has reached its marker in blocks whose new
/// coefficients are not those of one of the few blocks before (six at most in whole scans of
/// photographs, smooth and flat pictures, at every quality, sampling and progression tried).
constexpr int kIrregularAfterDataEnd = 32;

/// Whether `marker`, reached inside a scan's data, ends the scan (a restart marker ends an interval).
bool endsScan(int marker) {
    return marker != 0 && !(marker >= JPEG_RST0 && marker <= JPEG_RST0 + 7);
}

/// Damage that libjpeg does not see, said as its own warning so that its owner judges it as one.
void warn(j_decompress_ptr cinfo, ScanWatch& w, int code) {
    if (w.warned)
        return;
    w.warned = true;
    WARNMS(cinfo, code);
}

/// The DC values of an MCU of a first scan, which stay within what 8-bit samples can have (a
/// Huffman decoder's unused codes decode as a difference far beyond, below).
void checkDc(j_decompress_ptr cinfo, ScanWatch& w, JBLOCKROW* blocks) {
    const int n = std::min(cinfo->blocks_in_MCU, D_MAX_BLOCKS_IN_MCU);
    const unsigned limit = unsigned(kDcLimit) << cinfo->Al;
    bool beyond = false;
    for (int b = 0; b < n; ++b)
        beyond |= unsigned(blocks[b][0][0] + int(limit)) > 2 * limit;
    if (beyond)
        warn(cinfo, w, cinfo->arith_code ? JWRN_ARITH_BAD_CODE : JWRN_HUFF_BAD_CODE);
    if (w.dcTrace)
        for (int b = 0; b < n && w.dcTraced < w.dcTraceSize; ++b)
            w.dcTrace[w.dcTraced++] = blocks[b][0][0];
}

/// A Huffman decoder of a sequential scan, watched.
boolean decodeHuffmanWatched(j_decompress_ptr cinfo, JBLOCKROW* blocks) {
    ScanWatch& w = *watchOf(cinfo);
    const boolean done = w.decodeMcu(cinfo, blocks);
    if (blocks)
        checkDc(cinfo, w, blocks);
    return done;
}

/// An arithmetic decoder, watched: its DC values, and past its scan's data, new AC coefficients
/// only as regular as a whole scan makes.
boolean decodeArithmeticWatched(j_decompress_ptr cinfo, JBLOCKROW* blocks) {
    ScanWatch& w = *watchOf(cinfo);
    const int n = std::clamp(cinfo->blocks_in_MCU, 0, D_MAX_BLOCKS_IN_MCU);
    const bool counting = blocks && w.dataEnded && cinfo->Se > 0;
    JBLOCK before[D_MAX_BLOCKS_IN_MCU];
    if (counting)
        for (int b = 0; b < n; ++b)
            std::memcpy(before[b], blocks[b][0], sizeof(JBLOCK));
    const boolean done = w.decodeMcu(cinfo, blocks);
    if (!blocks)
        return done;
    if (cinfo->Ss == 0 && cinfo->Ah == 0 && cinfo->Al <= 4)
        checkDc(cinfo, w, blocks);
    if (counting) {
        for (int b = 0; b < n; ++b) {
            unsigned pattern = 0;
            int made = 0;
            for (int k = 1; k < DCTSIZE2; ++k)
                if (before[b][k] == 0 && blocks[b][0][k] != 0) {
                    ++made;
                    pattern = pattern * 31u + unsigned(k) * 7919u + unsigned(blocks[b][0][k] + 32768);
                }
            if (made > 0 &&
                std::find(std::begin(w.recent), std::end(w.recent), pattern) == std::end(w.recent))
                w.irregularAfterEnd += made;
            w.recent[w.blocksAfterEnd++ % std::size(w.recent)] = pattern;
        }
        if (w.irregularAfterEnd > kIrregularAfterDataEnd)
            warn(cinfo, w, JWRN_HIT_MARKER);
    } else if (endsScan(cinfo->unread_marker)) {
        w.dataEnded = true;
    }
    return done;
}

bool hooked(j_decompress_ptr cinfo) {
    return cinfo->entropy->decode_mcu == decodeHuffmanWatched ||
           cinfo->entropy->decode_mcu == decodeArithmeticWatched;
}

/// Puts the watch on the decoder of the scan that starts.
void install(j_decompress_ptr cinfo, ScanWatch& w) {
    w.decodeMcu = cinfo->entropy->decode_mcu;
    cinfo->entropy->decode_mcu = cinfo->arith_code ? decodeArithmeticWatched : decodeHuffmanWatched;
    w.dataEnded = false;
    w.warned = false;
    w.irregularAfterEnd = 0;
    w.blocksAfterEnd = 0;
    std::fill(std::begin(w.recent), std::end(w.recent), 0u);
}

/// The unused codes of a Huffman table of DC differences given to a difference of 15 bits, which
/// no 8-bit picture has: libjpeg-turbo decodes an unused code as a difference of zero, and warns
/// of it only when it decodes bit by bit (a few kilobytes from the end of its input); the watch
/// sees every one. Codes are added after the longest, so the codes of the table stay as they are;
/// the code of all ones, which libjpeg keeps unused, stays so.
void completeDcTable(JHUFF_TBL* table) {
    if (!table)
        return;
    int count = 0, longest = 0;
    long next = 0; // the first unused code at the present length
    for (int length = 1; length <= 16; ++length) {
        next = (next << 1) + table->bits[length];
        count += table->bits[length];
        if (table->bits[length])
            longest = length;
    }
    if (longest == 0 || count > 256)
        return;
    next >>= 16 - longest;
    // Unused codes of the longest length but the last, then one of each length after it.
    const long unused = (1L << longest) - next;
    const long added = (unused - 1) + (16 - longest);
    if (unused < 1 || count + added > 256)
        return;
    for (long i = 0; i < added; ++i)
        table->huffval[count + i] = 15;
    table->bits[longest] = UINT8(table->bits[longest] + (unused - 1));
    for (int length = longest + 1; length <= 16; ++length)
        table->bits[length] = UINT8(table->bits[length] + 1);
}

// ---- The check of the library, once ----

/// Whether `address` is code of the library that holds jpeg_read_header.
bool inLibjpeg(const void* address) {
    Dl_info mine{}, theirs{};
    return dladdr(reinterpret_cast<const void*>(&jpeg_read_header), &mine) != 0 &&
           dladdr(address, &theirs) != 0 && mine.dli_fbase == theirs.dli_fbase;
}

struct TestError {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    int warnings = 0;
};

[[noreturn]] void testExit(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<TestError*>(cinfo->err)->jump, 1);
}

void testMessage(j_common_ptr cinfo, int level) {
    if (level < 0)
        ++reinterpret_cast<TestError*>(cinfo->err)->warnings;
}

constexpr int kTestSize = 48;
constexpr int kTestBlocks = (kTestSize / 8) * (kTestSize / 8);

/// A grey picture of 48 x 48 in arithmetic or Huffman coding; empty when libjpeg fails.
size_t encodeTest(bool arithmetic, unsigned char** out) {
    jpeg_compress_struct cinfo{};
    TestError error{};
    cinfo.err = jpeg_std_error(&error.pub);
    error.pub.error_exit = testExit;
    unsigned long size = 0;
    if (setjmp(error.jump) != 0) {
        jpeg_destroy_compress(&cinfo);
        return 0;
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, out, &size);
    cinfo.image_width = cinfo.image_height = kTestSize;
    cinfo.input_components = 1;
    cinfo.in_color_space = JCS_GRAYSCALE;
    jpeg_set_defaults(&cinfo);
    cinfo.arith_code = arithmetic ? TRUE : FALSE;
    jpeg_start_compress(&cinfo, TRUE);
    JSAMPLE row[kTestSize];
    while (cinfo.next_scanline < cinfo.image_height) {
        for (int x = 0; x < kTestSize; ++x)
            row[x] = JSAMPLE(
                (x * 5 + int(cinfo.next_scanline) * 3 + ((x * 7) ^ int(cinfo.next_scanline)) % 23) & 0xFF);
        JSAMPROW rows[1] = {row};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return size;
}

/// The DC values of the picture, as stored: read whole with libjpeg's public interface, and traced
/// by the watch while decoding; equal when the watch sees each MCU as the library decodes it.
bool tracedAsStored(const unsigned char* data, size_t size) {
    int stored[kTestBlocks] = {}, traced[kTestBlocks] = {};
    {
        jpeg_decompress_struct cinfo{};
        TestError error{};
        cinfo.err = jpeg_std_error(&error.pub);
        error.pub.error_exit = testExit;
        if (setjmp(error.jump) != 0) {
            jpeg_destroy_decompress(&cinfo);
            return false;
        }
        jpeg_create_decompress(&cinfo);
        jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
        jpeg_read_header(&cinfo, TRUE);
        jvirt_barray_ptr* arrays = jpeg_read_coefficients(&cinfo);
        const jpeg_component_info& c = cinfo.comp_info[0];
        int i = 0;
        for (JDIMENSION y = 0; y < c.height_in_blocks; ++y) {
            JBLOCKARRAY rows = (*cinfo.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&cinfo),
                                                                arrays[0], y, 1, FALSE);
            for (JDIMENSION x = 0; x < c.width_in_blocks && i < kTestBlocks; ++x)
                stored[i++] = rows[0][x][0];
        }
        jpeg_destroy_decompress(&cinfo);
        if (i != kTestBlocks)
            return false;
    }
    jpeg_decompress_struct cinfo{};
    TestError error{};
    ScanWatch w;
    jpeg_progress_mgr progress{};
    cinfo.err = jpeg_std_error(&error.pub);
    error.pub.error_exit = testExit;
    error.pub.emit_message = testMessage;
    if (setjmp(error.jump) != 0) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
    jpeg_read_header(&cinfo, TRUE);
    cinfo.client_data = &w;
    w.dcTrace = traced;
    w.dcTraceSize = kTestBlocks;
    progress.progress_monitor = [](j_common_ptr c) {
        auto* d = reinterpret_cast<j_decompress_ptr>(c);
        auto* sw = watchOf(d);
        // Each entry of the library's decoder must be its code before it is replaced.
        if (d->entropy && !hooked(d)) {
            if (!inLibjpeg(reinterpret_cast<const void*>(d->entropy->decode_mcu)) ||
                !inLibjpeg(reinterpret_cast<const void*>(d->entropy->start_pass)))
                std::longjmp(reinterpret_cast<TestError*>(c->err)->jump, 1);
            install(d, *sw);
        }
    };
    cinfo.progress = &progress;
    jpeg_start_decompress(&cinfo);
    JSAMPLE row[kTestSize];
    JSAMPROW rows[1] = {row};
    while (cinfo.output_scanline < cinfo.output_height)
        jpeg_read_scanlines(&cinfo, rows, 1);
    jpeg_finish_decompress(&cinfo);
    const bool same = w.dcTraced == size_t(kTestBlocks) && error.warnings == 0 &&
                      std::equal(std::begin(stored), std::end(stored), traced);
    jpeg_destroy_decompress(&cinfo);
    return same;
}

bool checkLibrary() {
    for (const bool arithmetic : {false, true}) {
        unsigned char* data = nullptr;
        const size_t size = encodeTest(arithmetic, &data);
        const bool ok = size > 0 && tracedAsStored(data, size);
        std::free(data);
        if (!ok)
            return false;
    }
    return true;
}

#endif

} // namespace

Meaning meaning(j_common_ptr cinfo, bool inData) {
    switch (cinfo->err->msg_code) {
    case JWRN_JFIF_MAJOR:
    case JWRN_ADOBE_XFORM:
    case JWRN_NOT_SEQUENTIAL:
        return Meaning::Harmless;
    case JWRN_EXTRANEOUS_DATA: {
        // No encoder pads before a restart marker, inside a scan.
        const int marker = cinfo->err->msg_parm.i[1];
        const bool restart = marker >= JPEG_RST0 && marker <= JPEG_RST0 + 7;
        return !inData || (!restart && cinfo->err->msg_parm.i[0] <= kPaddingBytes) ? Meaning::Harmless
                                                                                   : Meaning::Damage;
    }
    case JWRN_JPEG_EOF:
        return Meaning::EndMissing;
    default:
        return Meaning::Damage;
    }
}

bool watching() {
#if GW_JPEG_WATCH
    static std::once_flag once;
    static bool works = false;
    std::call_once(once, [] { works = checkLibrary(); });
    return works;
#else
    return false;
#endif
}

void watch(j_decompress_ptr cinfo, ScanWatch& w) {
    cinfo->client_data = &w;
#if GW_JPEG_WATCH
    // Decoding bit by bit, as it does in files with restart markers and progressive ones,
    // libjpeg-turbo warns of every unused code itself.
    if (!watching() || cinfo->progressive_mode || cinfo->arith_code || cinfo->restart_interval != 0)
        return;
    for (JHUFF_TBL* table : cinfo->dc_huff_tbl_ptrs)
        completeDcTable(table);
    w.dcCodesWatched = true;
#endif
}

void onScan(j_decompress_ptr cinfo) {
    ScanWatch* w = watchOf(cinfo);
    if (!w)
        return;
    for (int i = 0; i < cinfo->comps_in_scan && i < MAX_COMPS_IN_SCAN; ++i)
        if (const int c = cinfo->cur_comp_info[i]->component_index; c >= 0 && c < MAX_COMPONENTS)
            w->scanned[c] = true;
#if GW_JPEG_WATCH
    // The decoder of each scan is chosen as the scan starts, so a new one is a new scan. A
    // Huffman decoder is watched where its unused DC codes were given a value.
    if (!cinfo->entropy || hooked(cinfo) || !(cinfo->arith_code || w->dcCodesWatched) || !watching())
        return;
    install(cinfo, *w);
#endif
}

bool holdsScans(j_decompress_ptr cinfo, const ScanWatch& w, bool endMissing) {
    if (!jpeg_has_multiple_scans(cinfo))
        return true;
    for (int c = 0; c < cinfo->num_components && c < MAX_COMPONENTS; ++c) {
        if (!cinfo->progressive_mode) {
            if (!w.scanned[c])
                return false;
            continue;
        }
        if (!cinfo->coef_bits)
            return false;
        for (int k = 0; k < (endMissing ? DCTSIZE2 : 1); ++k)
            if (cinfo->coef_bits[c][k] < 0)
                return false;
    }
    return true;
}

} // namespace ci::io::jpegcheck
