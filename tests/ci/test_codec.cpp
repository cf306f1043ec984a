#include "support/TestSupport.h"
#include "test_codec_support.h"

#include "ci/core/Bitmap.h"
#include "ci/core/Context.h"
#include "ci/core/Kernel.h"
#include "ci/core/Memory.h"
#include "ci/core/Value.h"
#include "ci/io/Codec.h"
#include "ci/io/JpegCodec.h"
#include "ci/io/PixelImport.h"

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>
#include <lcms2.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>

using namespace ci;
using namespace ci::io;
using gwtest::dataPath;
using gwtest::readBytes;
using gwtest::TempDir;
using gwtest::writeBytes;
namespace fs = std::filesystem;

namespace {

/// Straight-alpha sRGB of a decoded picture, top row first.
PixelBuffer pixelsOf(const Image& image, int bits = 8) {
    auto px = Context().renderSRGB(image, image.extent(), bits);
    EXPECT_TRUE(px.ok()) << px.error();
    return px.ok() ? std::move(*px) : PixelBuffer{};
}

Bitmap bitmapOf(const Image& image) {
    auto bm = Context().render(image);
    EXPECT_TRUE(bm.ok()) << bm.error();
    return bm.ok() ? std::move(*bm) : Bitmap{};
}

/// A file's 8-bit samples read straight through OpenImageIO (RGBA, top row first, no
/// orientation or profile applied): the reference our conversion must reproduce.
PixelBuffer readRaw(const std::string& path) {
    PixelBuffer px;
    auto in = OIIO::ImageInput::open(path);
    if (!in)
        return px;
    const OIIO::ImageSpec& spec = in->spec();
    px.width = spec.width;
    px.height = spec.height;
    std::vector<uint8_t> rgb(size_t(spec.width) * spec.height * 3);
    in->read_image(0, 0, 0, 3, OIIO::TypeDesc::UINT8, rgb.data());
    px.data.resize(size_t(spec.width) * spec.height * 4);
    for (size_t i = 0; i < rgb.size() / 3; ++i) {
        std::copy_n(&rgb[i * 3], 3, &px.data[i * 4]);
        px.data[i * 4 + 3] = 255;
    }
    return px;
}

struct Diff {
    double mean = 1e9, max = 1e9, p99 = 1e9; ///< mean, largest and 99th-percentile difference
};

/// Differences of the colour samples (alpha ignored) of two 8-bit buffers of one size.
Diff compareRGB(const PixelBuffer& a, const PixelBuffer& b) {
    if (a.width != b.width || a.height != b.height || a.width == 0)
        return {};
    Diff d{0, 0, 0};
    const size_t n = size_t(a.width) * a.height;
    std::vector<size_t> histogram(256, 0);
    for (size_t i = 0; i < n; ++i)
        for (int c = 0; c < 3; ++c) {
            const int e = std::abs(int(a.data[i * 4 + c]) - int(b.data[i * 4 + c]));
            d.mean += e;
            d.max = std::max(d.max, double(e));
            ++histogram[size_t(e)];
        }
    d.mean /= double(n * 3);
    size_t seen = 0;
    for (int e = 0; e < 256; ++e)
        if ((seen += histogram[size_t(e)]) >= n * 3 * 99 / 100) {
            d.p99 = e;
            break;
        }
    return d;
}

int run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str());
}

/// The working space as LittleCMS sees it.
cmsHPROFILE linearSRGB() {
    const cmsCIExyY d65 = {0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1.0}, {0.30, 0.60, 1.0}, {0.15, 0.06, 1.0}};
    cmsToneCurve* lin = cmsBuildGamma(nullptr, 1.0);
    cmsToneCurve* curves[3] = {lin, lin, lin};
    cmsHPROFILE p = cmsCreateRGBProfile(&d65, &primaries, curves);
    cmsFreeToneCurve(lin);
    return p;
}

/// A wide-gamut display profile: P3 primaries, D65, gamma 2.2.
cmsHPROFILE wideGamut() {
    const cmsCIExyY d65 = {0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE primaries = {{0.680, 0.320, 1.0}, {0.265, 0.690, 1.0}, {0.150, 0.060, 1.0}};
    cmsToneCurve* g = cmsBuildGamma(nullptr, 2.2);
    cmsToneCurve* curves[3] = {g, g, g};
    cmsHPROFILE p = cmsCreateRGBProfile(&d65, &primaries, curves);
    cmsFreeToneCurve(g);
    return p;
}

int sampleToLab(const cmsUInt16Number in[], cmsUInt16Number out[], void* cargo) {
    cmsDoTransform(static_cast<cmsHTRANSFORM>(cargo), in, out, 1);
    return 1;
}

/// The same colours as wideGamut(), but as a lookup table (RGB -> Lab), so no matrix shortcut applies.
cmsHPROFILE wideGamutTable() {
    cmsHPROFILE shaper = wideGamut();
    cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
    cmsHTRANSFORM t = cmsCreateTransform(shaper, TYPE_RGB_16, lab, TYPE_Lab_16, INTENT_PERCEPTUAL, 0);
    cmsPipeline* pipe = cmsPipelineAlloc(nullptr, 3, 3);
    cmsStage* clut = cmsStageAllocCLut16bit(nullptr, 33, 3, 3, nullptr);
    cmsStageSampleCLut16bit(clut, sampleToLab, t, 0);
    // The A-to-B form wants curves on both sides of the table.
    cmsPipelineInsertStage(pipe, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, nullptr));
    cmsPipelineInsertStage(pipe, cmsAT_END, clut);
    cmsPipelineInsertStage(pipe, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, nullptr));
    cmsHPROFILE p = cmsCreateProfilePlaceholder(nullptr);
    cmsSetProfileVersion(p, 4.3);
    cmsSetDeviceClass(p, cmsSigDisplayClass);
    cmsSetColorSpace(p, cmsSigRgbData);
    cmsSetPCS(p, cmsSigLabData);
    cmsWriteTag(p, cmsSigMediaWhitePointTag, cmsD50_XYZ());
    cmsWriteTag(p, cmsSigAToB0Tag, pipe);
    cmsPipelineFree(pipe);
    cmsDeleteTransform(t);
    cmsCloseProfile(lab);
    cmsCloseProfile(shaper);
    return p;
}

void saveProfile(cmsHPROFILE p, const std::string& path) {
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(p, nullptr, &size);
    std::vector<uint8_t> bytes(size);
    cmsSaveProfileToMem(p, bytes.data(), &size);
    writeBytes(path, bytes);
}

/// Writes a picture through OpenImageIO (for source files our encoders do not make).
bool writeOIIO(const std::string& path, int w, int h, int channels, OIIO::TypeDesc type, const void* data,
               bool unassociated = true) {
    auto out = OIIO::ImageOutput::create(path);
    if (!out)
        return false;
    OIIO::ImageSpec spec(w, h, channels, type);
    if (unassociated)
        spec.attribute("oiio:UnassociatedAlpha", 1);
    spec.attribute("tiff:write_exif", 0);
    return out->open(path, spec) && out->write_image(type, data) && out->close();
}

const std::vector<std::string> kPhotos = {"rocket.jpg", "chelsea.png", "coffee.png"};

/// A JPEG as libjpeg reads it: its samples as stored (CMYK as CMYK), its profile, its Adobe marker.
struct JpegSamples {
    int width = 0, height = 0, channels = 0;
    bool adobe = false;
    std::vector<uint8_t> samples, icc;
};

