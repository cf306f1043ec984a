// The probe (a file's upright size and format from its header, and damage from a look through its
// data) and the decode in two steps (read, then converted), agreeing with the decoder on every
// kind of file.

#include "support/TestSupport.h"

#include "ci/core/Context.h"
#include "ci/core/Memory.h"
#include "ci/io/Codec.h"

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <thread>

using namespace ci;
using namespace ci::io;
using gwtest::BudgetOf;
using gwtest::dataPath;
using gwtest::readBytes;
using gwtest::TempDir;
using gwtest::writeBytes;

namespace {

/// A 16-bit RGBA TIFF stored in deflated 64 x 64 tiles, a layout the data scan reads whole.
void writeTiledTiff(const std::string& path, int w, int h) {
    OIIO::ImageSpec spec(w, h, 4, OIIO::TypeDesc::UINT16);
    spec.tile_width = spec.tile_height = 64;
    spec.attribute("compression", "zip");
    std::vector<uint16_t> pixels(size_t(w) * h * 4);
    std::mt19937 rng(5);
    for (auto& v : pixels)
        v = uint16_t(rng());
    auto out = OIIO::ImageOutput::create(path);
    ASSERT_TRUE(out && out->open(path, spec));
    ASSERT_TRUE(out->write_image(OIIO::TypeDesc::UINT16, pixels.data()) && out->close());
}

} // namespace

TEST(Codec, ProbeAgreesWithTheDecoder) {
    TempDir tmp;
    // Turned a quarter (6) and a quarter the other way, mirrored (7), by the EXIF orientation.
    for (int o : {6, 7}) {
        const std::string command = "exiftool -q -n -Orientation=" + std::to_string(o) + " -o " +
                                    tmp.file("o" + std::to_string(o) + ".jpg") + " " + dataPath("rocket.jpg");
        ASSERT_EQ(std::system(command.c_str()), 0);
    }
    writeTiledTiff(tmp.file("tiled.tif"), 200, 130);
    const std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"40\" height=\"30\">"
                            "<rect width=\"40\" height=\"30\" fill=\"#ff0000\"/></svg>";
    writeBytes(tmp.file("drawing.svg"), {svg.begin(), svg.end()});

    for (const std::string& path :
         {dataPath("rocket.jpg"), dataPath("coffee.png"), dataPath("astronaut.png"), tmp.file("o6.jpg"),
          tmp.file("o7.jpg"), tmp.file("tiled.tif"), tmp.file("drawing.svg")}) {
        SCOPED_TRACE(path);
        const auto decoded = decodeFile(path);
        ASSERT_TRUE(decoded.ok()) << decoded.error();
        for (ProbeDepth depth : {ProbeDepth::Header, ProbeDepth::Data}) {
            const int64_t held = memory::inUse();
            const auto probe = probeFile(path, depth);
            ASSERT_TRUE(probe.ok()) << probe.error();
            EXPECT_EQ(probe->width, decoded->width);
            EXPECT_EQ(probe->height, decoded->height);
            EXPECT_EQ(probe->format, decoded->format);
            EXPECT_EQ(memory::inUse(), held) << "no pixel buffer";
        }
    }
    const auto turned = probeFile(tmp.file("o6.jpg"));
    ASSERT_TRUE(turned.ok());
    EXPECT_EQ(turned->width, 427);
    EXPECT_EQ(turned->height, 640);
}

