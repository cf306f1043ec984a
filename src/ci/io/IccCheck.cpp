#include "IccCheck.h"

#include <algorithm>

namespace ci::io {

namespace {

uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
uint32_t be16(const uint8_t* p) {
    return uint32_t(p[0]) << 8 | uint32_t(p[1]);
}

constexpr uint32_t signature(const char (&s)[5]) {
    return uint32_t(uint8_t(s[0])) << 24 | uint32_t(uint8_t(s[1])) << 16 | uint32_t(uint8_t(s[2])) << 8 |
           uint32_t(uint8_t(s[3]));
}

// LittleCMS's own bounds: the tags of a profile it opens, and the channels of a table.
constexpr uint32_t kMaxTags = 100;
constexpr uint32_t kMaxChannels = 16;

constexpr size_t kHeaderBytes = 128;
constexpr size_t kTagEntryBytes = 12;

/// How a tag's declared sizes compare with its bytes. Zeroed: its data end in zeros where no
/// real profile has them (a curve that falls to zero at its end, a gamma or a colorant of zero),
/// as a profile whose end was overwritten has them.
enum class Fit { Fits, Over, Unreadable, Zeroed };

/// One tag's bytes, and where they start in the profile (LittleCMS aligns the curves of a set to the
/// profile's words).
struct TagBytes {
    const uint8_t* data;
    uint64_t size;
    uint64_t offset;
};

/// `count` times the grid points of each of the first `dims` dimensions; anything past `limit` is
/// given as limit + 1, so nothing overflows.
uint64_t cells(const uint8_t* grid, uint32_t dims, uint64_t count, uint64_t limit) {
    for (uint32_t i = 0; i < dims && count <= limit; ++i)
        count *= grid[i];
    return std::min(count, limit + 1);
}

/// Whether a table of `count` values `step` bytes apart (big-endian, 1 or 2 bytes each) falls to zero
/// at its end: its last value is zero, and it is not a falling curve (one whose first value is its
/// largest). Only an overwritten curve rises and then ends at zero, or is zero throughout.
bool fallsToZero(const uint8_t* values, uint64_t count, int bytes) {
    if (count < 2)
        return false;
    const auto at = [&](uint64_t i) { return bytes == 2 ? be16(values + 2 * i) : uint32_t(values[i]); };
    uint32_t largest = 0;
    for (uint64_t i = 0; i < count; ++i)
        largest = std::max(largest, at(i));
    return at(count - 1) == 0 && !(at(0) > 0 && at(0) == largest);
}

/// The curve (curv or para) at `at`; `end` is set past it. `monaco` admits the broken type of curve
/// that LittleCMS reads as curv in a tag of its own.
Fit curveAt(const TagBytes& t, uint64_t at, uint64_t& end, bool monaco = false) {
    if (at + 12 > t.size)
        return Fit::Over;
    const uint32_t type = be32(t.data + at);
    uint64_t bytes = 12;
    if (type == signature("curv") || (monaco && type == 0x9478ee00)) {
        const uint64_t entries = be32(t.data + at + 8);
        bytes += entries == 1 ? 2 : 2 * entries;
        end = at + bytes;
        if (end > t.size)
            return Fit::Over;
        // One entry is a gamma (8.8 fixed point); x to the power 0 is no curve.
        if ((entries == 1 && be16(t.data + at + 12) == 0) || fallsToZero(t.data + at + 12, entries, 2))
            return Fit::Zeroed;
        return Fit::Fits;
    }
    if (type == signature("para")) {
        static const uint32_t parameters[] = {1, 3, 4, 5, 7};
        const uint32_t function = be16(t.data + at + 8);
        if (function > 4)
            return Fit::Unreadable;
        bytes += 4 * parameters[function];
        end = at + bytes;
        if (end > t.size)
            return Fit::Over;
        // The gamma, then the factor of x: zero in either leaves a constant, or a division by zero.
        if (be32(t.data + at + 12) == 0 || (function > 0 && be32(t.data + at + 16) == 0))
            return Fit::Zeroed;
        return Fit::Fits;
    }
    return Fit::Unreadable;
}

/// A set of `count` curves from `at`, each starting on a word of the profile.
Fit curvesAt(const TagBytes& t, uint64_t at, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        uint64_t end = 0;
        if (const Fit fit = curveAt(t, at, end); fit != Fit::Fits)
            return fit;
        at = end + (4 - (t.offset + end) % 4) % 4;
    }
    return Fit::Fits;
}

/// lut8 (mft1) and lut16 (mft2): a matrix, input tables, a table of `grid` points on each input,
/// output tables.
Fit lutFits(const TagBytes& t, bool wide) {
    const uint64_t head = wide ? 52 : 48;
    if (t.size < head)
        return Fit::Over;
    const uint32_t in = t.data[8], out = t.data[9], grid = t.data[10];
    if (in == 0 || in > kMaxChannels || out == 0 || out > kMaxChannels || grid == 1)
        return Fit::Unreadable;
    const uint64_t inEntries = wide ? be16(t.data + 48) : 256, outEntries = wide ? be16(t.data + 50) : 256;
    uint8_t grids[kMaxChannels];
    std::fill_n(grids, kMaxChannels, uint8_t(grid));
    const uint64_t table = grid == 0 ? 0 : cells(grids, in, out, t.size);
    const uint64_t values = in * inEntries + table + out * outEntries;
    const int bytes = wide ? 2 : 1;
    if (head + values * uint64_t(bytes) > t.size)
        return Fit::Over;
    // The output tables come last: an overwritten end shows in them.
    const uint8_t* outputs = t.data + head + (in * inEntries + table) * uint64_t(bytes);
    for (uint64_t i = 0; i < out; ++i)
        if (fallsToZero(outputs + i * outEntries * uint64_t(bytes), outEntries, bytes))
            return Fit::Zeroed;
    return Fit::Fits;
}

/// lutAtoB (mAB): "A" curves, a table, "M" curves, a matrix and "B" curves, each at its offset.
Fit lutAtoBFits(const TagBytes& t) {
    if (t.size < 32)
        return Fit::Over;
    const uint32_t in = t.data[8], out = t.data[9];
    if (in == 0 || in >= kMaxChannels || out == 0 || out >= kMaxChannels)
        return Fit::Unreadable;
    const uint64_t b = be32(t.data + 12), matrix = be32(t.data + 16), m = be32(t.data + 20),
                   table = be32(t.data + 24), a = be32(t.data + 28);
    Fit fit = Fit::Fits;
    if (a != 0)
        fit = curvesAt(t, a, in);
    if (fit == Fit::Fits && table != 0) {
        if (table + 20 > t.size)
            return Fit::Over;
        const uint8_t* grid = t.data + table;
        const uint32_t precision = grid[16];
        if ((precision != 1 && precision != 2) ||
            std::any_of(grid, grid + in, [](uint8_t g) { return g < 2; }))
            return Fit::Unreadable;
        const uint64_t values = cells(grid, in, out, t.size);
        if (table + 20 + values * precision > t.size)
            return Fit::Over;
        // The last point is the device's extreme (white, or all inks): never zero in every channel.
        const uint8_t* last = t.data + table + 20 + (values - out) * precision;
        if (std::all_of(last, last + out * precision, [](uint8_t b) { return b == 0; }))
            return Fit::Zeroed;
    }
    if (fit == Fit::Fits && m != 0)
        fit = curvesAt(t, m, out);
    if (fit == Fit::Fits && matrix != 0 && matrix + 48 > t.size)
        fit = Fit::Over;
    if (fit == Fit::Fits && b != 0)
        fit = curvesAt(t, b, out);
    return fit;
}

/// namedColor2 (ncl2): a prefix and suffix, then each colour's name, PCS value and device values.
Fit namedColoursFit(const TagBytes& t) {
    if (t.size < 84)
        return Fit::Over;
    const uint64_t count = be32(t.data + 12), coordinates = be32(t.data + 16);
    if (coordinates > kMaxChannels)
        return Fit::Unreadable;
    return 84 + count * (38 + 2 * coordinates) <= t.size ? Fit::Fits : Fit::Over;
}

/// How a tag that LittleCMS reads to convert from a profile fits its bytes; other tags fit.
/// (The colorants, white and black points and the adaptation matrix have sizes of their own.)
Fit tagFits(uint32_t tag, const TagBytes& t) {
    const uint32_t type = be32(t.data);
    switch (tag) {
    case signature("A2B0"):
    case signature("A2B1"):
    case signature("A2B2"):
        // LittleCMS reads no other type of table for these.
        return type == signature("mft1")   ? lutFits(t, false)
               : type == signature("mft2") ? lutFits(t, true)
               : type == signature("mAB ") ? lutAtoBFits(t)
                                           : Fit::Fits;
    case signature("rTRC"):
    case signature("gTRC"):
    case signature("bTRC"):
    case signature("kTRC"): {
        uint64_t end = 0;
        const bool curve = type == signature("curv") || type == signature("para") || type == 0x9478ee00;
        if (!curve)
            return Fit::Fits;
        const Fit fit = curveAt(t, 0, end, true);
        // A curve of no entries in a tag that holds many zeros after it is one whose count was
        // overwritten.
        if (fit == Fit::Fits && type != signature("para") && be32(t.data + 8) == 0 && t.size > 16 &&
            std::all_of(t.data + 12, t.data + t.size, [](uint8_t b) { return b == 0; }))
            return Fit::Zeroed;
        return fit;
    }
    case signature("rXYZ"):
    case signature("gXYZ"):
    case signature("bXYZ"):
        // A colorant of zero takes its channel out of every colour.
        return type == signature("XYZ ") && t.size >= 20 &&
                       std::all_of(t.data + 8, t.data + 20, [](uint8_t b) { return b == 0; })
                   ? Fit::Zeroed
                   : Fit::Fits;
    case signature("ncl2"):
        return type == signature("ncl2") ? namedColoursFit(t) : Fit::Fits;
    default:
        return Fit::Fits;
    }
}

/// Tags of multiProcessElements: float pipelines whose elements may be any number of curves of up to
/// 65,535 segments each, and may all point at one table, each pointer read as a table of its own.
/// Nothing bounds their cost but the counts they declare, and LittleCMS prefers them to A2Bx.
bool isMultiProcess(uint32_t tag) {
    for (const uint32_t t : {signature("D2B0"), signature("D2B1"), signature("D2B2"), signature("D2B3"),
                             signature("B2D0"), signature("B2D1"), signature("B2D2"), signature("B2D3")})
        if (tag == t)
            return true;
    return false;
}

std::string tagName(uint32_t tag) {
    return {char(tag >> 24), char(tag >> 16), char(tag >> 8), char(tag)};
}

} // namespace

