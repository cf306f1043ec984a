// TIFF files in strips or tiles, made here with libtiff as other programs write them: a strip or
// tile of JPEG data (RGB or YCbCr) cut short, zeroed or reaching past the file's end fails its file
// at its first row, and one that lacks no more than its end marker does not; files whose planes
// are stored apart, in deflated strips of many rows, read whole, and damage in their strips fails
// them at its row; YCbCr in JPEG with its planes apart, which the image library cannot read, fails
// as a layout not supported.

#include "support/TestSupport.h"
#include "test_codec_support.h"

#include "ci/core/Context.h"
#include "ci/io/Codec.h"

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>
#include <tiffio.h>

#include <functional>
#include <string>
#include <vector>

using namespace ci;
using namespace ci::io;
using codectest::damagedTiff;
using codectest::readEachWay;
using gwtest::readBytes;
using gwtest::TempDir;
using gwtest::writeBytes;

namespace {

struct Layout {
    int width = 256;
    int height = 200;
    int rowsPerStrip = 64;
    int bits = 8;
    uint16_t compression = COMPRESSION_JPEG;
    uint16_t photometric = PHOTOMETRIC_RGB;
    bool planar = false;
    int tile = 0; ///< the side of square tiles, 0 for strips
};

/// A sample of a picture with detail in every strip, so that each JPEG stream holds real data; a
/// float one is 16 bits' worth.
uint32_t sample(const Layout& l, int x, int y, int c) {
    const uint32_t v = uint32_t(x * 7 + y * 3 + c * 85) ^ uint32_t((x / 5) * (y / 3));
    return l.bits > 8 ? (v * 257 + uint32_t(x * 31 + y * 17)) & 0xFFFF : v & 0xFF;
}

void setFields(TIFF* t, const Layout& l) {
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(l.width));
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, uint32_t(l.height));
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, uint16_t(l.bits));
    TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, l.bits == 32 ? SAMPLEFORMAT_IEEEFP : SAMPLEFORMAT_UINT);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, uint16_t(3));
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, l.planar ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, l.photometric);
    TIFFSetField(t, TIFFTAG_COMPRESSION, l.compression);
    if (l.tile) {
        TIFFSetField(t, TIFFTAG_TILEWIDTH, uint32_t(l.tile));
        TIFFSetField(t, TIFFTAG_TILELENGTH, uint32_t(l.tile));
    } else {
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, uint32_t(l.rowsPerStrip));
    }
    if (l.photometric == PHOTOMETRIC_YCBCR && l.planar)
        TIFFSetField(t, TIFFTAG_YCBCRSUBSAMPLING, uint16_t(1), uint16_t(1));
}

/// The picture of `l` written with libtiff at `path`; false when libtiff refuses it.
bool writeTiff(const std::string& path, const Layout& l) {
    TIFF* t = TIFFOpen(path.c_str(), "w");
    if (!t)
        return false;
    setFields(t, l);
    if (l.compression == COMPRESSION_JPEG)
        TIFFSetField(t, TIFFTAG_JPEGQUALITY, 90);
    if (l.photometric == PHOTOMETRIC_YCBCR && !l.planar)
        TIFFSetField(t, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB); // given RGB, stored subsampled
    if (l.compression == COMPRESSION_ADOBE_DEFLATE)
        TIFFSetField(t, TIFFTAG_ZIPQUALITY, 1);
    const int planes = l.planar ? 3 : 1, perPixel = l.planar ? 1 : 3;
    bool ok = true;
    if (l.tile) {
        std::vector<uint8_t> tile(size_t(l.tile) * size_t(l.tile) * size_t(perPixel));
        for (int p = 0; p < planes && ok; ++p)
            for (int y0 = 0; y0 < l.height && ok; y0 += l.tile)
                for (int x0 = 0; x0 < l.width && ok; x0 += l.tile) {
                    for (int y = 0; y < l.tile; ++y)
                        for (int x = 0; x < l.tile; ++x)
                            for (int c = 0; c < perPixel; ++c)
                                tile[(size_t(y) * size_t(l.tile) + size_t(x)) * size_t(perPixel) +
                                     size_t(c)] = uint8_t(sample(l, x0 + x, y0 + y, l.planar ? p : c));
                    ok = TIFFWriteTile(t, tile.data(), uint32_t(x0), uint32_t(y0), 0, uint16_t(p)) >= 0;
                }
        TIFFClose(t);
        return ok;
    }
    std::vector<uint8_t> row(size_t(l.width) * size_t(perPixel) * size_t(l.bits / 8));
    for (int p = 0; p < planes && ok; ++p)
        for (int y = 0; y < l.height && ok; ++y) {
            for (int x = 0; x < l.width; ++x)
                for (int c = 0; c < perPixel; ++c) {
                    const uint32_t v = sample(l, x, y, l.planar ? p : c);
                    const size_t i = size_t(x) * size_t(perPixel) + size_t(c);
                    if (l.bits == 32)
                        reinterpret_cast<float*>(row.data())[i] = float(v) / 65535.0f;
                    else if (l.bits == 16)
                        reinterpret_cast<uint16_t*>(row.data())[i] = uint16_t(v);
                    else
                        row[i] = uint8_t(v);
                }
            ok = TIFFWriteScanline(t, row.data(), uint32_t(y), uint16_t(p)) >= 0;
        }
    TIFFClose(t);
    return ok;
}

