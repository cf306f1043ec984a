// The JPEG and PNG files read with libjpeg and libpng directly (and JPEG written with libjpeg)
// against the same files read and written through the image library: every sample, the profile,
// the orientation, the alpha and the written bytes.

#include "support/TestSupport.h"

#include "ci/core/Context.h"
#include "ci/io/Codec.h"
#include "ci/io/ImageLibrary.h"
#include "ci/io/JpegCodec.h"
#include "ci/io/PngCodec.h"

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

extern "C" {
#include <jpeglib.h>
}
#include <png.h>

#include <cstdio>
#include <tuple>

using namespace ci;
using namespace ci::io;
using gwtest::dataPath;
using gwtest::maxDifference;
using gwtest::readBytes;
using gwtest::TempDir;

namespace {

/// The rocket photo written again through OpenImageIO with `attributes` (and grey when asked).
std::string rewrite(TempDir& tmp, const std::string& name, bool grey,
                    const std::vector<OIIO::ParamValue>& attributes) {
    auto in = OIIO::ImageInput::open(dataPath("rocket.jpg"));
    if (!in)
        return {};
    const OIIO::ImageSpec source = in->spec();
    const int channels = grey ? 1 : 3;
    std::vector<uint8_t> px(size_t(source.width) * size_t(source.height) * size_t(channels));
    if (!in->read_image(0, 0, 0, channels, OIIO::TypeDesc::UINT8, px.data()))
        return {};
    const std::string path = tmp.file(name);
    auto out = OIIO::ImageOutput::create(path);
    OIIO::ImageSpec spec(source.width, source.height, channels, OIIO::TypeDesc::UINT8);
    for (const OIIO::ParamValue& value : attributes)
        spec.attribute(value.name(), value.type(), value.data());
    if (!out || !out->open(path, spec) || !out->write_image(OIIO::TypeDesc::UINT8, px.data()) ||
        !out->close())
        return {};
    return path;
}

/// A 4-component (CMYK) JPEG without a profile.
std::string writeCmyk(TempDir& tmp) {
    const std::string path = tmp.file("cmyk.jpg");
    FILE* f = std::fopen(path.c_str(), "wb");
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    jpeg_stdio_dest(&c, f);
    c.image_width = 24;
    c.image_height = 16;
    c.input_components = 4;
    c.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&c);
    jpeg_start_compress(&c, TRUE);
    std::vector<JSAMPLE> row(24 * 4);
    for (int y = 0; y < 16; ++y) {
        for (size_t i = 0; i < row.size(); ++i)
            row[i] = JSAMPLE((i * 11 + size_t(y) * 7) & 0xFF);
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::fclose(f);
    return path;
}

/// A PNG file written with libpng: `channels` of `depth` bits, a gradient, with `icc` and a
/// compressed text when given.
std::string writePng(TempDir& tmp, const std::string& name, int channels, int depth,
                     const std::vector<uint8_t>& icc = {}, const char* key = nullptr, const char* text = "") {
    const std::string path = tmp.file(name);
    FILE* f = std::fopen(path.c_str(), "wb");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, f);
    const int types[] = {0, PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA, PNG_COLOR_TYPE_RGB,
                         PNG_COLOR_TYPE_RGB_ALPHA};
    const int w = 61, h = 37;
    png_set_IHDR(png, info, w, h, depth, types[channels], PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    if (!icc.empty())
        png_set_iCCP(png, info, "profile", 0, icc.data(), png_uint_32(icc.size()));
    png_text note{};
    note.compression = PNG_TEXT_COMPRESSION_zTXt;
    note.key = const_cast<char*>(key);
    note.text = const_cast<char*>(text);
    if (key)
        png_set_text(png, info, &note, 1);
    png_write_info(png, info);
    const int bytes = depth / 8;
    std::vector<uint8_t> row(size_t(w) * size_t(channels) * size_t(bytes));
    for (int y = 0; y < h; ++y) {
        for (size_t i = 0; i < row.size(); ++i)
            row[i] = uint8_t((i * 29 + size_t(y) * 13) ^ (i >> 3));
        png_write_row(png, row.data());
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
    return path;
}

void expectSameReading(const std::string& path, int orientation, bool profile) {
    SCOPED_TRACE(path);
    std::unique_ptr<PictureInput> direct =
        path.ends_with(".png") ? ci::io::png::openFile(path) : jpeg::openFile(path);
    ASSERT_TRUE(direct);
    imagelib::Opened library = imagelib::openFile(path, path.ends_with(".png") ? "png" : "jpeg");
    ASSERT_TRUE(library.input) << library.error;
    const PictureSpec &a = direct->spec(), &b = library.input->spec();
    EXPECT_EQ(a.width, b.width);
    EXPECT_EQ(a.height, b.height);
    ASSERT_EQ(a.nchannels, b.nchannels);
    EXPECT_EQ(a.base, b.base);
    EXPECT_EQ(a.alphaChannel, b.alphaChannel);
    EXPECT_EQ(a.unassociatedAlpha, b.unassociatedAlpha);
    EXPECT_EQ(a.orientation, b.orientation);
    EXPECT_EQ(a.orientation, orientation);
    EXPECT_EQ(a.iccProfile.empty(), !profile);
    EXPECT_EQ(a.iccProfile, b.iccProfile);
    EXPECT_EQ(a.scanlineBytes, b.scanlineBytes);
    EXPECT_EQ(library.input->formatName(), direct->formatName());

    std::vector<uint8_t> ra(size_t(a.scanlineBytes) * size_t(a.height)), rb(ra.size());
    // In two parts, as the decoder reads bands.
    const int half = a.height / 2;
    const ReadType type = a.base == StoredBase::U16 ? ReadType::U16 : ReadType::U8;
    ASSERT_TRUE(direct->readScanlines(0, half, a.nchannels, type, ra.data()));
    ASSERT_TRUE(direct->readScanlines(half, a.height, a.nchannels, type,
                                      ra.data() + size_t(half) * size_t(a.scanlineBytes)));
    ASSERT_TRUE(library.input->readScanlines(0, b.height, b.nchannels, type, rb.data()));
    EXPECT_TRUE(ra == rb) << "the samples differ";
    EXPECT_EQ(direct->takeErrors(), "");

    // The whole decode, from the file and from memory.
    auto viaLibrary = imagelib::decodeFile(path);
    auto fromFile = decodeFile(path);
    auto fromMemory = decodeData(readBytes(path));
    ASSERT_TRUE(viaLibrary.ok()) << viaLibrary.error();
    ASSERT_TRUE(fromFile.ok()) << fromFile.error();
    ASSERT_TRUE(fromMemory.ok()) << fromMemory.error();
    EXPECT_EQ(fromFile->width, viaLibrary->width);
    EXPECT_EQ(fromFile->height, viaLibrary->height);
    EXPECT_EQ(fromFile->format, direct->formatName());
    auto expected = Context().render(viaLibrary->image);
    ASSERT_TRUE(expected.ok());
    for (const Image* image : {&fromFile->image, &fromMemory->image}) {
        auto got = Context().render(*image);
        ASSERT_TRUE(got.ok());
        EXPECT_EQ(maxDifference(*got, *expected), 0.0);
    }
}

} // namespace

TEST(CodecJpeg, DirectReadingGivesWhatTheImageLibraryGives) {
    TempDir tmp;
    const std::string adobe = dataPath("rocket.jpg"); // carries an Adobe RGB profile
    auto icc = imagelib::openFile(adobe, "jpeg").input->spec().iccProfile;
    ASSERT_FALSE(icc.empty());
    using P = OIIO::ParamValue;
    const std::vector<std::tuple<std::string, int, bool>> files = {
        {adobe, 1, true},
        {rewrite(tmp, "grey-turned.jpg", true, {P("Orientation", 6)}), 6, false},
        {rewrite(tmp, "progressive-mirrored.jpg", false, {P("jpeg:progressive", 1), P("Orientation", 4)}), 4,
         false},
        {rewrite(tmp, "422-profile.jpg", false,
                 {P("jpeg:subsampling", "4:2:2"),
                  P("ICCProfile", OIIO::TypeDesc(OIIO::TypeDesc::UINT8, int(icc.size())), 1, icc.data()),
                  P("Compression", "jpeg:60")}),
         1, true},
    };
    for (const auto& [path, orientation, profile] : files) {
        ASSERT_FALSE(path.empty());
        expectSameReading(path, orientation, profile);
    }

    // CMYK without a profile is read here too, and converted as the image library converts it.
    const std::string cmyk = writeCmyk(tmp);
    EXPECT_TRUE(jpeg::openFile(cmyk));
    auto viaLibrary = imagelib::decodeFile(cmyk);
    ASSERT_TRUE(viaLibrary.ok()) << viaLibrary.error();
    auto expected = Context().render(viaLibrary->image);
    ASSERT_TRUE(expected.ok());
    for (const auto& decoded : {decodeFile(cmyk), decodeData(readBytes(cmyk))}) {
        ASSERT_TRUE(decoded.ok()) << decoded.error();
        EXPECT_EQ(decoded->width, 24);
        auto got = Context().render(decoded->image);
        ASSERT_TRUE(got.ok());
        EXPECT_EQ(maxDifference(*got, *expected), 0.0);
    }

    // Damage is still seen: the truncated photo reads as an error from the file and from memory.
    EXPECT_FALSE(decodeFile(dataPath("truncated.jpg")).ok());
    EXPECT_FALSE(decodeData(readBytes(dataPath("truncated.jpg"))).ok());
}

TEST(CodecPng, DirectReadingGivesWhatTheImageLibraryGives) {
    TempDir tmp;
    auto icc = jpeg::openFile(dataPath("rocket.jpg"))->spec().iccProfile;
    ASSERT_FALSE(icc.empty());
    // The photo (no profile) as it is, and written again by the exporter in 8 and 16 bits with
    // alpha; grey, grey and alpha, and a profile, written with libpng.
    auto photo = decodeFile(dataPath("coffee.png"));
    ASSERT_TRUE(photo.ok()) << photo.error();
    auto rendered = Context().renderSRGB(photo->image, photo->image.extent(), 16);
    ASSERT_TRUE(rendered.ok());
    auto* p16 = reinterpret_cast<uint16_t*>(rendered->data.data());
    for (size_t i = 3; i < size_t(rendered->width) * size_t(rendered->height) * 4; i += 4 * 7)
        p16[i] = uint16_t(i * 131); // some transparency
    auto png16 = encodePixels(*rendered, FileType::PNG);
    ASSERT_TRUE(png16.ok()) << png16.error();
    gwtest::writeBytes(tmp.file("alpha16.png"), *png16);
    auto rendered8 =
        Context().renderSRGB(decodeFile(tmp.file("alpha16.png"))->image, photo->image.extent(), 8);
    ASSERT_TRUE(rendered8.ok());
    auto png8 = encodePixels(*rendered8, FileType::PNG);
    ASSERT_TRUE(png8.ok()) << png8.error();
    gwtest::writeBytes(tmp.file("alpha8.png"), *png8);

    // Texts are passed over, here many written by the image library.
    for (const std::string& path : {dataPath("coffee.png"), tmp.file("alpha16.png"), tmp.file("alpha8.png"),
                                    writePng(tmp, "grey.png", 1, 8), writePng(tmp, "grey-alpha16.png", 2, 16),
                                    writePng(tmp, "profile.png", 3, 8, icc), dataPath("chelsea-small.png")})
        expectSameReading(path, 1, path.ends_with("profile.png"));

    // A text that the image library reads as the orientation leaves the file to it, in any case.
    for (const char* key : {"Orientation", "orientation"}) {
        const std::string turned = writePng(tmp, std::string(key) + ".png", 3, 8, {}, key, "6");
        EXPECT_FALSE(ci::io::png::openFile(turned));
        auto decoded = decodeFile(turned);
        ASSERT_TRUE(decoded.ok()) << decoded.error();
        EXPECT_EQ(decoded->width, 37);
        EXPECT_EQ(decoded->height, 61);
    }

    // Damage: the photo cut short is an error, from the file and from memory.
    std::vector<uint8_t> cut = readBytes(dataPath("coffee.png"));
    cut.resize(cut.size() * 2 / 3);
    gwtest::writeBytes(tmp.file("cut.png"), cut);
    EXPECT_FALSE(decodeFile(tmp.file("cut.png")).ok());
    EXPECT_FALSE(decodeData(cut).ok());
}

TEST(CodecJpeg, DirectWritingGivesTheImageLibrarysBytes) {
    // A gradient with partly transparent pixels (stored over black), in 8 and 16 bits.
    PixelBuffer px8, px16;
    px8.width = px16.width = 157;
    px8.height = px16.height = 93;
    px8.bitsPerChannel = 8;
    px16.bitsPerChannel = 16;
    px8.data.resize(size_t(157) * 93 * 4);
    px16.data.resize(px8.data.size() * 2);
    auto* p16 = reinterpret_cast<uint16_t*>(px16.data.data());
    for (int y = 0; y < 93; ++y)
        for (int x = 0; x < 157; ++x) {
            const size_t i = (size_t(y) * 157 + size_t(x)) * 4;
            const uint16_t v[4] = {uint16_t(x * 417), uint16_t(y * 700), uint16_t((x ^ y) * 257),
                                   uint16_t(x > 100 && y > 50 ? 32768 : 65535)};
            for (int c = 0; c < 4; ++c) {
                p16[i + size_t(c)] = v[c];
                px8.data[i + size_t(c)] = uint8_t(v[c] >> 8);
            }
        }
    for (const double compression : {0.2, 0.8, 0.95, 1.0})
        for (const PixelBuffer* px : {&px8, &px16}) {
            SCOPED_TRACE(std::to_string(compression) + " " + std::to_string(px->bitsPerChannel));
            auto direct = encodePixels(*px, FileType::JPEG, compression);
            auto library = imagelib::encodeJpeg(px->bitsPerChannel == 16 ? px8 : *px, compression);
            ASSERT_TRUE(direct.ok()) << direct.error();
            ASSERT_TRUE(library.ok()) << library.error();
            if (px->bitsPerChannel == 8) {
                EXPECT_TRUE(*direct == *library) << "the files differ";
            }
            // Whatever the bytes, the pictures must be the same.
            auto a = decodeData(*direct), b = decodeData(*library);
            ASSERT_TRUE(a.ok() && b.ok());
            auto ra = Context().render(a->image), rb = Context().render(b->image);
            ASSERT_TRUE(ra.ok() && rb.ok());
            if (px->bitsPerChannel == 8) {
                EXPECT_EQ(maxDifference(*ra, *rb), 0.0);
            }
        }
}