TEST(Codec, ProbeTurnsAwayWhatTheDecoderTurnsAway) {
    TempDir tmp;
    const std::vector<uint8_t> jpeg = readBytes(dataPath("rocket.jpg"));
    const std::vector<uint8_t> png = readBytes(dataPath("chelsea.png"));
    writeBytes(tmp.file("cut.jpg"), {jpeg.begin(), jpeg.begin() + ptrdiff_t(jpeg.size() * 6 / 10)});
    writeBytes(tmp.file("cut.png"), {png.begin(), png.begin() + ptrdiff_t(png.size() / 2)});
    // Scrambled compressed data: the JPEG's entropy-coded second half, the middle of the TIFF's
    // tiles (its directory comes after them).
    std::mt19937 rng(7);
    std::vector<uint8_t> scrambled = jpeg;
    for (size_t i = scrambled.size() / 2; i + 2 < scrambled.size(); i += 61)
        scrambled[i] = uint8_t(rng() & 0x7F);
    writeBytes(tmp.file("scrambled.jpg"), scrambled);
    writeTiledTiff(tmp.file("tiled.tif"), 300, 300);
    std::vector<uint8_t> tiff = readBytes(tmp.file("tiled.tif"));
    for (size_t i = tiff.size() / 4; i < tiff.size() * 3 / 4; i += 53)
        tiff[i] = uint8_t(rng());
    writeBytes(tmp.file("scrambled.tif"), tiff);

    // Whole headers over damaged data: the header alone passes, the look through the data does not.
    for (const std::string& path : {dataPath("truncated.jpg"), tmp.file("cut.jpg"), tmp.file("cut.png"),
                                    tmp.file("scrambled.tif"), tmp.file("scrambled.jpg")}) {
        SCOPED_TRACE(path);
        EXPECT_FALSE(decodeFile(path).ok());
        if (path != dataPath("truncated.jpg")) { // cut inside its header
            EXPECT_TRUE(probeFile(path, ProbeDepth::Header).ok());
        }
        const auto probe = probeFile(path, ProbeDepth::Data);
        ASSERT_FALSE(probe.ok());
        EXPECT_FALSE(probe.error().empty());
    }
    EXPECT_NE(probeFile(tmp.file("cut.jpg"), ProbeDepth::Data).error().find("Premature end of JPEG file"),
              std::string::npos);

    // No image at all: the decoder's own messages.
    const std::string text = "just some words, no picture";
    writeBytes(tmp.file("notes.txt"), {text.begin(), text.end()});
    writeBytes(tmp.file("fake.png"), {text.begin(), text.end()});
    std::filesystem::create_directory(tmp.path / "folder.png");
    ASSERT_EQ(::mkfifo(tmp.file("pipe.jpg").c_str(), 0600), 0);
    for (const std::string& path : {tmp.file("notes.txt"), tmp.file("fake.png"), tmp.file("folder.png"),
                                    tmp.file("pipe.jpg"), tmp.file("gone.jpg")}) {
        SCOPED_TRACE(path);
        const auto decoded = decodeFile(path);
        ASSERT_FALSE(decoded.ok());
        for (ProbeDepth depth : {ProbeDepth::Header, ProbeDepth::Data}) {
            const auto probe = probeFile(path, depth);
            ASSERT_FALSE(probe.ok());
            EXPECT_EQ(probe.error(), decoded.error());
        }
    }

    // A picture over the memory budget is refused from its header, as the decoder refuses it.
    BudgetOf budget(64 * 1024);
    const auto large = probeFile(dataPath("coffee.png"));
    ASSERT_FALSE(large.ok());
    EXPECT_NE(large.error().find("600 x 400"), std::string::npos) << large.error();
}

TEST(Codec, ReadThenDecodedIsTheDecode) {
    TempDir tmp;
    ASSERT_EQ(
        std::system(("exiftool -q -n -Orientation=8 -o " + tmp.file("o8.jpg") + " " + dataPath("rocket.jpg"))
                        .c_str()),
        0);
    writeTiledTiff(tmp.file("tiled.tif"), 200, 130);
    // 16-bit grey with alpha.
    {
        OIIO::ImageSpec spec(70, 50, 2, OIIO::TypeDesc::UINT16);
        spec.alpha_channel = 1;
        std::vector<uint16_t> px(70 * 50 * 2);
        for (size_t i = 0; i < px.size(); ++i)
            px[i] = uint16_t(i * 977);
        auto out = OIIO::ImageOutput::create(tmp.file("grey16.png"));
        ASSERT_TRUE(out && out->open(tmp.file("grey16.png"), spec));
        ASSERT_TRUE(out->write_image(OIIO::TypeDesc::UINT16, px.data()) && out->close());
    }
    const std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"40\" height=\"30\">"
                            "<rect width=\"20\" height=\"30\" fill=\"#00ff00\"/></svg>";
    writeBytes(tmp.file("drawing.svg"), {svg.begin(), svg.end()});

    for (const std::string& path : {dataPath("rocket.jpg"), dataPath("astronaut.png"), tmp.file("o8.jpg"),
                                    tmp.file("tiled.tif"), tmp.file("grey16.png"), tmp.file("drawing.svg")}) {
        SCOPED_TRACE(path);
        const auto decoded = decodeFile(path);
        ASSERT_TRUE(decoded.ok()) << decoded.error();
        auto read = readPicture(path);
        ASSERT_TRUE(read.ok()) << read.error();
        const auto converted = decodePicture(std::move(*read));
        ASSERT_TRUE(converted.ok()) << converted.error();
        EXPECT_EQ(converted->width, decoded->width);
        EXPECT_EQ(converted->height, decoded->height);
        EXPECT_EQ(converted->format, decoded->format);
        auto a = Context().render(converted->image), b = Context().render(decoded->image);
        ASSERT_TRUE(a.ok() && b.ok());
        EXPECT_EQ(gwtest::maxDifference(*a, *b), 0.0);
    }

    // Damage is seen when reading, as decoding sees it.
    const std::vector<uint8_t> png = readBytes(dataPath("chelsea.png"));
    writeBytes(tmp.file("cut.png"), {png.begin(), png.begin() + ptrdiff_t(png.size() / 2)});
    for (const std::string& path : {dataPath("truncated.jpg"), tmp.file("cut.png"), tmp.file("gone.png")}) {
        SCOPED_TRACE(path);
        const auto read = readPicture(path);
        ASSERT_FALSE(read.ok());
        EXPECT_EQ(read.error(), decodeFile(path).error());
    }
}