/// A copy of the TIFF of `l` at `from`, at `to`, with the stored data of strip (or tile) `index`
/// changed by `edit`; false when libtiff refuses it.
bool editStrip(const std::string& from, const std::string& to, const Layout& l, uint32_t index,
               const std::function<void(std::vector<uint8_t>&)>& edit) {
    TIFF* in = TIFFOpen(from.c_str(), "r");
    TIFF* out = TIFFOpen(to.c_str(), "w");
    bool ok = in && out;
    if (ok) {
        setFields(out, l);
        uint32_t tablesSize = 0;
        void* tables = nullptr;
        if (TIFFGetField(in, TIFFTAG_JPEGTABLES, &tablesSize, &tables))
            TIFFSetField(out, TIFFTAG_JPEGTABLES, tablesSize, tables);
        const uint32_t count = l.tile ? TIFFNumberOfTiles(in) : TIFFNumberOfStrips(in);
        for (uint32_t s = 0; s < count && ok; ++s) {
            std::vector<uint8_t> bytes(size_t(TIFFGetStrileByteCount(in, s)));
            const tmsize_t size = tmsize_t(bytes.size());
            ok = (l.tile ? TIFFReadRawTile(in, s, bytes.data(), size)
                         : TIFFReadRawStrip(in, s, bytes.data(), size)) == size;
            if (s == index)
                edit(bytes);
            const tmsize_t edited = tmsize_t(bytes.size());
            ok = ok && (l.tile ? TIFFWriteRawTile(out, s, bytes.data(), edited)
                               : TIFFWriteRawStrip(out, s, bytes.data(), edited)) >= 0;
        }
    }
    if (out)
        TIFFClose(out);
    if (in)
        TIFFClose(in);
    return ok;
}

void cut(std::vector<uint8_t>& b) {
    b.resize(b.size() / 2);
}

void zeroHalf(std::vector<uint8_t>& b) {
    std::fill(b.begin() + ptrdiff_t(b.size() / 2), b.end(), 0);
}

void zero(std::vector<uint8_t>& b) {
    std::fill(b.begin(), b.end(), 0);
}

void withoutEndMarker(std::vector<uint8_t>& b) {
    b.resize(b.size() - 2);
}

/// The largest difference between the pictures of two files, as decoded; -1 when one fails.
double difference(const std::string& a, const std::string& b) {
    const auto first = decodeFile(a), second = decodeFile(b);
    if (!first.ok() || !second.ok())
        return -1;
    return gwtest::maxDifference(*Context().render(first->image), *Context().render(second->image));
}

