#pragma once

// A look at the structure of an ICC profile before LittleCMS reads it. LittleCMS sizes what it
// allocates, and what each conversion of a colour runs through, by the counts a profile declares,
// and the program converts in its own process: what a profile may cost is bounded here by the
// bytes that hold it. LittleCMS also reads a profile whose end was overwritten with zeros (damage
// to the end of a file) without a word, and converts wrongly with it: that is looked for here too.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ci::io {

/// The largest profile read: as much as a PNG's chunk may carry, more than a JPEG's 255 chunks.
constexpr size_t kMaxProfileBytes = size_t(16) << 20;

/// What LittleCMS may read of a profile to convert colours from it.
struct CheckedProfile {
    /// Whether LittleCMS is to read the profile at all. It is not when the profile is no profile
    /// LittleCMS reads (its header or its table of tags cut short, too many tags), nor when it is
    /// refused.
    bool read = false;
    /// Why the profile was refused, as a clause of the console's line, e.g. "the colour profile's
    /// tag A2B0 declares more data than it holds" or "... tag bTRC ends in zeros"; empty when it
    /// was not.
    std::string refused;
    /// The profile to read instead of the one given, when not empty: the same without its
    /// multiProcessElements tags (D2Bx, B2Dx), so that LittleCMS converts through the tables
    /// beside them (A2Bx) or the curves and colorants, as most programs do.
    std::vector<uint8_t> trimmed;
};

/// Checks a profile's header and table of tags, and in every tag that LittleCMS reads to convert
/// from the profile (A2B0..2, the colorants, curves and white of a matrix-shaper, named colours)
/// that the sizes declared (entries of curves, grid points of tables, channels) fit in the
/// tag's own bytes. Then what LittleCMS allocates is a small multiple of the profile's size, and
/// each colour converted costs a fixed amount. In the same tags, data that end in zeros as no real
/// profile's do (a curve or output table that falls to zero at its end, a gamma, a factor or a
/// colorant of zero, a curve of no entries in a tag of many zeros, a table whose last point is
/// zero) refuse the profile too. Takes microseconds.
CheckedProfile checkProfile(const uint8_t* icc, size_t size);

} // namespace ci::io
