// Table-based RGB profiles run through their own grid with LittleCMS's colours, for 8-bit and
// 16-bit samples alike. Colour profiles made to cost the program's own process: multiProcessElements tags
// (float pipelines of curves of many segments, or of one table pointed at many times) are set aside for the
// tables beside them, and tables and curves that declare more data than they hold are refused, with a line on
// the console; either costs little more than an ordinary profile. Profiles that do not read whole (their end
// overwritten with zeros, a tag of a type LittleCMS does not read) are set aside and told, whichever way the
// picture comes in.

#include "support/TableProfile.h"
#include "support/TestSupport.h"
#include "test_codec_support.h"

#include "ci/core/Bitmap.h"
#include "ci/core/Context.h"
#include "ci/io/Codec.h"
#include "ci/io/ColorProfile.h"
#include "ci/io/JpegCodec.h"

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>
#include <lcms2.h>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <string>

using namespace ci;
using namespace ci::io;
using gwtest::dataPath;
using gwtest::TempDir;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int64_t kMB = int64_t(1) << 20;

int64_t peakRss() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return int64_t(usage.ru_maxrss) * 1024;
}

// ---- Profiles, written as the ICC format stores them (big-endian) ----

void put32(Bytes& b, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        b.push_back(uint8_t(v >> shift));
}
void put16(Bytes& b, uint32_t v) {
    b.insert(b.end(), {uint8_t(v >> 8), uint8_t(v)});
}
void putFloat(Bytes& b, float f) {
    uint32_t v;
    std::memcpy(&v, &f, 4);
    put32(b, v);
}
/// A type's signature and the reserved word after it.
void putType(Bytes& b, const std::string& type) {
    for (const char c : type)
        b.push_back(uint8_t(c));
    put32(b, 0);
}
uint32_t get32(const Bytes& b, size_t at) {
    return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}

struct Tag {
    std::string signature;
    Bytes data;
};

/// A profile with the header of `base` and `tags`, each stored once in its own words.
Bytes profileOf(const Bytes& base, const std::vector<Tag>& tags) {
    Bytes icc(base.begin(), base.begin() + 128);
    put32(icc, uint32_t(tags.size()));
    uint32_t at = uint32_t(icc.size() + 12 * tags.size());
    for (const Tag& t : tags) {
        for (const char c : t.signature)
            icc.push_back(uint8_t(c));
        put32(icc, at);
        put32(icc, uint32_t(t.data.size()));
        at += uint32_t(t.data.size() + 3) / 4 * 4;
    }
    for (const Tag& t : tags) {
        icc.insert(icc.end(), t.data.begin(), t.data.end());
        icc.resize((icc.size() + 3) / 4 * 4);
    }
    const uint32_t size = uint32_t(icc.size());
    for (int i = 0; i < 4; ++i)
        icc[size_t(i)] = uint8_t(size >> (24 - 8 * i));
    return icc;
}

std::vector<Tag> tagsOf(const Bytes& icc) {
    std::vector<Tag> tags;
    for (uint32_t i = 0; i < get32(icc, 128); ++i) {
        const size_t entry = 132 + 12 * size_t(i);
        const auto data = icc.begin() + get32(icc, entry + 4);
        tags.push_back({std::string(icc.begin() + ptrdiff_t(entry), icc.begin() + ptrdiff_t(entry) + 4),
                        Bytes(data, data + get32(icc, entry + 8))});
    }
    return tags;
}

/// A multiProcessElements tag from `in` to `out` channels through `elements` in order, each
/// stored once however often it comes.
Bytes multiProcess(uint32_t in, uint32_t out, const std::vector<const Bytes*>& elements) {
    Bytes tag;
    putType(tag, "mpet");
    put16(tag, in);
    put16(tag, out);
    put32(tag, uint32_t(elements.size()));
    std::map<const Bytes*, uint32_t> stored;
    Bytes data;
    const size_t start = tag.size() + 8 * elements.size();
    for (const Bytes* e : elements)
        if (stored.emplace(e, uint32_t(start + data.size())).second)
            data.insert(data.end(), e->begin(), e->end());
    for (const Bytes* e : elements) {
        put32(tag, stored[e]);
        put32(tag, uint32_t(e->size()));
    }
    tag.insert(tag.end(), data.begin(), data.end());
    return tag;
}