namespace {

void putBig32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out[at + size_t(i)] = uint8_t(v >> (24 - 8 * i));
}

/// An ICC profile of `tags` text tags with signatures made from `seed`, which the readers of
/// the image library have not seen before.
std::vector<uint8_t> profileWithTags(int seed, int tags) {
    const size_t table = 128 + 4 + size_t(tags) * 12;
    std::vector<uint8_t> icc(table + size_t(tags) * 16, 0);
    putBig32(icc, 0, uint32_t(icc.size()));
    std::memcpy(&icc[12], "mntr", 4);
    std::memcpy(&icc[16], "RGB ", 4);
    std::memcpy(&icc[20], "XYZ ", 4);
    std::memcpy(&icc[36], "acsp", 4);
    putBig32(icc, 128, uint32_t(tags));
    for (int t = 0; t < tags; ++t) {
        const size_t entry = 132 + size_t(t) * 12, data = table + size_t(t) * 16;
        const int n = seed * 1000 + t;
        const char signature[4] = {char('a' + n % 26), char('a' + n / 26 % 26), char('a' + n / 676 % 26),
                                   char('a' + n / 17576 % 26)};
        std::memcpy(&icc[entry], signature, 4);
        putBig32(icc, entry + 4, uint32_t(data));
        putBig32(icc, entry + 8, 16);
        std::memcpy(&icc[data], "text", 4);
        std::memcpy(&icc[data + 8], "tag", 3);
    }
    return icc;
}

} // namespace

TEST(Codec, FilesWithProfilesAreOpenedSafelyTogether) {
    // The image library keeps a table of the profile tags it has seen; opening many files whose
    // profiles bring new tags from several threads at once must neither crash nor corrupt.
    TempDir tmp;
    std::vector<std::string> paths;
    for (int i = 0; i < 48; ++i) {
        const std::vector<uint8_t> icc = profileWithTags(i, 40);
        OIIO::ImageSpec spec(16, 8, 3, OIIO::TypeDesc::UINT8);
        spec.attribute("ICCProfile", OIIO::TypeDesc(OIIO::TypeDesc::UINT8, int(icc.size())), icc.data());
        std::vector<uint8_t> pixels(16 * 8 * 3, uint8_t(i));
        paths.push_back(tmp.file("p" + std::to_string(i) + ".jpg"));
        auto out = OIIO::ImageOutput::create(paths.back());
        ASSERT_TRUE(out && out->open(paths.back(), spec)) << (out ? out->geterror() : "");
        ASSERT_TRUE(out->write_image(OIIO::TypeDesc::UINT8, pixels.data()) && out->close());
    }
    std::atomic<int> opened{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (size_t i = size_t(t); i < paths.size() * 4; i += 8) {
                const std::string& path = paths[i % paths.size()];
                if (i % 3 == 0 ? readPicture(path).ok() : probeFile(path).ok())
                    ++opened;
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(opened, int(paths.size() * 4));
}