CheckedProfile checkProfile(const uint8_t* icc, size_t size) {
    CheckedProfile checked;
    if (size > kMaxProfileBytes) {
        checked.refused = "the colour profile is larger than 16 MB";
        return checked;
    }
    // What LittleCMS opens: the header's mark, a table of at most 100 tags within the bytes.
    if (!icc || size < kHeaderBytes + 4 || be32(icc + 36) != signature("acsp"))
        return checked;
    const uint32_t count = be32(icc + kHeaderBytes);
    if (count > kMaxTags || kHeaderBytes + 4 + count * kTagEntryBytes > size)
        return checked;
    // LittleCMS passes by the tags beyond the size that the header declares, when it is the smaller.
    const uint64_t within = std::min<uint64_t>(be32(icc), size);

    std::vector<uint32_t> kept;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* entry = icc + kHeaderBytes + 4 + i * kTagEntryBytes;
        const uint32_t tag = be32(entry);
        const uint64_t offset = be32(entry + 4), bytes = be32(entry + 8);
        if (isMultiProcess(tag))
            continue;
        kept.push_back(i);
        if (offset + bytes > within || bytes < 8)
            continue; // not read
        const Fit fit = tagFits(tag, TagBytes{icc + offset, bytes, offset});
        if (fit != Fit::Fits) {
            checked.refused = "the colour profile's tag " + tagName(tag) +
                              (fit == Fit::Over     ? " declares more data than it holds"
                               : fit == Fit::Zeroed ? " ends in zeros"
                                                    : " cannot be read");
            return checked;
        }
    }
    checked.read = true;
    if (kept.size() < count) {
        // The table without them; the tags' data stay where they are.
        checked.trimmed.assign(icc, icc + size);
        uint8_t* table = checked.trimmed.data() + kHeaderBytes;
        const uint32_t left = uint32_t(kept.size());
        table[0] = uint8_t(left >> 24), table[1] = uint8_t(left >> 16), table[2] = uint8_t(left >> 8),
        table[3] = uint8_t(left);
        for (size_t k = 0; k < kept.size(); ++k)
            std::copy_n(icc + kHeaderBytes + 4 + kept[k] * kTagEntryBytes, kTagEntryBytes,
                        table + 4 + k * kTagEntryBytes);
    }
    return checked;
}

} // namespace ci::io