/// A curve-set element of `channels` curves, all one curve of `segments` segments whose breakpoints
/// are spread evenly from `from` to `to`.
Bytes segmentedCurves(uint32_t channels, uint32_t segments, float from, float to) {
    Bytes curve;
    putType(curve, "curf");
    put16(curve, segments);
    put16(curve, 0);
    for (uint32_t i = 1; i < segments; ++i)
        putFloat(curve, from + (to - from) * float(i) / float(segments));
    for (uint32_t i = 0; i < segments; ++i) {
        putType(curve, "parf");
        put16(curve, 0); // (a x + b)^g + c
        put16(curve, 0);
        for (const float parameter : {1.0f, 1.0f, 0.0f, 0.0f})
            putFloat(curve, parameter);
    }
    Bytes set;
    putType(set, "cvst");
    put16(set, channels);
    put16(set, channels);
    for (uint32_t i = 0; i < channels; ++i) {
        put32(set, 12 + 8 * channels);
        put32(set, uint32_t(curve.size()));
    }
    set.insert(set.end(), curve.begin(), curve.end());
    return set;
}

/// A float table element from `in` to `out` channels, `grid` points on each input.
Bytes floatTable(uint32_t in, uint32_t out, uint32_t grid) {
    Bytes table;
    putType(table, "clut");
    put16(table, in);
    put16(table, out);
    for (uint32_t i = 0; i < 16; ++i)
        table.push_back(uint8_t(i < in ? grid : 0));
    size_t values = out;
    for (uint32_t i = 0; i < in; ++i)
        values *= grid;
    for (size_t i = 0; i < values; ++i)
        putFloat(table, float(i % 7) / 8.0f);
    return table;
}

/// A float matrix element from `in` to `out` channels, away from the identity.
Bytes floatMatrix(uint32_t in, uint32_t out) {
    Bytes matrix;
    putType(matrix, "matf");
    put16(matrix, in);
    put16(matrix, out);
    for (uint32_t i = 0; i < in * out + out; ++i)
        putFloat(matrix, i % (in + 1) == 0 ? 0.3f : 0.1f);
    return matrix;
}

/// A lut8 (mft1) or lut16 (mft2) tag from `in` to `out` channels whose table declares `grid`
/// points on each input, with a kilobyte of data.
Bytes lutClaiming(const std::string& type, uint32_t in, uint32_t out, uint32_t grid) {
    Bytes lut;
    putType(lut, type);
    lut.insert(lut.end(), {uint8_t(in), uint8_t(out), uint8_t(grid), 0});
    for (int i = 0; i < 9; ++i)
        put32(lut, i % 4 == 0 ? 0x10000 : 0);
    if (type == "mft2") {
        put16(lut, 2);
        put16(lut, 2);
    }
    lut.resize(lut.size() + 1024, 0x40);
    return lut;
}

/// A lutAtoB (mAB) tag from `in` to `out` channels: a table of 16-bit values that declares `grid`
/// points on each input, with a kilobyte of data, then identity "B" curves.
Bytes lutAtoBClaiming(uint32_t in, uint32_t out, uint32_t grid) {
    Bytes lut;
    putType(lut, "mAB ");
    lut.insert(lut.end(), {uint8_t(in), uint8_t(out), 0, 0});
    const uint32_t table = 32, curves = table + 20 + 1024;
    for (const uint32_t offset : {curves, 0u, 0u, table, 0u}) // B, matrix, M, table, A
        put32(lut, offset);
    for (uint32_t i = 0; i < 16; ++i)
        lut.push_back(uint8_t(i < in ? grid : 0));
    lut.insert(lut.end(), {2, 0, 0, 0});
    lut.resize(lut.size() + 1024, 0x40);
    for (uint32_t i = 0; i < out; ++i) {
        putType(lut, "curv");
        put32(lut, 0);
    }
    return lut;
}