JpegSamples readJpeg(const std::vector<uint8_t>& bytes) {
    JpegSamples j;
    jpeg_decompress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    err.emit_message = [](j_common_ptr, int) {}; // a profile stored twice is a warning here
    jpeg_create_decompress(&c);
    jpeg_mem_src(&c, bytes.data(), static_cast<unsigned long>(bytes.size()));
    jpeg_save_markers(&c, JPEG_APP0 + 2, 0xFFFF);
    jpeg_read_header(&c, TRUE);
    JOCTET* icc = nullptr;
    unsigned int size = 0;
    if (jpeg_read_icc_profile(&c, &icc, &size))
        j.icc.assign(icc, icc + size);
    std::free(icc);
    jpeg_start_decompress(&c);
    j.width = int(c.output_width), j.height = int(c.output_height), j.channels = c.output_components;
    j.adobe = c.saw_Adobe_marker;
    j.samples.resize(size_t(j.width) * j.height * j.channels);
    while (c.output_scanline < c.output_height) {
        JSAMPROW row = j.samples.data() + size_t(c.output_scanline) * j.width * j.channels;
        jpeg_read_scanlines(&c, &row, 1);
    }
    jpeg_finish_decompress(&c);
    jpeg_destroy_decompress(&c);
    return j;
}

/// LittleCMS's own conversion of stored samples (in `format`) with `icc` into 8-bit sRGB.
PixelBuffer convertedByLittleCms(const JpegSamples& j, const std::vector<uint8_t>& icc,
                                 cmsUInt32Number format) {
    PixelBuffer px;
    cmsHPROFILE profile = cmsOpenProfileFromMem(icc.data(), cmsUInt32Number(icc.size()));
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHTRANSFORM t = cmsCreateTransform(profile, format, srgb, TYPE_RGBA_8, INTENT_PERCEPTUAL, 0);
    EXPECT_NE(t, nullptr);
    if (t) {
        px.width = j.width, px.height = j.height;
        px.data.assign(size_t(j.width) * j.height * 4, 255); // LittleCMS leaves the alpha as it is
        cmsDoTransform(t, j.samples.data(), px.data.data(), cmsUInt32Number(j.width * j.height));
        cmsDeleteTransform(t);
    }
    cmsCloseProfile(srgb);
    cmsCloseProfile(profile);
    return px;
}

/// Checks that a JPEG file is read, by every way in, as `want` to within a level or two, and that
/// the import's look through its data passes it.
void expectReadAs(const std::string& path, const PixelBuffer& want) {
    SCOPED_TRACE(path);
    for (ProbeDepth depth : {ProbeDepth::Header, ProbeDepth::Data}) {
        const auto probe = probeFile(path, depth);
        ASSERT_TRUE(probe.ok()) << probe.error();
    }
    auto read = readPicture(path);
    ASSERT_TRUE(read.ok()) << read.error();
    for (const auto& decoded :
         {decodeFile(path), decodeData(readBytes(path)), decodePicture(std::move(*read))}) {
        ASSERT_TRUE(decoded.ok()) << decoded.error();
        const Diff d = compareRGB(pixelsOf(decoded->image), want);
        EXPECT_LE(d.max, 2);
        EXPECT_LE(d.mean, 0.5);
    }
}

} // namespace

TEST(Codec, DecodesPhotosExactlyAndUpright) {
    for (const std::string& name : kPhotos) {
        SCOPED_TRACE(name);
        auto d = decodeFile(dataPath(name));
        ASSERT_TRUE(d.ok()) << d.error();
        const PixelBuffer raw = readRaw(dataPath(name));
        EXPECT_EQ(d->width, raw.width);
        EXPECT_EQ(d->height, raw.height);
        EXPECT_EQ(d->image.extent(), Rect::make(0, 0, raw.width, raw.height));
        EXPECT_EQ(d->format, name.ends_with(".jpg") ? "jpeg" : "png");
        // 8-bit sRGB -> working space -> 8-bit sRGB is lossless, rows in the file's order. (The
        // JPEG carries an Adobe RGB profile: see ConvertsEmbeddedProfiles.)
        if (name.ends_with(".png")) {
            EXPECT_EQ(compareRGB(pixelsOf(d->image), raw).max, 0);
        }

        // The same bytes from memory give the same picture.
        auto m = decodeData(readBytes(dataPath(name)));
        ASSERT_TRUE(m.ok()) << m.error();
        EXPECT_EQ(m->format, d->format);
        EXPECT_EQ(gwtest::maxDifference(bitmapOf(m->image), bitmapOf(d->image)), 0.0);
    }
}

TEST(Codec, RoundTripsEachFormat) {
    // Lossless formats give back every sample; JPEG at 0.9 and GIF (256 dithered colours) stay
    // within the stated mean and 99th-percentile differences in 8-bit sRGB units.
    struct Case {
        FileType type;
        double compression, meanTolerance, p99Tolerance;
        const char* format;
    };
    const Case cases[] = {{FileType::PNG, 1, 0, 0, "png"},
                          {FileType::TIFF, 1, 0, 0, "tiff"},
                          {FileType::BMP, 1, 0, 0, "bmp"},
                          {FileType::JPEG, 0.9, 2.5, 16, "jpeg"},
                          {FileType::GIF, 1, 3.5, 16, "gif"}};
    for (const std::string& name : kPhotos) {
        auto src = decodeFile(dataPath(name));
        ASSERT_TRUE(src.ok()) << src.error();
        const PixelBuffer original = pixelsOf(src->image);
        for (const Case& c : cases) {
            SCOPED_TRACE(name + " as " + c.format);
            auto bytes = encodeImage(src->image, c.type, c.compression);
            ASSERT_TRUE(bytes.ok()) << bytes.error();
            auto back = decodeData(*bytes);
            ASSERT_TRUE(back.ok()) << back.error();
            EXPECT_EQ(back->format, c.format);
            EXPECT_EQ(back->width, original.width);
            EXPECT_EQ(back->height, original.height);
            const PixelBuffer decoded = pixelsOf(back->image);
            const Diff diff = compareRGB(decoded, original);
            EXPECT_LE(diff.mean, c.meanTolerance);
            EXPECT_LE(diff.p99, c.p99Tolerance);
            if (c.p99Tolerance == 0) {
                EXPECT_EQ(diff.max, 0);
            }
            EXPECT_TRUE(
                std::all_of(decoded.data.begin(), decoded.data.end(),
                            [&, i = size_t(0)](uint8_t v) mutable { return i++ % 4 != 3 || v == 255; }))
                << "an opaque photo stays opaque";
        }
    }

    // JPEG quality follows the compression factor.
    auto src = decodeFile(dataPath("coffee.png"));
    ASSERT_TRUE(src.ok());
    auto low = encodeImage(src->image, FileType::JPEG, 0.2),
         high = encodeImage(src->image, FileType::JPEG, 0.95);
    ASSERT_TRUE(low.ok() && high.ok());
    EXPECT_LT(low->size() * 2, high->size());
    const Diff lowDiff = compareRGB(pixelsOf(decodeData(*low)->image), pixelsOf(src->image));
    const Diff highDiff = compareRGB(pixelsOf(decodeData(*high)->image), pixelsOf(src->image));
    EXPECT_GT(lowDiff.mean, highDiff.mean);

    // 16-bit pixels keep their precision in PNG and TIFF.
    PixelBuffer deep;
    deep.width = 64, deep.height = 8, deep.bitsPerChannel = 16;
    deep.data.resize(size_t(64) * 8 * 8);
    auto* d16 = reinterpret_cast<uint16_t*>(deep.data.data());
    for (int i = 0; i < 64 * 8; ++i) {
        d16[i * 4 + 0] = uint16_t(i * 127 + 3);
        d16[i * 4 + 1] = uint16_t(65535 - i * 61);
        d16[i * 4 + 2] = uint16_t(i * 13);
        d16[i * 4 + 3] = 65535;
    }
    for (FileType t : {FileType::PNG, FileType::TIFF}) {
        auto bytes = encodePixels(deep, t);
        ASSERT_TRUE(bytes.ok()) << bytes.error();
        auto back = decodeData(*bytes);
        ASSERT_TRUE(back.ok()) << back.error();
        const PixelBuffer out = pixelsOf(back->image, 16);
        const auto* o16 = reinterpret_cast<const uint16_t*>(out.data.data());
        int worst = 0;
        for (int i = 0; i < 64 * 8 * 4; ++i)
            worst = std::max(worst, std::abs(int(o16[i]) - int(d16[i])));
        EXPECT_LE(worst, 2) << "16-bit samples within 2/65535";
    }
}