/// The picture at `path` as the image library reads it by itself, written again uncompressed.
std::string libraryCopy(const TempDir& tmp, const std::string& path) {
    auto in = OIIO::ImageInput::open(path);
    if (!in)
        return {};
    const OIIO::ImageSpec spec(in->spec().width, in->spec().height, in->spec().nchannels, OIIO::TypeUInt8);
    std::vector<uint8_t> pixels(spec.image_bytes());
    const std::string copy = tmp.file("library-copy.tif");
    auto out = OIIO::ImageOutput::create(copy);
    if (!in->read_image(0, 0, 0, spec.nchannels, OIIO::TypeUInt8, pixels.data()) || !out ||
        !out->open(copy, spec) || !out->write_image(OIIO::TypeUInt8, pixels.data()) || !out->close())
        return {};
    return copy;
}

/// Whether every way of reading the file fails it with damage at `row`.
void expectDamagedAt(const std::string& path, int row) {
    const std::string expected = "The image data is damaged at row " + std::to_string(row) + ": ";
    for (const std::string& error : readEachWay(path))
        EXPECT_EQ(error.substr(0, expected.size()), expected) << error;
}

} // namespace

TEST(CodecTiff, AJpegStripCutZeroedOrPastTheFileEndFailsItsFileAtItsFirstRow) {
    TempDir tmp;
    for (const uint16_t photometric : {PHOTOMETRIC_RGB, PHOTOMETRIC_YCBCR}) {
        SCOPED_TRACE(photometric == PHOTOMETRIC_RGB ? "RGB" : "YCbCr");
        Layout l;
        l.photometric = photometric;
        const std::string whole = tmp.file("whole.tif");
        ASSERT_TRUE(writeTiff(whole, l));
        // The whole file reads as the library reads it by itself.
        for (const std::string& error : readEachWay(whole))
            EXPECT_EQ(error, "");
        EXPECT_EQ(difference(whole, libraryCopy(tmp, whole)), 0.0);

        // Its second strip (rows 64 to 127) and its last (192 to 199), cut short, zeroed in their
        // second half or wholly: libjpeg warned, or libtiff failed the strip, and the rows came
        // out grey or as the strip before them.
        const std::string damaged = tmp.file("damaged.tif");
        for (const uint32_t strip : {1u, 3u})
            for (const auto& edit : {cut, zeroHalf, zero}) {
                SCOPED_TRACE("strip " + std::to_string(strip));
                ASSERT_TRUE(editStrip(whole, damaged, l, strip, edit));
                expectDamagedAt(damaged, int(strip) * l.rowsPerStrip);
            }
        // The last strip said to reach past the file's end: libtiff decodes none of it.
        writeBytes(damaged, damagedTiff(readBytes(whole), 3, 3.0));
        expectDamagedAt(damaged, 192);

        // A strip that lacks no more than its end marker is whole.
        for (const uint32_t strip : {1u, 3u}) {
            ASSERT_TRUE(editStrip(whole, damaged, l, strip, withoutEndMarker));
            for (const std::string& error : readEachWay(damaged))
                EXPECT_EQ(error, "");
            EXPECT_EQ(difference(damaged, whole), 0.0);
        }
    }
}

TEST(CodecTiff, PlanesStoredApartInStripsOfManyRowsReadWhole) {
    // Deflated, in strips of 64 or 256 rows or one strip a plane, and large pictures that the
    // import's look through the data (and the decoding of floats) reads in bands ending inside
    // strips: each reads as its twin with its planes together, uncompressed.
    TempDir tmp;
    struct Case {
        int bits, width, height, rowsPerStrip;
    };
    const Case cases[] = {{8, 640, 600, 64},    {8, 640, 600, 256},    {8, 640, 600, 600},
                          {16, 640, 600, 64},   {16, 640, 600, 256},   {16, 640, 600, 600},
                          {8, 3000, 2000, 256}, {16, 3000, 2000, 256}, {32, 1500, 1400, 256}};
    const std::string apart = tmp.file("apart.tif"), together = tmp.file("together.tif");
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.bits) + " bits, " + std::to_string(c.width) + " x " +
                     std::to_string(c.height) + " in strips of " + std::to_string(c.rowsPerStrip));
        const Layout l{c.width,         c.height, c.rowsPerStrip, c.bits, COMPRESSION_ADOBE_DEFLATE,
                       PHOTOMETRIC_RGB, true};
        Layout twin = l;
        twin.planar = false;
        twin.compression = COMPRESSION_NONE;
        ASSERT_TRUE(writeTiff(apart, l));
        ASSERT_TRUE(writeTiff(together, twin));
        EXPECT_EQ(difference(apart, together), 0.0);
        if (c.width < 1000) {
            for (const std::string& error : readEachWay(apart))
                EXPECT_EQ(error, "");
        } else {
            const auto probe = probeFile(apart, ProbeDepth::Data);
            EXPECT_TRUE(probe.ok()) << probe.error();
        }
    }
}