Bytes xyzTag(double x, double y, double z) {
    Bytes tag;
    putType(tag, "XYZ ");
    for (const double v : {x, y, z})
        put32(tag, uint32_t(int32_t(v * 65536.0 + 0.5)));
    return tag;
}

/// Where the data of `tag` starts in a profile.
size_t offsetOf(const Bytes& icc, const std::string& tag) {
    for (uint32_t i = 0; i < get32(icc, 128); ++i)
        if (std::memcmp(&icc[132 + 12 * size_t(i)], tag.data(), 4) == 0)
            return get32(icc, 132 + 12 * size_t(i) + 4);
    ADD_FAILURE() << "no tag " << tag;
    return icc.size();
}

/// `icc` with every byte from `from` on set to zero.
Bytes zeroedFrom(Bytes icc, size_t from) {
    std::fill(icc.begin() + ptrdiff_t(std::min(from, icc.size())), icc.end(), 0);
    return icc;
}

/// An sRGB profile as cameras and other programs embed it, its tags in the order `last` puts
/// them, the ones named there last: curves of 1024 entries (version 2), or sRGB's own function
/// (version 4, `parametric`).
Bytes srgbProfile(bool parametric, const std::vector<std::string>& last) {
    cmsToneCurve* curve = nullptr;
    if (parametric) {
        const double sRGB[5] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
        curve = cmsBuildParametricToneCurve(nullptr, 4, sRGB);
    } else {
        std::vector<uint16_t> entries(1024);
        for (size_t i = 0; i < entries.size(); ++i)
            entries[i] = uint16_t(std::lround(65535.0 * srgbDecode(float(i) / 1023.0f)));
        curve = cmsBuildTabulatedToneCurve16(nullptr, cmsUInt32Number(entries.size()), entries.data());
    }
    const cmsCIExyY d65 = {0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1.0}, {0.30, 0.60, 1.0}, {0.15, 0.06, 1.0}};
    cmsToneCurve* curves[3] = {curve, curve, curve};
    cmsHPROFILE p = cmsCreateRGBProfile(&d65, &primaries, curves);
    cmsSetProfileVersion(p, parametric ? 4.3 : 2.1);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(p, nullptr, &size);
    Bytes icc(size);
    cmsSaveProfileToMem(p, icc.data(), &size);
    cmsCloseProfile(p);
    cmsFreeToneCurve(curve);
    std::vector<Tag> tags = tagsOf(icc);
    for (const std::string& name : last) {
        const auto it =
            std::find_if(tags.begin(), tags.end(), [&](const Tag& t) { return t.signature == name; });
        if (it == tags.end())
            return {};
        const Tag moved = *it;
        tags.erase(it);
        tags.push_back(moved);
    }
    return profileOf(icc, tags);
}

// ---- Pictures ----

constexpr int kSide = 32;

/// A JPEG of kSide x kSide in RGB or in inks (as stored, no Adobe marker), with `icc` when given.
Bytes picture(bool inks, const Bytes& icc = {}) {
    const int channels = inks ? 4 : 3;
    Bytes samples(size_t(kSide) * kSide * size_t(channels));
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = uint8_t((i * 37 + i / size_t(channels) * 11) % 256);
    return codectest::encodeJpeg(
        samples, kSide, kSide, channels, inks ? JCS_CMYK : JCS_RGB,
        [](jpeg_compress_struct& c) { c.write_Adobe_marker = FALSE; }, icc);
}