/// The chunks of a PNG file by type, their CRCs checked; the IDAT data joined.
struct PngChunks {
    std::vector<std::string> types;
    std::vector<uint8_t> idat;
    bool crcsOk = true;
};

PngChunks readPngChunks(const std::vector<uint8_t>& b) {
    PngChunks c;
    size_t at = 8;
    auto u32 = [&](size_t i) {
        return uint32_t(b[i]) << 24 | uint32_t(b[i + 1]) << 16 | uint32_t(b[i + 2]) << 8 | uint32_t(b[i + 3]);
    };
    while (at + 12 <= b.size()) {
        const uint32_t n = u32(at);
        if (at + 12 + n > b.size())
            break;
        const std::string type(b.begin() + ptrdiff_t(at + 4), b.begin() + ptrdiff_t(at + 8));
        c.types.push_back(type);
        c.crcsOk &= crc32(0, b.data() + at + 4, n + 4) == u32(at + 8 + n);
        if (type == "IDAT")
            c.idat.insert(c.idat.end(), b.begin() + ptrdiff_t(at + 8), b.begin() + ptrdiff_t(at + 8 + n));
        at += 12 + n;
    }
    return c;
}

TEST(Codec, PngDeflatedInBandsIsOneStreamAndAsSmallAsTheLibrarysOwn) {
    // A photograph tiled to 1024 x 1536: several bands of rows for every sample layout.
    const PixelBuffer tile = pixelsOf(decodeFile(dataPath("astronaut.png"))->image);
    ASSERT_EQ(tile.width, 512);
    PixelBuffer photo;
    photo.width = 1024, photo.height = 1536;
    photo.data.resize(size_t(photo.width) * photo.height * 4);
    for (int y = 0; y < photo.height; ++y)
        for (int x = 0; x < photo.width; ++x) {
            // Mirrored tiles, so the picture has no seams and repeats no row exactly.
            const int tx = (x / 512) % 2 ? 511 - x % 512 : x % 512,
                      ty = (y / 512) % 2 ? 511 - y % 512 : y % 512;
            std::copy_n(tile.data.data() + (size_t(ty) * 512 + size_t(tx)) * 4, 4,
                        photo.data.data() + (size_t(y) * photo.width + size_t(x)) * 4);
        }
    PixelBuffer translucent = photo;
    for (size_t i = 3; i < translucent.data.size(); i += 4)
        translucent.data[i] = uint8_t((i / 4) % 251);
    PixelBuffer deep;
    deep.width = photo.width, deep.height = photo.height, deep.bitsPerChannel = 16;
    deep.data.resize(photo.data.size() * 2);
    auto* d16 = reinterpret_cast<uint16_t*>(deep.data.data());
    for (size_t i = 0; i < photo.data.size(); ++i)
        d16[i] = uint16_t(photo.data[i] * 257 + (i % 4 == 3 ? 0 : (i * 7) % 200));

    for (const PixelBuffer* px : {&photo, &translucent, &deep}) {
        SCOPED_TRACE(px == &photo ? "8-bit opaque" : px == &translucent ? "8-bit with alpha" : "16-bit");
        auto bytes = encodePixels(*px, FileType::PNG);
        ASSERT_TRUE(bytes.ok()) << bytes.error();

        // Every chunk intact, marked sRGB, and the image data one complete zlib stream with the
        // right checksum and the size the rows need.
        const PngChunks chunks = readPngChunks(*bytes);
        EXPECT_TRUE(chunks.crcsOk);
        ASSERT_GE(chunks.types.size(), 3u);
        EXPECT_EQ(chunks.types.front(), "IHDR");
        EXPECT_EQ(chunks.types.back(), "IEND");
        EXPECT_NE(std::find(chunks.types.begin(), chunks.types.end(), "sRGB"), chunks.types.end());
        EXPECT_GT(std::count(chunks.types.begin(), chunks.types.end(), "IDAT"), 2);
        const bool alpha = px == &translucent;
        const size_t rowBytes = size_t(px->width) * (alpha ? 4 : 3) * size_t(px->bitsPerChannel / 8) + 1;
        std::vector<uint8_t> raw(rowBytes * size_t(px->height) + 1);
        uLongf rawSize = uLongf(raw.size());
        EXPECT_EQ(uncompress(raw.data(), &rawSize, chunks.idat.data(), uLong(chunks.idat.size())), Z_OK);
        EXPECT_EQ(rawSize, rowBytes * size_t(px->height));

        // The decoder gives back every sample.
        auto back = decodeData(*bytes);
        ASSERT_TRUE(back.ok()) << back.error();
        const PixelBuffer out = pixelsOf(back->image, px->bitsPerChannel);
        ASSERT_EQ(out.data.size(), px->data.size());
        size_t wrong = 0;
        for (size_t i = 0; i < px->data.size(); i += px->bitsPerChannel / 8 * 4) {
            if (alpha && px->bitsPerChannel == 8 && px->data[i + 3] == 0)
                continue; // no colour under zero alpha
            if (px->bitsPerChannel == 8)
                wrong += !std::equal(px->data.begin() + ptrdiff_t(i), px->data.begin() + ptrdiff_t(i + 4),
                                     out.data.begin() + ptrdiff_t(i)) &&
                         px->data[i + 3] == 255;
            else
                wrong += std::memcmp(px->data.data() + i, out.data.data() + i, 8) != 0;
        }
        EXPECT_EQ(wrong, 0u);

        // No larger than the image library's own PNG writer makes it, give or take a little.
        std::vector<uint8_t> library;
        OIIO::Filesystem::IOVecOutput proxy(library);
        auto writer = OIIO::ImageOutput::create("png");
        ASSERT_TRUE(writer && writer->set_ioproxy(&proxy));
        const OIIO::TypeDesc type = px->bitsPerChannel == 16 ? OIIO::TypeDesc::UINT16 : OIIO::TypeDesc::UINT8;
        OIIO::ImageSpec spec(px->width, px->height, alpha ? 4 : 3, type);
        spec.attribute("oiio:UnassociatedAlpha", 1);
        ASSERT_TRUE(writer->open("x.png", spec));
        ASSERT_TRUE(writer->write_image(type, px->data.data(), OIIO::stride_t(4 * px->bitsPerChannel / 8)));
        writer->close();
        EXPECT_LT(double(bytes->size()), 1.05 * double(library.size()));
    }
}

