// The one place where a reader's answers are checked (see ImageWorkerAnswers.h).

#include "ImageWorkerAnswers.h"

#include "ImageLibraryAbi.h"

#include "ci/core/Memory.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <optional>
#include <set>

namespace ci::io::imagelib {

using namespace worker;

const char* const answeredWrongly = "The image could not be read: its reader answered wrongly";

namespace {

/// Whether a format name that a reader answered is one: a short word of lower-case letters and
/// digits.
bool isFormatName(const char (&format)[32]) {
    const size_t n = strnlen(format, sizeof(format));
    if (n == 0 || n == sizeof(format))
        return false;
    return std::all_of(format, format + n,
                       [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); });
}

/// Whether the header a reader answered is one a picture can have: every size within reach of the
/// picture's own arithmetic, the rows' and the whole picture's bytes as its channels make them.
bool isPlausible(const Spec& s) {
    constexpr int64_t maxSide = int64_t(1) << 30;
    if (s.width <= 0 || s.height <= 0 || s.width > maxSide || s.height > maxSide || s.nchannels <= 0 ||
        s.nchannels > 1024 || s.depth <= 0 || s.deep < 0 || s.deep > 1 || s.tileWidth < 0 ||
        s.base < GW_IMG_8BIT || s.base > GW_IMG_OTHER || s.unassociatedAlpha < 0 || s.unassociatedAlpha > 1 ||
        s.alphaChannel < -1 || s.alphaChannel > 1024 || s.namedAlpha < -1 || s.namedAlpha >= s.nchannels)
        return false;
    // Every row of the data window, which may start above the origin, has a number.
    if (int64_t(s.y) + s.height > INT32_MAX)
        return false;
    // A sample takes one to eight bytes, as stored.
    const int64_t samples = int64_t(s.width) * s.nchannels;
    if (s.scanlineBytes < samples || s.scanlineBytes > samples * 8)
        return false;
    const std::optional<int64_t> image = checkedMul(s.scanlineBytes, int64_t(s.height));
    return image && checkedMul(*image, s.depth) == s.imageBytes;
}

/// The formats of the image library, which Qt's plug-ins never answer for.
bool isLibraryFormat(const std::string& format) {
    static const std::set<std::string> library = {"jpeg", "jpg",  "png", "gif", "bmp", "tif",
                                                  "tiff", "webp", "pbm", "pgm", "ppm", "tga"};
    return library.count(format) > 0;
}

} // namespace

bool isHonest(const Request& request, const Reply& reply, const Expected& expected) {
    switch (request.op) {
    case Open:
        if (reply.isolated != 0 && reply.isolated != 1)
            return false;
        if (reply.status == Ok) {
            const Spec& s = reply.spec;
            if (!isFormatName(s.format))
                return false;
            const std::string answered(s.format, strnlen(s.format, sizeof(s.format)));
            const bool named =
                expected.format.empty() ? !isLibraryFormat(answered) : answered == expected.format;
            return named && isPlausible(s) && reply.iccSize <= maxProfileBytes;
        }
        if (reply.status == NoMemory)
            return reply.spec.width >= 0 && reply.spec.height >= 0;
        return reply.status == Failed || (reply.status == NoReader && expected.format.empty());
    case ReadScanlines:
    case ReadImage:
        return reply.status == Failed || reply.status == NoMemory ||
               (reply.status == Ok && reply.bytes == expected.bytes);
    case TakeErrors:
        return reply.status == Ok && (reply.any == 0 || reply.any == 1);
    case Close:
        return reply.status == Ok;
    default:
        return false;
    }
}

std::string plainText(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size() && out.size() < maxTextBytes;) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (c == '\n' || (c >= 0x20 && c != 0x7F))
                out.push_back(char(c));
            else if (c == '\t')
                out.push_back(' ');
            ++i;
            continue;
        }
        const size_t length = c >= 0xF0 && c <= 0xF4  ? 4
                              : c >= 0xE0 && c < 0xF0 ? 3
                              : c >= 0xC2 && c < 0xE0 ? 2
                                                      : 0;
        bool valid = length > 0 && i + length <= text.size();
        uint32_t code = length == 2 ? c & 0x1F : length == 3 ? c & 0x0F : c & 0x07;
        for (size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3F);
        }
        valid = valid && (length != 3 || code >= 0x800) &&
                (length != 4 || (code >= 0x10000 && code <= 0x10FFFF)) &&
                !(code >= 0xD800 && code <= 0xDFFF) && !(code >= 0x80 && code < 0xA0) && code != 0x2028 &&
                code != 0x2029;
        if (valid)
            out.append(text, i, length);
        i += valid ? length : 1;
    }
    return out;
}

PictureSpec pictureSpec(const Spec& s, std::vector<uint8_t> icc) {
    PictureSpec spec;
    spec.width = s.width;
    spec.height = s.height;
    spec.nchannels = s.nchannels;
    spec.depth = s.depth;
    spec.deep = s.deep != 0;
    spec.tileWidth = s.tileWidth;
    spec.y = s.y;
    spec.z = s.z;
    spec.base = s.base == GW_IMG_8BIT    ? StoredBase::U8
                : s.base == GW_IMG_16BIT ? StoredBase::U16
                : s.base == GW_IMG_FLOAT ? StoredBase::Float
                                         : StoredBase::Other;
    spec.alphaChannel = s.alphaChannel;
    spec.namedAlpha = s.namedAlpha;
    spec.unassociatedAlpha = s.unassociatedAlpha != 0;
    // A value the EXIF standard does not define leaves the picture as stored.
    spec.orientation = s.orientation >= 1 && s.orientation <= 8 ? s.orientation : 1;
    spec.scanlineBytes = s.scanlineBytes;
    spec.imageBytes = s.imageBytes;
    spec.iccProfile = std::move(icc);
    return spec;
}

} // namespace ci::io::imagelib