/// The RGB picture of picture() as a PNG or a TIFF (read by a reader process), with `icc`.
void writePicture(const std::string& path, const Bytes& icc) {
    Bytes samples(size_t(kSide) * kSide * 3);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = uint8_t((i * 37 + i / 3 * 11) % 256);
    auto out = OIIO::ImageOutput::create(path);
    ASSERT_TRUE(out);
    OIIO::ImageSpec spec(kSide, kSide, 3, OIIO::TypeDesc::UINT8);
    if (!icc.empty())
        spec.attribute("ICCProfile", OIIO::TypeDesc(OIIO::TypeDesc::UINT8, int(icc.size())), icc.data());
    spec.attribute("tiff:write_exif", 0);
    ASSERT_TRUE(out->open(path, spec) && out->write_image(OIIO::TypeDesc::UINT8, samples.data()) &&
                out->close());
}

/// A decoded picture rendered into the working space.
Bitmap rendered(const Result<Decoded>& d) {
    EXPECT_TRUE(d.ok()) << d.error();
    if (!d.ok())
        return Bitmap{};
    auto bitmap = Context().render(d->image);
    EXPECT_TRUE(bitmap.ok()) << bitmap.error();
    return bitmap.ok() ? std::move(*bitmap) : Bitmap{};
}

/// The picture of a file, and the one that `jpeg` decodes into, in the working space.
Bitmap decodedFile(const std::string& path) {
    return rendered(decodeFile(path));
}
Bitmap decoded(const Bytes& jpeg) {
    return rendered(decodeData(jpeg));
}

/// Decodes `jpeg` into the working space and checks that it took neither long nor much memory.
Bitmap decodedCheaply(const Bytes& jpeg) {
    const int64_t before = peakRss();
    const auto started = std::chrono::steady_clock::now();
    Bitmap bitmap = decoded(jpeg);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1) * gwtest::slowdown);
    EXPECT_LT(peakRss() - before, 64 * kMB);
    return bitmap;
}

} // namespace

TEST(ColorProfile, MultiProcessElementsAreSetAsideForTheTablesBeside) {
    // The test photographs' profiles: inks through a lut16 A2B0 (cmyk-profile.jpg), Adobe RGB as
    // colorants and curves (rocket.jpg).
    const Bytes inks = jpeg::openFile(dataPath("cmyk-profile.jpg"))->spec().iccProfile;
    const Bytes adobeRgb = jpeg::openFile(dataPath("rocket.jpg"))->spec().iccProfile;
    ASSERT_FALSE(inks.empty());
    ASSERT_FALSE(adobeRgb.empty());

    // A D2B0 beside them, which LittleCMS prefers: curves of 65,535 segments (the last eighth of
    // them across the samples' range: seconds to resample for inks, a search through thousands of
    // segments for every colour of RGB), or one table of a megabyte of floats pointed at 100 times,
    // each pointer read as a table of its own (hundreds of megabytes).
    const Bytes curves4 = segmentedCurves(4, 65535, -7, 1), curves3 = segmentedCurves(3, 65535, -7, 1);
    const Bytes table4 = floatTable(4, 4, 16), table3 = floatTable(3, 3, 44);
    const Bytes matrix4 = floatMatrix(4, 3), matrix3 = floatMatrix(3, 3);
    const std::vector<const Bytes*> tables4(100, &table4), tables3(100, &table3);
    auto then = [](std::vector<const Bytes*> elements, const Bytes* last) {
        elements.push_back(last);
        return elements;
    };
    struct Case {
        const char* name;
        bool inks;
        Bytes d2b0;
    };
    const Case cases[] = {{"inks, curves", true, multiProcess(4, 3, {&curves4, &matrix4})},
                          {"inks, one table 100 times", true, multiProcess(4, 3, then(tables4, &matrix4))},
                          {"RGB, curves", false, multiProcess(3, 3, {&curves3, &matrix3})},
                          {"RGB, one table 100 times", false, multiProcess(3, 3, then(tables3, &matrix3))}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes& base = c.inks ? inks : adobeRgb;
        std::vector<Tag> tags = tagsOf(base);
        tags.insert(tags.begin(), {"D2B0", c.d2b0}); // first, so the others move up when it goes
        const Bitmap want = decoded(picture(c.inks, base));
        const Bitmap got = decodedCheaply(picture(c.inks, profileOf(base, tags)));
        EXPECT_EQ(gwtest::maxDifference(got, want), 0.0) << "converted as by the profile without D2B0";

        // With nothing left beside it, the profile is one that LittleCMS cannot read: the picture
        // is read as without one, and the console says so.
        const Bytes alone = profileOf(base, {{"wtpt", xyzTag(0.9642, 1, 0.8249)}, {"D2B0", c.d2b0}});
        gwtest::ConsoleCapture console;
        EXPECT_EQ(gwtest::maxDifference(decodedCheaply(picture(c.inks, alone)), decoded(picture(c.inks))),
                  0.0);
        EXPECT_TRUE(console.contains("readProfile: ⛔️ the colour profile cannot be read (LittleCMS: "));
    }
}