TEST(Codec, AJpegIsEncodedWhileItsRowsAreRendered) {
    // A blurred photo, its edges faded by the blur, rendered in small tiles: many rows of tiles,
    // a neighbourhood kernel, partly transparent pixels composited over black.
    auto src = decodeFile(dataPath(kPhotos[0]));
    ASSERT_TRUE(src.ok()) << src.error();
    const Rect inner = src->image.extent().grown(-9, -7);
    const Image picture = src->image.cropped(inner).applyingFilter("CIGaussianBlur", {{"inputRadius", 3.0}});
    const Rect e = picture.extent();
    const Context::Options options{24, 0};
    const Context context(options);

    // Rows are reported from the top down, growing, the full height last, and each reported row
    // already holds its final pixels (on one thread, the next row is certainly not done yet).
    PixelBuffer rendered;
    for (int threads : {1, 0}) {
        SCOPED_TRACE(threads);
        std::vector<uint8_t> seen;
        int reported = 0, calls = 0;
        bool growing = true;
        PixelBuffer px;
        const std::string failure = Context({24, threads}).renderSRGB(picture, e, 8, px, [&](int rows) {
            ++calls;
            growing &= rows > reported && rows <= px.height;
            seen.resize(px.data.size());
            const size_t rowBytes = size_t(px.width) * 4;
            std::copy(px.row8(reported), px.row8(reported) + (size_t(rows) - size_t(reported)) * rowBytes,
                      seen.begin() + std::ptrdiff_t(size_t(reported) * rowBytes));
            reported = rows;
        });
        ASSERT_EQ(failure, "");
        EXPECT_TRUE(growing);
        if (threads == 1) {
            EXPECT_GT(calls, 4); // one per row of tiles; with more threads a slow tile may hold them back
        }
        EXPECT_EQ(reported, px.height);
        EXPECT_TRUE(seen == px.data) << "rows were reported before they were finished";
        rendered = std::move(px);
    }

    // The JPEG encoded on the way is the one encoded after the render, byte for byte.
    auto after = encodePixels(rendered, FileType::JPEG, 0.8);
    auto during = encodeImage(picture, FileType::JPEG, 0.8, context);
    ASSERT_TRUE(after.ok() && during.ok());
    EXPECT_TRUE(*after == *during);

    // A render that fails or is cancelled ends the encoder too, with the render's reason.
    memory::setLimit(1 << 20);
    auto refused = encodeImage(picture, FileType::JPEG, 0.8, context);
    memory::setLimit(0);
    ASSERT_FALSE(refused.ok());
    EXPECT_NE(refused.error().find("too large"), std::string::npos) << refused.error();
    std::atomic<bool> cancel{false};
    std::atomic<int> rowsSeen{0};
    Context::Options stopping = options;
    stopping.cancel = &cancel;
    const Image stopsHalfway = ColorKernel::apply(
        [&](const ColorRow& r) {
            if (++rowsSeen == 2000)
                cancel = true;
            std::copy(r.in[0], r.in[0] + r.count * 4, r.out);
        },
        {picture});
    auto cancelled = encodeImage(stopsHalfway, FileType::JPEG, 0.8, Context(stopping));
    ASSERT_FALSE(cancelled.ok());
    EXPECT_EQ(cancelled.error(), "cancelled");
}

TEST(Codec, EncodesAlphaAsEachFormatAllows) {
    // Colour 200/100/50 under alpha 0, 64, 128, 191 and 255.
    PixelBuffer px;
    px.width = 5, px.height = 1;
    const uint8_t alphas[5] = {0, 64, 128, 191, 255};
    for (uint8_t a : alphas)
        px.data.insert(px.data.end(), {200, 100, 50, a});

    for (FileType t : {FileType::PNG, FileType::TIFF, FileType::BMP}) {
        auto bytes = encodePixels(px, t);
        ASSERT_TRUE(bytes.ok()) << bytes.error();
        auto back = decodeData(*bytes);
        ASSERT_TRUE(back.ok()) << back.error();
        const Bitmap bm = bitmapOf(back->image);
        for (int x = 0; x < 5; ++x) {
            const float* p = bm.pixel(x, 0);
            const float a = alphas[x] / 255.f;
            EXPECT_NEAR(p[3], a, 1e-6);
            EXPECT_NEAR(p[0], srgbDecode8(200) * a, 1e-6) << "premultiplied linear colour";
            EXPECT_NEAR(p[2], srgbDecode8(50) * a, 1e-6);
        }
    }

    // JPEG: the picture over black. Blocks of 16 x 16 keep the codec's own error small.
    PixelBuffer blocks;
    blocks.width = 80, blocks.height = 16;
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 80; ++x)
            blocks.data.insert(blocks.data.end(), {200, 100, 50, alphas[x / 16]});
    auto jpeg = encodePixels(blocks, FileType::JPEG, 1.0);
    ASSERT_TRUE(jpeg.ok()) << jpeg.error();
    const PixelBuffer j = pixelsOf(decodeData(*jpeg)->image);
    for (int k = 0; k < 5; ++k) {
        const float a = alphas[k] / 255.f;
        const uint8_t* p = j.row8(8) + (k * 16 + 8) * 4;
        EXPECT_EQ(p[3], 255);
        EXPECT_NEAR(p[0], srgbEncode8(srgbDecode8(200) * a), 3) << k;
        EXPECT_NEAR(p[1], srgbEncode8(srgbDecode8(100) * a), 3) << k;
    }

    // GIF: one transparent entry for pixels under half coverage; the rest opaque.
    auto gif = encodePixels(px, FileType::GIF);
    ASSERT_TRUE(gif.ok()) << gif.error();
    const PixelBuffer g = pixelsOf(decodeData(*gif)->image);
    const uint8_t expectedAlpha[5] = {0, 0, 255, 255, 255};
    for (int x = 0; x < 5; ++x) {
        EXPECT_EQ(g.data[size_t(x) * 4 + 3], expectedAlpha[x]);
        if (expectedAlpha[x]) {
            EXPECT_EQ(g.data[size_t(x) * 4 + 0], 200);
        }
    }

    // Nothing to render is an error, not an empty file.
    EXPECT_FALSE(encodeImage(Image(), FileType::PNG).ok());
    EXPECT_FALSE(encodeImage(Image::constant(1, 0, 0, 1), FileType::PNG).ok());
    EXPECT_FALSE(encodeImage(Image::empty(), FileType::PNG).ok());
    PixelBuffer none;
    EXPECT_FALSE(encodePixels(none, FileType::JPEG).ok());
    PixelBuffer huge;
    huge.width = 70000, huge.height = 1;
    huge.data.assign(size_t(70000) * 4, 255);
    EXPECT_FALSE(encodePixels(huge, FileType::GIF).ok());
}

TEST(Codec, GifKeepsFewColoursExactly) {
    // A drawing with 200 colours needs no merging: every pixel comes back as it was.
    PixelBuffer px;
    px.width = 200, px.height = 50;
    for (int y = 0; y < 50; ++y)
        for (int x = 0; x < 200; ++x)
            px.data.insert(px.data.end(), {uint8_t(x), uint8_t(255 - x), uint8_t((x * 7) % 256), 255});
    auto gif = encodePixels(px, FileType::GIF);
    ASSERT_TRUE(gif.ok());
    EXPECT_EQ(compareRGB(pixelsOf(decodeData(*gif)->image), px).max, 0);

    // Large pictures exercise the LZW table resets.
    std::mt19937 rng(7);
    PixelBuffer noise;
    noise.width = 512, noise.height = 300;
    for (int i = 0; i < 512 * 300; ++i)
        noise.data.insert(noise.data.end(), {uint8_t(rng() % 4 * 80), uint8_t(rng() % 4 * 80), 10, 255});
    auto big = encodePixels(noise, FileType::GIF);
    ASSERT_TRUE(big.ok());
    EXPECT_EQ(compareRGB(pixelsOf(decodeData(*big)->image), noise).max, 0);
}

TEST(Codec, AppliesExifOrientation) {
    TempDir tmp;
    const PixelBuffer stored = pixelsOf(decodeFile(dataPath("rocket.jpg"))->image);
    const int w = stored.width, h = stored.height;
    for (int o = 1; o <= 8; ++o) {
        SCOPED_TRACE("orientation " + std::to_string(o));
        const std::string path = tmp.file("o" + std::to_string(o) + ".jpg");
        ASSERT_EQ(run("exiftool -q -n -Orientation=" + std::to_string(o) + " -o " + path + " " +
                      dataPath("rocket.jpg")),
                  0);
        auto d = decodeFile(path);
        ASSERT_TRUE(d.ok()) << d.error();
        const bool swapped = o >= 5;
        ASSERT_EQ(d->width, swapped ? h : w);
        ASSERT_EQ(d->height, swapped ? w : h);
        const PixelBuffer up = pixelsOf(d->image);
        // Upright (ox, oy) shows stored (sx, sy): the EXIF meaning of each value.
        int mismatches = 0;
        for (int oy = 0; oy < up.height; ++oy)
            for (int ox = 0; ox < up.width; ++ox) {
                int sx = ox, sy = oy;
                switch (o) {
                case 2:
                    sx = w - 1 - ox;
                    break;
                case 3:
                    sx = w - 1 - ox, sy = h - 1 - oy;
                    break;
                case 4:
                    sy = h - 1 - oy;
                    break;
                case 5:
                    sx = oy, sy = ox;
                    break;
                case 6:
                    sx = oy, sy = h - 1 - ox;
                    break;
                case 7:
                    sx = w - 1 - oy, sy = h - 1 - ox;
                    break;
                case 8:
                    sx = w - 1 - oy, sy = ox;
                    break;
                }
                const uint8_t* a = up.row8(oy) + ox * 4;
                const uint8_t* b = stored.row8(sy) + sx * 4;
                mismatches += a[0] != b[0] || a[1] != b[1] || a[2] != b[2];
            }
        EXPECT_EQ(mismatches, 0);
    }
}