TEST(CodecTiff, DamageInStripsOfPlanesStoredApartFailsAtItsRow) {
    // The fourth strip of the second plane (rows 192 to 255): deflated and cut short or empty, or
    // in JPEG and cut short.
    TempDir tmp;
    const std::string whole = tmp.file("whole.tif"), damaged = tmp.file("damaged.tif");
    const uint32_t strip = 10 + 3; // ten strips a plane
    for (const int bits : {8, 16}) {
        SCOPED_TRACE(std::to_string(bits) + " bits");
        const Layout l{640, 600, 64, bits, COMPRESSION_ADOBE_DEFLATE, PHOTOMETRIC_RGB, true};
        ASSERT_TRUE(writeTiff(whole, l));
        for (const double kept : {0.5, 0.0}) {
            writeBytes(damaged, damagedTiff(readBytes(whole), strip, kept));
            expectDamagedAt(damaged, 192);
        }
    }
    const Layout jpeg{640, 600, 64, 8, COMPRESSION_JPEG, PHOTOMETRIC_RGB, true};
    ASSERT_TRUE(writeTiff(whole, jpeg));
    for (const std::string& error : readEachWay(whole))
        EXPECT_EQ(error, "");
    ASSERT_TRUE(editStrip(whole, damaged, jpeg, strip, cut));
    expectDamagedAt(damaged, 192);
}

TEST(CodecTiff, ADamagedJpegTileFailsItsFileAtItsRow) {
    // Tiles of 64 x 64, four across: tile 5 holds rows 64 to 127. Cut short, zeroed in its second
    // half or wholly, libtiff warned and the rows came out grey or stale; without its end marker
    // it is whole.
    TempDir tmp;
    const std::string whole = tmp.file("whole.tif"), damaged = tmp.file("damaged.tif");
    for (const uint16_t photometric : {PHOTOMETRIC_RGB, PHOTOMETRIC_YCBCR}) {
        SCOPED_TRACE(photometric == PHOTOMETRIC_RGB ? "RGB" : "YCbCr");
        Layout l;
        l.photometric = photometric;
        l.tile = 64;
        ASSERT_TRUE(writeTiff(whole, l));
        for (const std::string& error : readEachWay(whole))
            EXPECT_EQ(error, "");
        EXPECT_EQ(difference(whole, libraryCopy(tmp, whole)), 0.0);
        for (const auto& edit : {cut, zeroHalf, zero}) {
            ASSERT_TRUE(editStrip(whole, damaged, l, 5, edit));
            expectDamagedAt(damaged, 64);
        }
        ASSERT_TRUE(editStrip(whole, damaged, l, 5, withoutEndMarker));
        for (const std::string& error : readEachWay(damaged))
            EXPECT_EQ(error, "");
        EXPECT_EQ(difference(damaged, whole), 0.0);
    }
}

TEST(CodecTiff, YCbCrInJpegWithPlanesApartFailsAsALayoutNotSupported) {
    // Valid, but the image library takes it for a picture it cannot handle: said so, not damage.
    TempDir tmp;
    const std::string path = tmp.file("apart.tif");
    Layout l;
    l.photometric = PHOTOMETRIC_YCBCR;
    l.planar = true;
    ASSERT_TRUE(writeTiff(path, l));
    for (const std::string& error : readEachWay(path))
        EXPECT_NE(error.find("The TIFF file's layout is not supported"), std::string::npos) << error;
}