TEST(ColorProfile, TablesAndCurvesThatDeclareMoreThanTheyHoldAreRefusedAndTold) {
    const Bytes inks = jpeg::openFile(dataPath("cmyk-profile.jpg"))->spec().iccProfile;
    const Bytes adobeRgb = jpeg::openFile(dataPath("rocket.jpg"))->spec().iccProfile;
    ASSERT_FALSE(inks.empty());
    ASSERT_FALSE(adobeRgb.empty());
    const Tag white = {"wtpt", xyzTag(0.9642, 1, 0.8249)};

    // A kilobyte of table whose grid declares up to half a gigabyte: LittleCMS allocated and
    // cleared that much before it found the data missing. A curve that declares 30,000 entries.
    Bytes curve;
    putType(curve, "curv");
    put32(curve, 30000);
    put16(curve, 0);
    std::vector<Tag> shortCurve = tagsOf(adobeRgb);
    for (Tag& t : shortCurve)
        if (t.signature == "gTRC")
            t.data = curve;
    struct Case {
        const char* name;
        bool inks;
        Bytes icc;
        std::string tag;
    };
    const Case cases[] = {
        {"lut16, RGB", false, profileOf(adobeRgb, {white, {"A2B0", lutClaiming("mft2", 3, 15, 255)}}),
         "A2B0"},
        {"lut8, RGB", false, profileOf(adobeRgb, {white, {"A2B0", lutClaiming("mft1", 3, 15, 255)}}), "A2B0"},
        {"lutAtoB, RGB", false, profileOf(adobeRgb, {white, {"A2B0", lutAtoBClaiming(3, 15, 255)}}), "A2B0"},
        {"lut16, inks", true, profileOf(inks, {white, {"A2B0", lutClaiming("mft2", 4, 3, 96)}}), "A2B0"},
        {"lutAtoB, inks", true, profileOf(inks, {white, {"A2B1", lutAtoBClaiming(4, 3, 96)}}), "A2B1"},
        {"curve of a matrix-shaper", false, profileOf(adobeRgb, shortCurve), "gTRC"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        gwtest::ConsoleCapture console;
        const Bitmap got = decodedCheaply(picture(c.inks, c.icc));
        EXPECT_EQ(gwtest::maxDifference(got, decoded(picture(c.inks))), 0.0) << "read without the profile";
        EXPECT_TRUE(console.contains("readProfile: ⛔️ the colour profile's tag " + c.tag +
                                     " declares more data than it holds; the picture is read without it"));
    }
}

TEST(ColorProfile, AProfileThatDoesNotReadWholeIsSetAsideAndTold) {
    // sRGB profiles whose end was overwritten with zeros, as damage to the end of a file leaves
    // them, or whose tag is of a type LittleCMS does not read there. LittleCMS converts with most of
    // them without a word: a curve that falls to zero, a gamma or a colorant of zero, or a curve of
    // no entries (a straight line) come out of such a profile.
    const std::vector<std::string> curvesLast = {"rTRC", "gTRC", "bTRC"};
    const Bytes table = srgbProfile(false, curvesLast), function = srgbProfile(true, curvesLast);
    const Bytes colorantLast = srgbProfile(false, {"bXYZ"}), textLast = srgbProfile(false, {"cprt"});
    ASSERT_FALSE(table.empty() || function.empty() || colorantLast.empty() || textLast.empty());
    Bytes strange = table;
    std::memcpy(&strange[offsetOf(strange, "bTRC")], "sf32", 4);
    struct Case {
        const char* name;
        Bytes icc;
        std::string told; ///< the clause of the console's line, "" for a profile that is used
    };
    const Case cases[] = {
        {"curve's entries", zeroedFrom(table, offsetOf(table, "bTRC") + 12 + 2 * 700), "bTRC ends in zeros"},
        {"curve's count", zeroedFrom(table, offsetOf(table, "bTRC") + 8), "bTRC ends in zeros"},
        {"curve's type", zeroedFrom(table, offsetOf(table, "bTRC")), "bTRC cannot be read"},
        {"the curve before", zeroedFrom(table, offsetOf(table, "gTRC") + 12 + 2 * 100), "gTRC ends in zeros"},
        {"function's parameters", zeroedFrom(function, offsetOf(function, "bTRC") + 12),
         "bTRC ends in zeros"},
        {"function's kind", zeroedFrom(function, offsetOf(function, "bTRC") + 8), "bTRC ends in zeros"},
        {"colorant", zeroedFrom(colorantLast, offsetOf(colorantLast, "bXYZ") + 8), "bXYZ ends in zeros"},
        {"type unknown there", strange, "bTRC cannot be read"},
        {"text only", zeroedFrom(textLast, offsetOf(textLast, "cprt") + 8), ""}};

    // LittleCMS alone applies the first: white comes out far from white.
    {
        cmsHPROFILE damaged =
            cmsOpenProfileFromMem(cases[0].icc.data(), cmsUInt32Number(cases[0].icc.size()));
        cmsHPROFILE srgb = cmsCreate_sRGBProfile();
        cmsHTRANSFORM t = cmsCreateTransform(damaged, TYPE_RGB_8, srgb, TYPE_RGB_8, INTENT_PERCEPTUAL, 0);
        ASSERT_NE(t, nullptr);
        const uint8_t white[3] = {255, 255, 255};
        uint8_t got[3];
        cmsDoTransform(t, white, got, 1);
        EXPECT_LT(got[2], 128);
        cmsDeleteTransform(t);
        cmsCloseProfile(srgb);
        cmsCloseProfile(damaged);
    }

    // Each way a profile comes in: a JPEG's or a PNG's, read here, and a TIFF's, from its reader.
    TempDir tmp;
    for (const std::string kind : {"jpg", "png", "tif"}) {
        const auto write = [&](const std::string& name, const Bytes& icc) {
            const std::string path = tmp.file(name + "." + kind);
            if (kind == "jpg")
                gwtest::writeBytes(path, picture(false, icc));
            else
                writePicture(path, icc);
            return path;
        };
        const Bitmap intact = decodedFile(write("intact", table));
        ASSERT_EQ(gwtest::maxDifference(intact, decodedFile(write("none", {}))), 0.0) << "sRGB is no change";
        for (size_t i = 0; i < std::size(cases); ++i) {
            const Case& c = cases[i];
            SCOPED_TRACE(kind + ": " + c.name);
            const std::string path = write("damaged" + std::to_string(i), c.icc);
            gwtest::ConsoleCapture console;
            EXPECT_EQ(gwtest::maxDifference(decodedFile(path), intact), 0.0);
            if (c.told.empty())
                EXPECT_FALSE(console.contains("readProfile"));
            else
                EXPECT_TRUE(console.contains("readProfile: ⛔️ " + path + ": the colour profile's tag " +
                                             c.told + "; the picture is read without it"));
        }
    }

    // A profile of inks whose table ends the file: its output tables fall to zero.
    const Bytes inks = jpeg::openFile(dataPath("cmyk-profile.jpg"))->spec().iccProfile;
    ASSERT_FALSE(inks.empty());
    std::vector<Tag> tags = tagsOf(inks);
    std::stable_partition(tags.begin(), tags.end(), [](const Tag& t) { return t.signature != "A2B0"; });
    const Bytes tableLast = profileOf(inks, tags);
    gwtest::ConsoleCapture console;
    EXPECT_EQ(gwtest::maxDifference(decoded(picture(true, zeroedFrom(tableLast, tableLast.size() - 100))),
                                    decoded(picture(true))),
              0.0);
    EXPECT_TRUE(
        console.contains("readProfile: ⛔️ the colour profile's tag A2B0 ends in zeros; the picture is "
                         "read without it"));
}

TEST(ColorProfile, ATableBasedProfileRunsThroughItsOwnGridWithLittleCMSsColours) {
    struct Case {
        const char* name;
        gwtest::TableProfileOptions options;
        bool ownGrid; ///< else LittleCMS converts, as before
    };
    gwtest::TableProfileOptions input, output, wide, v4, xyz, coarse, matrix;
    input.curvedInput = true;
    output.curvedOutput = true;
    wide.gridPoints = 33, wide.wide = true;
    v4.v4 = true, v4.curvedInput = true, v4.curvedOutput = true;
    xyz.xyz = true;
    coarse.gridPoints = 9;
    matrix.v4 = true, matrix.matrix = true;
    const Case cases[] = {{"lut16 of 17 points", {}, true},
                          {"input curves", input, true},
                          {"output curves", output, true},
                          {"33 points, a gamut wider than sRGB", wide, true},
                          {"lutAtoB (version 4) with curves", v4, true},
                          {"XYZ", xyz, true},
                          {"9 points", coarse, true},
                          {"lutAtoB with a matrix", matrix, false}};
    cmsHPROFILE linear = gwtest::linearSRGBProfile();
    // Every fifth level of each sample, 0 and 255 included; for 16 bits between 8-bit levels too.
    std::vector<uint8_t> bytes;
    std::vector<uint16_t> words;
    for (int r = 0; r <= 255; r += 5)
        for (int g = 0; g <= 255; g += 5)
            for (int b = 0; b <= 255; b += 5) {
                bytes.insert(bytes.end(), {uint8_t(r), uint8_t(g), uint8_t(b)});
                const int n = int(words.size() / 4);
                words.insert(words.end(), {uint16_t(r * 257 - (r ? n % 200 : 0)), uint16_t(g * 257),
                                           uint16_t(b * 257 + (b < 255 ? n % 200 : 0)), 65535});
            }
    const size_t count = bytes.size() / 3;
    // How far apart two conversions are, in 8-bit levels of sRGB-encoded values (sign kept).
    const auto worstOf = [&](const std::vector<float>& got, const std::vector<float>& want) {
        double worst = 0;
        for (size_t i = 0; i < count; ++i)
            for (size_t c = 0; c < 3; ++c)
                worst = std::max(worst,
                                 255.0 * std::fabs(srgbEncode(got[i * 4 + c]) - srgbEncode(want[i * 3 + c])));
        return worst;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes icc = gwtest::tableProfile(c.options);
        ASSERT_FALSE(icc.empty());
        cmsHPROFILE profile = cmsOpenProfileFromMem(icc.data(), cmsUInt32Number(icc.size()));
        for (const bool wideSamples : {false, true}) {
            SCOPED_TRACE(wideSamples ? "16-bit" : "8-bit");
            const auto conv =
                ProfileConverter::create(icc.data(), icc.size(), SampleColours::RGB, wideSamples ? 4 : 3,
                                         wideSamples ? SampleType::U16 : SampleType::U8);
            ASSERT_TRUE(conv);
            EXPECT_EQ(conv->convertsCheaply(), c.ownGrid);
            cmsHTRANSFORM exact = cmsCreateTransform(profile, wideSamples ? TYPE_RGBA_16 : TYPE_RGB_8, linear,
                                                     TYPE_RGB_FLT, INTENT_PERCEPTUAL, cmsFLAGS_NOCACHE);
            ASSERT_NE(exact, nullptr);
            std::vector<float> got(count * 4), want(count * 3);
            const void* samples = wideSamples ? static_cast<const void*>(words.data()) : bytes.data();
            conv->convert(samples, got.data(), int64_t(count));
            cmsDoTransform(exact, samples, want.data(), cmsUInt32Number(count));
            EXPECT_LE(worstOf(got, want), 0.5);

            // Converted in one go or one by one (in groups of eight, or alone), the same.
            std::vector<float> alone(4);
            for (size_t i = 0; i < 9; ++i) {
                conv->convert(static_cast<const uint8_t*>(samples) + i * (wideSamples ? 8 : 3), alone.data(),
                              1);
                EXPECT_EQ(std::memcmp(alone.data(), &got[i * 4], 3 * sizeof(float)), 0) << i;
            }
            cmsDeleteTransform(exact);
        }
        cmsCloseProfile(profile);
    }

    // 16-bit samples keep their precision: neighbours within one 8-bit level stay apart, as
    // LittleCMS has them.
    {
        const Bytes icc = gwtest::tableProfile(input);
        const auto conv =
            ProfileConverter::create(icc.data(), icc.size(), SampleColours::RGB, 3, SampleType::U16);
        ASSERT_TRUE(conv && conv->convertsCheaply());
        const uint16_t close[6] = {30000, 20000, 10000, 30064, 20064, 10064};
        float got[8];
        conv->convert(close, got, 2);
        EXPECT_GT(std::fabs(got[0] - got[4]), 1e-4f);
    }

    // A photograph's own samples.
    {
        auto photo = decodeFile(dataPath("rocket.jpg"));
        ASSERT_TRUE(photo.ok()) << photo.error();
        auto pixels = Context().renderSRGB(photo->image, photo->image.extent());
        ASSERT_TRUE(pixels.ok());
        const Bytes icc = gwtest::tableProfile(output);
        const auto conv =
            ProfileConverter::create(icc.data(), icc.size(), SampleColours::RGB, 4, SampleType::U8);
        ASSERT_TRUE(conv && conv->convertsCheaply());
        cmsHPROFILE profile = cmsOpenProfileFromMem(icc.data(), cmsUInt32Number(icc.size()));
        cmsHTRANSFORM exact = cmsCreateTransform(profile, TYPE_RGBA_8, linear, TYPE_RGBA_FLT,
                                                 INTENT_PERCEPTUAL, cmsFLAGS_NOCACHE);
        const size_t n = size_t(pixels->width) * size_t(pixels->height);
        std::vector<float> got(n * 4), want(n * 4);
        conv->convert(pixels->data.data(), got.data(), int64_t(n));
        cmsDoTransform(exact, pixels->data.data(), want.data(), cmsUInt32Number(n));
        double worst = 0;
        for (size_t i = 0; i < n; ++i)
            for (size_t c = 0; c < 3; ++c)
                worst = std::max(worst,
                                 255.0 * std::fabs(srgbEncode(got[i * 4 + c]) - srgbEncode(want[i * 4 + c])));
        EXPECT_LE(worst, 0.5);
        cmsDeleteTransform(exact);
        cmsCloseProfile(profile);
    }
    cmsCloseProfile(linear);
}