TEST(Codec, ConvertsEmbeddedProfiles) {
    TempDir tmp;
    // The stored samples, and what they mean when taken as sRGB.
    const PixelBuffer raw = readRaw(dataPath("rocket.jpg"));
    cmsHPROFILE lin = linearSRGB();

    // Checks a decoded picture against LittleCMS's own conversion of the stored samples.
    auto expectConverted = [&](const Image& image, cmsHPROFILE profile, double tolerance) {
        const Bitmap bm = bitmapOf(image);
        cmsHTRANSFORM ref = cmsCreateTransform(profile, TYPE_RGBA_8, lin, TYPE_RGB_DBL, INTENT_PERCEPTUAL, 0);
        ASSERT_NE(ref, nullptr);
        double worst = 0, moved = 0;
        for (int y = 0; y < raw.height; y += 7)
            for (int x = 0; x < raw.width; x += 5) {
                const uint8_t* s = raw.row8(y) + x * 4;
                double want[3];
                cmsDoTransform(ref, s, want, 1);
                const float* got = bm.pixel(x, raw.height - 1 - y);
                for (int c = 0; c < 3; ++c) {
                    worst = std::max(worst, std::abs(got[c] - want[c]));
                    moved = std::max(moved, double(std::abs(got[c] - srgbDecode8(s[c]))));
                }
                EXPECT_EQ(got[3], 1.0f);
            }
        cmsDeleteTransform(ref);
        EXPECT_LE(worst, tolerance);
        EXPECT_GT(moved, 0.02) << "the profile changed the colours";
    };
    auto embed = [&](cmsHPROFILE p, const std::string& name) {
        saveProfile(p, tmp.file(name + ".icc"));
        const std::string out = tmp.file(name + ".jpg");
        EXPECT_EQ(run("exiftool -q \"-ICC_Profile<=" + tmp.file(name + ".icc") + "\" -o " + out + " " +
                      dataPath("rocket.jpg")),
                  0);
        auto in = OIIO::ImageInput::open(out);
        const OIIO::ParamValue* icc = in ? in->spec().find_attribute("ICCProfile") : nullptr;
        EXPECT_TRUE(icc && icc->type().size() == fs::file_size(tmp.file(name + ".icc")))
            << "profile embedded";
        return out;
    };

    {
        SCOPED_TRACE("the photo's own Adobe RGB profile");
        auto in = OIIO::ImageInput::open(dataPath("rocket.jpg"));
        const OIIO::ParamValue* icc = in->spec().find_attribute("ICCProfile");
        ASSERT_NE(icc, nullptr);
        cmsHPROFILE adobe = cmsOpenProfileFromMem(icc->data(), cmsUInt32Number(icc->type().size()));
        auto d = decodeFile(dataPath("rocket.jpg"));
        ASSERT_TRUE(d.ok()) << d.error();
        expectConverted(d->image, adobe, 1e-4);
        cmsCloseProfile(adobe);
    }
    cmsHPROFILE wide = wideGamut();
    {
        SCOPED_TRACE("matrix-shaper profile");
        auto d = decodeFile(embed(wide, "wide"));
        ASSERT_TRUE(d.ok()) << d.error();
        expectConverted(d->image, wide, 1e-4);
    }
    {
        SCOPED_TRACE("lookup-table profile");
        cmsHPROFILE table = wideGamutTable();
        auto d = decodeFile(embed(table, "table"));
        ASSERT_TRUE(d.ok()) << d.error();
        expectConverted(d->image, table, 1e-4);
        cmsCloseProfile(table);
    }
    {
        SCOPED_TRACE("sRGB profile");
        cmsHPROFILE srgb = cmsCreate_sRGBProfile();
        auto d = decodeFile(embed(srgb, "srgb"));
        cmsCloseProfile(srgb);
        ASSERT_TRUE(d.ok()) << d.error();
        EXPECT_EQ(compareRGB(pixelsOf(d->image), raw).max, 0) << "same as no profile";
    }
    {
        SCOPED_TRACE("16-bit TIFF with the wide-gamut profile");
        saveProfile(wide, tmp.file("wide16.icc"));
        const std::vector<uint8_t> icc = readBytes(tmp.file("wide16.icc"));
        std::vector<uint16_t> samples(size_t(raw.width) * raw.height * 3);
        for (size_t i = 0; i < samples.size(); ++i)
            samples[i] = uint16_t(raw.data[i / 3 * 4 + i % 3] * 257 + i % 97);
        auto out = OIIO::ImageOutput::create("tiff");
        OIIO::ImageSpec spec(raw.width, raw.height, 3, OIIO::TypeDesc::UINT16);
        spec.attribute("ICCProfile", OIIO::TypeDesc(OIIO::TypeDesc::UINT8, int(icc.size())), icc.data());
        spec.attribute("tiff:write_exif", 0);
        ASSERT_TRUE(out->open(tmp.file("wide16.tif"), spec) &&
                    out->write_image(OIIO::TypeDesc::UINT16, samples.data()) && out->close());
        auto d = decodeFile(tmp.file("wide16.tif"));
        ASSERT_TRUE(d.ok()) << d.error();
        const Bitmap bm = bitmapOf(d->image);
        cmsHTRANSFORM ref = cmsCreateTransform(wide, TYPE_RGB_16, lin, TYPE_RGB_DBL, INTENT_PERCEPTUAL, 0);
        double worst = 0;
        for (int y = 0; y < raw.height; y += 9)
            for (int x = 0; x < raw.width; x += 7) {
                double want[3];
                cmsDoTransform(ref, &samples[(size_t(y) * raw.width + x) * 3], want, 1);
                for (int c = 0; c < 3; ++c)
                    worst = std::max(worst, std::abs(bm.pixel(x, raw.height - 1 - y)[c] - want[c]));
            }
        EXPECT_LE(worst, 1e-4);
        cmsDeleteTransform(ref);
    }
    {
        SCOPED_TRACE("grey profile in a PNG");
        cmsToneCurve* g18 = cmsBuildGamma(nullptr, 1.8);
        cmsHPROFILE grey = cmsCreateGrayProfile(cmsD50_xyY(), g18);
        cmsFreeToneCurve(g18);
        saveProfile(grey, tmp.file("grey.icc"));
        const std::vector<uint8_t> icc = readBytes(tmp.file("grey.icc"));
        std::vector<uint8_t> ramp(256);
        for (int v = 0; v < 256; ++v)
            ramp[size_t(v)] = uint8_t(v);
        auto out = OIIO::ImageOutput::create("png");
        OIIO::ImageSpec spec(256, 1, 1, OIIO::TypeDesc::UINT8);
        spec.attribute("ICCProfile", OIIO::TypeDesc(OIIO::TypeDesc::UINT8, int(icc.size())), icc.data());
        ASSERT_TRUE(out->open(tmp.file("grey.png"), spec) &&
                    out->write_image(OIIO::TypeDesc::UINT8, ramp.data()) && out->close());
        auto d = decodeFile(tmp.file("grey.png"));
        ASSERT_TRUE(d.ok()) << d.error();
        const Bitmap bm = bitmapOf(d->image);
        cmsHTRANSFORM ref = cmsCreateTransform(grey, TYPE_GRAY_8, lin, TYPE_RGB_DBL, INTENT_PERCEPTUAL, 0);
        for (int v = 0; v < 256; v += 5) {
            const uint8_t sample = uint8_t(v);
            double want[3];
            cmsDoTransform(ref, &sample, want, 1);
            for (int c = 0; c < 3; ++c)
                EXPECT_NEAR(bm.pixel(v, 0)[c], want[c], 1e-4) << v;
        }
        EXPECT_GT(std::abs(bm.pixel(128, 0)[0] - srgbDecode8(128)), 0.02);
        cmsDeleteTransform(ref);
        cmsCloseProfile(grey);
    }
    cmsCloseProfile(wide);
    cmsCloseProfile(lin);
}

