#pragma once

// Whether the entropy-coded data of a JPEG picture is whole: which of libjpeg's warnings mean
// damage, and a watch on each scan's decoding for what libjpeg does not warn about. Used by the
// JPEG files read here and by the JPEG strips and tiles of TIFF files in the image library's
// module, which compiles this file too; it depends on nothing but libjpeg.

#include <cstddef>
#include <cstdio>

// jerror.h numbers the messages by the settings in jconfig.h, which comes with jpeglib.h: read
// before it, it leaves out the messages of arithmetic coding and numbers those after them unlike
// the library, so that a warning would be taken for another.
extern "C" {
#include <jpeglib.h>

#include <jerror.h>
}

namespace ci::io::jpegcheck {

enum class Meaning {
    Harmless,   ///< an irregularity that leaves the picture whole (junk between header markers)
    EndMissing, ///< the file ended: whole if its picture's data was all there
    Damage,
};

/// What the warning in `cinfo->err` means. `inData` once the header has been read: stray bytes
/// after a scan's data mean that the scan was decoded out of step.
Meaning meaning(j_common_ptr cinfo, bool inData);

/// The watch on the scans of one decompression; `cinfo->client_data` points to it while it lasts.
struct ScanWatch {
    bool scanned[MAX_COMPONENTS] = {}; ///< the components that a scan has held
    /// The entropy decoder of the present scan, when it is watched.
    boolean (*decodeMcu)(j_decompress_ptr, JBLOCKROW*) = nullptr;
    bool dataEnded = false;    ///< the present scan's decoder has reached the marker after its data
    int irregularAfterEnd = 0; ///< AC coefficients made nonzero since, not as in the blocks before
    unsigned recent[4] = {};   ///< the new coefficients of the last blocks since, as numbers
    unsigned blocksAfterEnd = 0;
    bool dcCodesWatched = false; ///< the unused codes of the DC tables were given a value
    bool warned = false;         ///< the present scan has warned of damage already
    int* dcTrace = nullptr;      ///< where the DC values decoded are written, when they are traced
    size_t dcTraceSize = 0;
    size_t dcTraced = 0;
};

/// After jpeg_read_header: points `cinfo->client_data` to `watch` and prepares the decoding to be
/// watched where the library allows it.
void watch(j_decompress_ptr cinfo, ScanWatch& watch);

/// To be called from the progress monitor, which libjpeg calls before each row of a scan's data
/// is read, so that every scan is seen here.
void onScan(j_decompress_ptr cinfo);

/// Whether the file held the data that its picture needs, once all of it is read: every component
/// in a sequential file of several scans, the DC of every component in a progressive one (the
/// format asks no more: a progression may leave out refinements), and, in a file that ended before
/// its end marker, the first scan of every coefficient of every component (a file cut between scans
/// loses whole scans without its decoder running short).
bool holdsScans(j_decompress_ptr cinfo, const ScanWatch& watch, bool endMissing);

/// Whether the entropy decoders of this libjpeg are watched (its private decoder is the one this
/// was built for, as checked once on a picture made here); when not, pictures are decoded plainly.
bool watching();

} // namespace ci::io::jpegcheck