TEST(Codec, AJpegProfileWrittenTwiceIsOneProfile) {
    // profile-twice.jpg holds the Adobe RGB profile in one chunk ("1 of 1") after JFIF (20 bytes in)
    // and the same chunk again after its frame header. Made from it: the profile in four chunks,
    // written twice after JFIF.
    const std::vector<uint8_t> twice = readBytes(dataPath("profile-twice.jpg"));
    const std::vector<uint8_t> adobeRgb = jpeg::openFile(dataPath("rocket.jpg"))->spec().iccProfile;
    ASSERT_FALSE(adobeRgb.empty());
    std::vector<uint8_t> fourTwice(twice.begin(), twice.begin() + 20);
    const size_t part = adobeRgb.size() / 4 + 1;
    for (int chunk = 0; chunk < 8; ++chunk) {
        const auto from = adobeRgb.begin() + ptrdiff_t(std::min(adobeRgb.size(), chunk % 4 * part));
        const auto to = adobeRgb.begin() + ptrdiff_t(std::min(adobeRgb.size(), (chunk % 4 + 1) * part));
        const size_t length = 2 + 14 + size_t(to - from);
        fourTwice.insert(fourTwice.end(),
                         {0xFF, 0xE2, uint8_t(length >> 8), uint8_t(length), 'I', 'C', 'C', '_', 'P', 'R',
                          'O', 'F', 'I', 'L', 'E', 0, uint8_t(chunk % 4 + 1), 4});
        fourTwice.insert(fourTwice.end(), from, to);
    }
    for (size_t at = 20, end = 0; at < twice.size(); at = end) {
        end = twice[at + 1] == 0xDA ? twice.size() : at + 2 + (size_t(twice[at + 2]) << 8 | twice[at + 3]);
        if (twice[at + 1] != 0xE2)
            fourTwice.insert(fourTwice.end(), twice.begin() + ptrdiff_t(at), twice.begin() + ptrdiff_t(end));
    }
    TempDir tmp;
    writeBytes(tmp.file("four-twice.jpg"), fourTwice);

    const PixelBuffer want = convertedByLittleCms(readJpeg(twice), adobeRgb, TYPE_RGB_8);
    ASSERT_GT(compareRGB(readRaw(dataPath("profile-twice.jpg")), want).max, 20) << "the profile matters";
    gwtest::ConsoleCapture console;
    for (const std::string& path : {dataPath("profile-twice.jpg"), tmp.file("four-twice.jpg")})
        expectReadAs(path, want);
    for (const std::string& line : console.lines())
        EXPECT_EQ(line.find("do not fit together"), std::string::npos) << line;
}

TEST(Codec, CmykJpegsAreConvertedThroughTheirProfile) {
    // cmyk-profile.jpg is CMYK as Adobe's programs write it (255 minus each ink, their marker) with
    // a profile of inks. The same inks as YCCK, and stored as they are (no marker), are made from it.
    const JpegSamples adobe = readJpeg(readBytes(dataPath("cmyk-profile.jpg")));
    ASSERT_EQ(adobe.channels, 4);
    ASSERT_TRUE(adobe.adobe);
    ASSERT_FALSE(adobe.icc.empty());
    JpegSamples inks = adobe;
    for (uint8_t& v : inks.samples)
        v = uint8_t(255 - v);
    TempDir tmp;
    const int w = adobe.width, h = adobe.height;
    writeBytes(tmp.file("ycck.jpg"), codectest::encodeJpeg(
                                         adobe.samples, w, h, 4, JCS_CMYK,
                                         [](auto& c) { jpeg_set_colorspace(&c, JCS_YCCK); }, adobe.icc));
    writeBytes(tmp.file("plain.jpg"), codectest::encodeJpeg(
                                          inks.samples, w, h, 4, JCS_CMYK,
                                          [](auto& c) { c.write_Adobe_marker = FALSE; }, adobe.icc));

    const std::pair<std::string, cmsUInt32Number> files[] = {{dataPath("cmyk-profile.jpg"), TYPE_CMYK_8_REV},
                                                             {tmp.file("ycck.jpg"), TYPE_CMYK_8_REV},
                                                             {tmp.file("plain.jpg"), TYPE_CMYK_8}};
    for (const auto& [path, format] : files) {
        const JpegSamples stored = readJpeg(readBytes(path));
        ASSERT_EQ(stored.icc, adobe.icc);
        const PixelBuffer want = convertedByLittleCms(stored, adobe.icc, format);
        // Without its profile the picture is far from it.
        PixelBuffer plain = want;
        for (size_t i = 0; i < size_t(stored.width) * stored.height; ++i)
            for (int c = 0; c < 3; ++c)
                plain.data[i * 4 + c] =
                    uint8_t((stored.samples[i * 4 + c] * stored.samples[i * 4 + 3] + 127) / 255);
        ASSERT_GT(compareRGB(plain, want).mean, 10) << path;
        expectReadAs(path, want);
    }
}

TEST(Codec, DecodesGreyDeepAlphaPaletteFloatAndPagedSources) {
    TempDir tmp;
    const PixelBuffer raw = readRaw(dataPath("chelsea.png"));
    const int w = raw.width, h = raw.height;

    {
        SCOPED_TRACE("grey");
        std::vector<uint8_t> grey(size_t(w) * h);
        for (size_t i = 0; i < grey.size(); ++i)
            grey[i] = raw.data[i * 4 + 1];
        ASSERT_TRUE(writeOIIO(tmp.file("grey.png"), w, h, 1, OIIO::TypeDesc::UINT8, grey.data()));
        auto d = decodeFile(tmp.file("grey.png"));
        ASSERT_TRUE(d.ok()) << d.error();
        const Bitmap bm = bitmapOf(d->image);
        for (int y = 0; y < h; y += 11)
            for (int x = 0; x < w; x += 3) {
                const float* p = bm.pixel(x, h - 1 - y);
                const float v = srgbDecode8(grey[size_t(y) * w + x]);
                EXPECT_EQ(p[0], v);
                EXPECT_EQ(p[1], v);
                EXPECT_EQ(p[2], v);
                EXPECT_EQ(p[3], 1.0f);
            }
    }
    {
        SCOPED_TRACE("grey with alpha");
        const uint8_t ga[] = {10, 255, 200, 128, 90, 0, 255, 64};
        ASSERT_TRUE(writeOIIO(tmp.file("ga.png"), 4, 1, 2, OIIO::TypeDesc::UINT8, ga));
        const Bitmap bm = bitmapOf(decodeFile(tmp.file("ga.png"))->image);
        for (int x = 0; x < 4; ++x) {
            const float a = ga[x * 2 + 1] / 255.f;
            EXPECT_NEAR(bm.pixel(x, 0)[1], srgbDecode8(ga[x * 2]) * a, 1e-6);
            EXPECT_NEAR(bm.pixel(x, 0)[3], a, 1e-6);
        }
    }
    {
        SCOPED_TRACE("16-bit TIFF");
        std::vector<uint16_t> deep(size_t(w) * h * 3);
        for (size_t i = 0; i < deep.size(); ++i)
            deep[i] = uint16_t(raw.data[i / 3 * 4 + i % 3] * 257 + (i % 200));
        ASSERT_TRUE(writeOIIO(tmp.file("deep.tif"), w, h, 3, OIIO::TypeDesc::UINT16, deep.data()));
        auto d = decodeFile(tmp.file("deep.tif"));
        ASSERT_TRUE(d.ok()) << d.error();
        const Bitmap bm = bitmapOf(d->image);
        for (int y = 0; y < h; y += 13)
            for (int x = 0; x < w; x += 7)
                for (int c = 0; c < 3; ++c)
                    EXPECT_NEAR(bm.pixel(x, h - 1 - y)[c],
                                srgbDecode(deep[(size_t(y) * w + x) * 3 + c] / 65535.f), 1e-6);
    }
    {
        SCOPED_TRACE("associated alpha TIFF");
        // Colour stored already multiplied by alpha (in the encoded values).
        const uint8_t px[] = {100, 50, 25, 128, 200, 100, 50, 255, 0, 0, 0, 0};
        ASSERT_TRUE(writeOIIO(tmp.file("assoc.tif"), 3, 1, 4, OIIO::TypeDesc::UINT8, px, false));
        const Bitmap bm = bitmapOf(decodeFile(tmp.file("assoc.tif"))->image);
        const float a = 128 / 255.f;
        EXPECT_NEAR(bm.pixel(0, 0)[0], srgbDecode(100 / 128.f) * a, 2e-3);
        EXPECT_NEAR(bm.pixel(0, 0)[3], a, 1e-6);
        EXPECT_NEAR(bm.pixel(1, 0)[0], srgbDecode8(200), 1e-6);
        EXPECT_EQ(bm.pixel(2, 0)[3], 0.0f);
    }
    {
        SCOPED_TRACE("palette BMP");
        // 8-bit indexed BMP, 3x2, bottom-up rows padded to 4 bytes.
        std::vector<uint8_t> bmp = {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 54 + 12, 0, 0, 0, // file header
                                    40, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0, 1, 0, 8, 0, 0, 0, 0, 0, 8, 0, 0, 0,
                                    0x13, 0x0B, 0, 0, 0x13, 0x0B, 0, 0, 3, 0, 0, 0, 3, 0, 0, 0,
                                    // palette, BGRX
                                    0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 0,
                                    // bottom row, then top row
                                    0, 1, 2, 0, 2, 2, 1, 0};
        bmp[2] = uint8_t(bmp.size());
        auto d = decodeData(bmp);
        ASSERT_TRUE(d.ok()) << d.error();
        const PixelBuffer px = pixelsOf(d->image);
        const uint8_t topRow[3][3] = {{0, 0, 255}, {0, 0, 255}, {0, 255, 0}};
        const uint8_t bottomRow[3][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
        for (int x = 0; x < 3; ++x)
            for (int c = 0; c < 3; ++c) {
                EXPECT_EQ(px.row8(0)[x * 4 + c], topRow[x][c]);
                EXPECT_EQ(px.row8(1)[x * 4 + c], bottomRow[x][c]);
            }
    }
    {
        SCOPED_TRACE("Targa from memory (no signature to recognise)");
        const uint8_t px[] = {10, 20, 30, 255, 200, 100, 50, 128};
        ASSERT_TRUE(writeOIIO(tmp.file("t.tga"), 2, 1, 4, OIIO::TypeDesc::UINT8, px));
        auto d = decodeData(readBytes(tmp.file("t.tga")));
        ASSERT_TRUE(d.ok()) << d.error();
        EXPECT_EQ(d->format, "targa");
        const Bitmap bm = bitmapOf(d->image);
        EXPECT_NEAR(bm.pixel(0, 0)[2], srgbDecode8(30), 1e-6);
        EXPECT_NEAR(bm.pixel(1, 0)[0], srgbDecode8(200) * 128 / 255.f, 1e-6);
    }
    {
        SCOPED_TRACE("float EXR");
        // Linear light, associated alpha: taken as stored.
        const float px[] = {0.25f, 2.0f, 0.0f, 1.0f, 0.125f, 0.0625f, 0.0f, 0.5f};
        auto out = OIIO::ImageOutput::create("exr");
        ASSERT_TRUE(out && out->open(tmp.file("f.exr"), OIIO::ImageSpec(2, 1, 4, OIIO::TypeDesc::HALF)) &&
                    out->write_image(OIIO::TypeDesc::FLOAT, px) && out->close());
        auto d = decodeFile(tmp.file("f.exr"));
        ASSERT_TRUE(d.ok()) << d.error();
        EXPECT_EQ(d->format, "openexr");
        const Bitmap bm = bitmapOf(d->image);
        for (int x = 0; x < 2; ++x)
            for (int c = 0; c < 4; ++c)
                EXPECT_EQ(bm.pixel(x, 0)[c], px[x * 4 + c]);
    }
    {
        SCOPED_TRACE("multi-page TIFF");
        const std::string path = tmp.file("pages.tif");
        OIIO::ImageSpec specs[2] = {OIIO::ImageSpec(2, 2, 3, OIIO::TypeDesc::UINT8),
                                    OIIO::ImageSpec(4, 4, 3, OIIO::TypeDesc::UINT8)};
        for (auto& s : specs)
            s.attribute("tiff:write_exif", 0);
        auto out = OIIO::ImageOutput::create(path);
        ASSERT_TRUE(out && out->open(path, 2, specs));
        const std::vector<uint8_t> red(2 * 2 * 3, 0), blue(4 * 4 * 3, 255);
        std::vector<uint8_t> first = red;
        for (size_t i = 0; i < first.size(); i += 3)
            first[i] = 255;
        ASSERT_TRUE(out->write_image(OIIO::TypeDesc::UINT8, first.data()));
        ASSERT_TRUE(out->open(path, specs[1], OIIO::ImageOutput::AppendSubimage));
        ASSERT_TRUE(out->write_image(OIIO::TypeDesc::UINT8, blue.data()) && out->close());
        auto d = decodeFile(path);
        ASSERT_TRUE(d.ok()) << d.error();
        EXPECT_EQ(d->width, 2);
        const PixelBuffer px = pixelsOf(d->image);
        EXPECT_EQ(px.data[0], 255);
        EXPECT_EQ(px.data[2], 0);
    }
}

TEST(Codec, FallsBackToQtForFormatsOpenImageIOLacks) {
    TempDir tmp;
    const std::string svg =
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"40\" height=\"30\">"
        "<rect x=\"0\" y=\"0\" width=\"20\" height=\"30\" fill=\"#ff0000\"/>"
        "<rect x=\"20\" y=\"0\" width=\"20\" height=\"30\" fill=\"#0000ff\" fill-opacity=\"0.5\"/>"
        "</svg>";
    const std::vector<uint8_t> bytes(svg.begin(), svg.end());
    writeBytes(tmp.file("drawing.svg"), bytes);
    for (auto d : {decodeFile(tmp.file("drawing.svg")), decodeData(bytes)}) {
        ASSERT_TRUE(d.ok()) << d.error();
        EXPECT_EQ(d->format, "svg");
        EXPECT_EQ(d->width, 40);
        EXPECT_EQ(d->height, 30);
        const Bitmap bm = bitmapOf(d->image);
        const float* left = bm.pixel(5, 5);
        const float* right = bm.pixel(30, 5);
        EXPECT_NEAR(left[0], 1, 1e-6);
        EXPECT_NEAR(left[3], 1, 1e-6);
        EXPECT_NEAR(right[2], 0.5, 0.01) << "premultiplied blue";
        EXPECT_NEAR(right[3], 0.5, 0.01);
        EXPECT_NEAR(right[0], 0, 1e-6);
    }
}

TEST(Codec, DamagedAndUnsupportedFilesAreErrors) {
    TempDir tmp;
    const std::vector<uint8_t> jpeg = readBytes(dataPath("rocket.jpg"));
    const std::vector<uint8_t> png = readBytes(dataPath("chelsea.png"));
    std::vector<uint8_t> cutJpeg(jpeg.begin(), jpeg.begin() + ptrdiff_t(jpeg.size() * 6 / 10));
    std::vector<uint8_t> cutPng(png.begin(), png.begin() + ptrdiff_t(png.size() / 2));
    std::vector<uint8_t> scrambled = jpeg;
    std::mt19937 rng(3);
    for (size_t i = 2000; i < scrambled.size(); i += 97)
        scrambled[i] = uint8_t(rng());
    const std::string text = "just some words, no picture";
    writeBytes(tmp.file("cut.jpg"), cutJpeg);
    writeBytes(tmp.file("cut.png"), cutPng);
    writeBytes(tmp.file("notes.txt"), {text.begin(), text.end()});
    writeBytes(tmp.file("fake.png"), {text.begin(), text.end()});

    for (const std::string& path : {dataPath("truncated.jpg"), tmp.file("cut.jpg"), tmp.file("cut.png"),
                                    tmp.file("notes.txt"), tmp.file("fake.png"), tmp.file("missing.jpg")}) {
        SCOPED_TRACE(path);
        auto d = decodeFile(path);
        EXPECT_FALSE(d.ok());
        EXPECT_FALSE(d.error().empty());
    }
    auto unsupported = decodeFile(tmp.file("notes.txt"));
    EXPECT_NE(unsupported.error().find("Unsupported"), std::string::npos) << unsupported.error();

    const std::vector<std::vector<uint8_t>> blobs = {readBytes(dataPath("truncated.jpg")),
                                                     cutJpeg,
                                                     cutPng,
                                                     {text.begin(), text.end()},
                                                     {},
                                                     {0xFF, 0xD8, 0xFF},
                                                     {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0}};
    for (size_t i = 0; i < blobs.size(); ++i) {
        SCOPED_TRACE("blob " + std::to_string(i));
        auto d = decodeData(blobs[i]);
        EXPECT_FALSE(d.ok());
        EXPECT_FALSE(d.error().empty());
    }
    // Corrupt entropy data is either reported or decoded, never a crash.
    (void)decodeData(scrambled);
}

TEST(Codec, CompactSamplesReadAsTheirConversion) {
    // Integer samples are kept as stored and converted as the renderer reads them; every reader
    // (rows, neighbourhood kernels, transforms, several at once) must see what converting them
    // up front gives, and the kept bytes count against the budget.
    struct Case {
        const char* name;
        SourceLayout layout;
        int orientation;
    };
    SourceLayout rgb8;
    SourceLayout greyAlpha8;
    greyAlpha8.grey = true, greyAlpha8.stride = 2, greyAlpha8.alpha = 1, greyAlpha8.associated = true;
    SourceLayout rgba16;
    rgba16.type = SampleType::U16, rgba16.stride = 4, rgba16.alpha = 3;
    const Case cases[] = {{"8-bit RGB", rgb8, 1},
                          {"8-bit RGB turned", rgb8, 6},
                          {"8-bit grey, associated alpha", greyAlpha8, 7},
                          {"16-bit RGBA", rgba16, 3}};
    const int w = 173, h = 119;
    std::mt19937 random(5);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto rows = std::make_shared<std::vector<uint8_t>>(c.layout.rowBytes(w) * h);
        for (uint8_t& b : *rows)
            b = uint8_t(random());
        PixelImporter importer(c.layout, nullptr, w, h, c.orientation);
        Bitmap whole = importer.makeBitmap();
        importer.importRows(rows->data(), c.layout.rowBytes(w), 0, h, whole);
        const Image reference = Image::fromBitmap(std::move(whole));

        const int64_t before = memory::inUse();
        {
            const Image compact = importPicture(c.layout, nullptr, w, h, c.orientation, rows);
            EXPECT_EQ(memory::inUse() - before, int64_t(rows->size()));
            ASSERT_EQ(compact.extent(), reference.extent());
            auto recipe = [](const Image& src) {
                const Image blurred = src.clampedToExtent()
                                          .applyingFilter("CIGaussianBlur", {{"inputRadius", 3.0}})
                                          .cropped(src.extent());
                return src.applyingFilter("CIColorControls", {{"inputSaturation", 1.3}})
                    .composited(blurred.transformed(Affine::rotation(0.3).then(Affine::scale(0.7, 0.9))))
                    .composited(src);
            };
            for (int tile : {16, 256}) {
                const Context context(Context::Options{tile, 3});
                auto a = context.render(compact), b = context.render(reference);
                auto ra = context.render(recipe(compact)), rb = context.render(recipe(reference));
                ASSERT_TRUE(a.ok() && b.ok() && ra.ok() && rb.ok());
                EXPECT_EQ(gwtest::maxDifference(*a, *b), 0.0) << "tile " << tile;
                EXPECT_EQ(gwtest::maxDifference(*ra, *rb), 0.0) << "tile " << tile;
            }
        }
        EXPECT_EQ(memory::inUse(), before);
    }
}

namespace {

/// A picture drawn by `fill`, written as a JPEG and decoded again: compact samples, as a decoded
/// photograph is held.
Image decodedJpegOf(int width, int height, const std::function<void(int, int, float*)>& fill) {
    auto bytes = encodeImage(Image::fromBitmap(gwtest::makeBitmap(width, height, fill)), FileType::JPEG, 0.9);
    EXPECT_TRUE(bytes) << bytes.error();
    if (!bytes)
        return {};
    auto decoded = decodeData(*bytes);
    EXPECT_TRUE(decoded) << decoded.error();
    return decoded ? decoded->image : Image();
}

} // namespace

TEST(Codec, AReducedCopyOfALargePhotographReadsItsSamplesInSmallBlocks) {
    // A 12-megapixel JPEG decodes into compact samples; a copy reduced to 512 pixels across (as
    // an analysis or a thumbnail takes it) converts them a tile's region at a time on every
    // worker. Those regions must be no larger than any other tile's: eight workers converting a
    // megapixel each would take 170 MB of fresh memory for a picture of 0.2 megapixels.
    const Image photo = decodedJpegOf(4000, 3000, [](int x, int y, float* p) {
        p[0] = 0.2f + 0.6f * float(x % 97) / 97.f;
        p[1] = 0.3f + 0.5f * float(y % 89) / 89.f;
        p[2] = float((x + y) % 31) / 31.f;
        p[3] = 1;
    });
    ASSERT_TRUE(photo);
    const double scale = 512.0 / 4000;
    const Image small = photo.transformed(Affine::scale(scale, scale));
    const Rect area = Rect::make(0, 0, 512, 384);
    auto reference = Context(Context::Options{64, 1}).render(small, area);
    ASSERT_TRUE(reference) << reference.error();
    const gwtest::BudgetOf budget(memory::inUse() + (80 << 20));
    auto tight = Context(Context::Options{256, 8}).render(small, area);
    ASSERT_TRUE(tight) << tight.error();
    EXPECT_EQ(gwtest::maxDifference(*reference, *tight), 0.0);
}

TEST(Codec, AKernelThatReadsAPhotographFarAndWideKeepsItsTiles) {
    // A warp that may read anywhere in a decoded photograph converts the whole picture for each
    // of its tiles, whatever their size: smaller tiles would only convert it more often.
    const Image photo = decodedJpegOf(800, 600, [](int x, int y, float* p) {
        p[0] = float(x % 50) / 50.f;
        p[1] = float(y % 40) / 40.f;
        p[2] = 0.5f;
        p[3] = 1;
    });
    ASSERT_TRUE(photo);
    const Rect extent = photo.extent();
    std::atomic<int64_t> rows{0};
    const Image mirrored = WarpKernel::apply(
        [&rows, extent](const WarpRow& r) {
            ++rows;
            for (int i = 0; i < r.count; ++i) {
                r.sx[i] = extent.x1 - (double(r.x + i) + 0.5 - extent.x0);
                r.sy[i] = double(r.y) + 0.5;
            }
        },
        photo, extent, [extent](const Rect&) { return extent; });
    auto out = Context(Context::Options{256, 4}).render(mirrored, extent);
    ASSERT_TRUE(out) << out.error();
    // Tiles of 256 ask for a row 4 times across 600 rows; tiles of 16 would ask 50 times.
    EXPECT_LE(rows.load(), 4 * 600);
    float p[4], q[4];
    out->read(10, 300, p);
    auto plain = Context().render(photo, extent);
    ASSERT_TRUE(plain);
    plain->read(789, 300, q);
    for (int c = 0; c < 4; ++c)
        EXPECT_NEAR(p[c], q[c], 1e-6) << c;
}
