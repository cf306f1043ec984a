// Files that must fail cleanly: pictures too large for the memory budget, files that are not
// regular files, JPEG data damaged after a harmless irregularity, offsets that point outside the
// file, and TIFF strips and tiles that do not inflate; and harmless irregularities that must not
// fail: JPEG profile chunks that do not fit together, a JPEG that lacks only its end marker, a TIFF
// tag that no reader knows.

#include "support/TestFileSystem.h"
#include "support/TestSupport.h"
#include "test_codec_support.h"

#include "ci/core/Context.h"
#include "ci/core/Memory.h"
#include "ci/io/Codec.h"

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>
#include <zlib.h>

extern "C" {
#include <jerror.h>
}

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csetjmp>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <random>
#include <thread>

using namespace ci;
using namespace ci::io;
using codectest::damagedTiff;
using codectest::readEachWay;
using gwtest::BudgetOf;
using gwtest::dataPath;
using gwtest::readBytes;
using gwtest::TempDir;
using gwtest::writeBytes;
namespace fs = std::filesystem;

namespace {

constexpr int64_t kMB = int64_t(1) << 20;

void putU32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(uint8_t(v >> shift));
}

void putChunk(std::vector<uint8_t>& png, const char* type, const std::vector<uint8_t>& data) {
    putU32(png, uint32_t(data.size()));
    const size_t start = png.size();
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), data.begin(), data.end());
    putU32(png, uint32_t(crc32(0, png.data() + start, uInt(png.size() - start))));
}

/// A black grey PNG of 1 bit (or `depth`): all-zero rows deflate to almost nothing, whatever the
/// size.
std::vector<uint8_t> bilevelPng(uint32_t w, uint32_t h, uint8_t depth = 1) {
    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    std::vector<uint8_t> header;
    putU32(header, w);
    putU32(header, h);
    header.insert(header.end(), {depth, 0, 0, 0, 0}); // grey, deflate, no filter, no interlace
    putChunk(png, "IHDR", header);

    const std::vector<uint8_t> row(1 + (w * depth + 7) / 8, 0);
    std::vector<uint8_t> idat(64 * 1024);
    z_stream z{};
    deflateInit(&z, 9);
    z.next_out = idat.data();
    z.avail_out = uInt(idat.size());
    for (uint32_t y = 0; y < h; ++y) {
        z.next_in = const_cast<Bytef*>(row.data());
        z.avail_in = uInt(row.size());
        while (z.avail_in > 0)
            deflate(&z, Z_NO_FLUSH);
    }
    while (deflate(&z, Z_FINISH) != Z_STREAM_END) {
    }
    idat.resize(z.total_out);
    deflateEnd(&z);
    putChunk(png, "IDAT", idat);
    putChunk(png, "IEND", {});
    return png;
}

int64_t peakRss() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return int64_t(usage.ru_maxrss) * 1024;
}

void putSegment(std::vector<uint8_t>& jpeg, uint8_t marker, const std::vector<uint8_t>& body) {
    jpeg.insert(jpeg.end(), {0xFF, marker, uint8_t((body.size() + 2) >> 8), uint8_t(body.size() + 2)});
    jpeg.insert(jpeg.end(), body.begin(), body.end());
}

/// Entropy-coded bits, 0xFF bytes stuffed, the last byte filled with ones.
struct BitWriter {
    std::vector<uint8_t> bytes;
    uint32_t acc = 0;
    int count = 0;
    void put(uint32_t value, int bits) {
        for (int i = bits - 1; i >= 0; --i) {
            acc = acc << 1 | ((value >> i) & 1);
            if (++count == 8) {
                bytes.push_back(uint8_t(acc));
                if (acc == 0xFF)
                    bytes.push_back(0);
                acc = 0;
                count = 0;
            }
        }
    }
    std::vector<uint8_t> finish() {
        while (count != 0)
            put(1, 1);
        return bytes;
    }
};

/// The start of a progressive JPEG of w x h pixels in `components` at full resolution (Huffman
/// tables in which a block's DC difference 0 takes one bit and an end-of-band run of 2^n blocks
/// four) and its first scan: the DC of every block, cut after `dcBytes` when given.
std::vector<uint8_t> progressiveJpeg(int w, int h, int components, size_t dcBytes = SIZE_MAX) {
    std::vector<uint8_t> jpeg = {0xFF, 0xD8};
    std::vector<uint8_t> quant(65, 1);
    quant[0] = 0;
    putSegment(jpeg, 0xDB, quant);
    std::vector<uint8_t> frame = {8,          uint8_t(h >> 8),    uint8_t(h), uint8_t(w >> 8),
                                  uint8_t(w), uint8_t(components)};
    for (int c = 1; c <= components; ++c)
        frame.insert(frame.end(), {uint8_t(c), 0x11, 0});
    putSegment(jpeg, 0xC2, frame);
    std::vector<uint8_t> dc(17, 0);
    dc[1] = 1; // one code of one bit, for category 0
    dc.push_back(0);
    putSegment(jpeg, 0xC4, dc);
    std::vector<uint8_t> ac(17, 0);
    ac[0] = 0x10;
    ac[4] = 15; // fifteen codes of four bits, for the end-of-band runs EOB0 to EOB14
    for (int n = 0; n < 15; ++n)
        ac.push_back(uint8_t(n << 4));
    putSegment(jpeg, 0xC4, ac);
    std::vector<uint8_t> scan = {uint8_t(components)};
    for (int c = 1; c <= components; ++c)
        scan.insert(scan.end(), {uint8_t(c), 0});
    scan.insert(scan.end(), {0, 0, 0});
    putSegment(jpeg, 0xDA, scan);
    const size_t blocks = size_t((w + 7) / 8) * size_t((h + 7) / 8) * size_t(components);
    jpeg.resize(jpeg.size() + std::min(dcBytes, (blocks + 7) / 8), 0);
    if (dcBytes != SIZE_MAX)
        jpeg.insert(jpeg.end(), {0xFF, 0xD9});
    return jpeg;
}

/// Adds `count` scans of the AC coefficients of the first component, each all zero: a few bytes
/// of end-of-band runs, whatever the size of the picture. Then ends the file.
void addEmptyScans(std::vector<uint8_t>& jpeg, int w, int h, int count) {
    BitWriter bits;
    for (int64_t left = int64_t((w + 7) / 8) * ((h + 7) / 8); left > 0;) {
        const int64_t run = std::min<int64_t>(left, 32767);
        const int n = 63 - __builtin_clzll(uint64_t(run));
        bits.put(uint32_t(n), 4);
        bits.put(uint32_t(run - (int64_t(1) << n)), n);
        left -= run;
    }
    const std::vector<uint8_t> data = bits.finish();
    for (int i = 0; i < count; ++i) {
        putSegment(jpeg, 0xDA, {1, 1, 0, 1, 63, 0});
        jpeg.insert(jpeg.end(), data.begin(), data.end());
    }
    jpeg.insert(jpeg.end(), {0xFF, 0xD9});
}

/// Where the last scan of a JPEG starts (its marker).
size_t lastScan(const std::vector<uint8_t>& jpeg) {
    for (size_t at = jpeg.size() - 2; at > 2; --at)
        if (jpeg[at] == 0xFF && jpeg[at + 1] == 0xDA)
            return at;
    return 0;
}

/// The photo with junk bytes between its first two markers: libjpeg warns about them, and the
/// picture is whole.
std::vector<uint8_t> jpegWithJunk() {
    std::vector<uint8_t> jpeg = readBytes(dataPath("rocket.jpg"));
    const size_t next = 4 + ((size_t(jpeg[4]) << 8) | jpeg[5]); // after the first segment
    jpeg.insert(jpeg.begin() + ptrdiff_t(next), {0x00, 0x11, 0x22, 0x33});
    return jpeg;
}

/// A JPEG decoded by libjpeg alone into 8-bit RGB, fed `chunk` bytes at a time (libjpeg-turbo
/// decodes bit by bit, warning of every unused code, only when little of its input is ahead), with
/// the code of its first warning (-1 when none); empty pixels when libjpeg fails.
struct PlainDecode {
    std::vector<uint8_t> rgb;
    int firstWarning = -1;
};

struct ChunkSource {
    jpeg_source_mgr pub;
    const std::vector<uint8_t>* bytes;
    size_t at = 0, chunk = 0;
};

struct PlainError {
    jpeg_error_mgr pub;
    jmp_buf jump;
    int firstWarning = -1;
};

PlainDecode plainDecode(const std::vector<uint8_t>& jpeg, size_t chunk = SIZE_MAX) {
    static const JOCTET end[2] = {0xFF, 0xD9};
    jpeg_decompress_struct c{};
    PlainError error{};
    ChunkSource source{};
    PlainDecode result;
    c.err = jpeg_std_error(&error.pub);
    error.pub.error_exit = [](j_common_ptr ci) { longjmp(reinterpret_cast<PlainError*>(ci->err)->jump, 1); };
    error.pub.emit_message = [](j_common_ptr ci, int level) {
        auto* e = reinterpret_cast<PlainError*>(ci->err);
        if (level < 0 && e->firstWarning < 0)
            e->firstWarning = ci->err->msg_code;
    };
    source.bytes = &jpeg;
    source.chunk = chunk;
    source.pub.init_source = source.pub.term_source = [](j_decompress_ptr) {};
    source.pub.resync_to_restart = jpeg_resync_to_restart;
    source.pub.fill_input_buffer = [](j_decompress_ptr ci) -> boolean {
        auto* src = reinterpret_cast<ChunkSource*>(ci->src);
        if (src->at >= src->bytes->size()) {
            WARNMS(ci, JWRN_JPEG_EOF);
            src->pub.next_input_byte = end;
            src->pub.bytes_in_buffer = 2;
            return TRUE;
        }
        const size_t n = std::min(src->chunk, src->bytes->size() - src->at);
        src->pub.next_input_byte = src->bytes->data() + src->at;
        src->pub.bytes_in_buffer = n;
        src->at += n;
        return TRUE;
    };
    source.pub.skip_input_data = [](j_decompress_ptr ci, long n) {
        while (n > long(ci->src->bytes_in_buffer)) {
            n -= long(ci->src->bytes_in_buffer);
            ci->src->fill_input_buffer(ci);
        }
        ci->src->next_input_byte += n;
        ci->src->bytes_in_buffer -= size_t(n);
    };
    if (setjmp(error.jump) == 0) {
        jpeg_create_decompress(&c);
        c.src = &source.pub;
        jpeg_read_header(&c, TRUE);
        c.out_color_space = JCS_RGB;
        jpeg_start_decompress(&c);
        result.rgb.resize(size_t(c.output_width) * c.output_height * 3);
        while (c.output_scanline < c.output_height) {
            JSAMPROW row = result.rgb.data() + size_t(c.output_scanline) * c.output_width * 3;
            jpeg_read_scanlines(&c, &row, 1);
        }
        jpeg_finish_decompress(&c);
    } else {
        result.rgb.clear();
    }
    jpeg_destroy_decompress(&c);
    result.firstWarning = error.firstWarning;
    return result;
}

/// The largest difference, in levels, between a decode's picture and 8-bit RGB; -1 when the decode
/// failed.
int levelsOff(const Result<Decoded>& decoded, const std::vector<uint8_t>& rgb) {
    if (!decoded.ok())
        return -1;
    auto px = Context().renderSRGB(decoded->image, decoded->image.extent(), 8);
    if (!px.ok() || px->data.size() / 4 != rgb.size() / 3)
        return -1;
    int off = 0;
    for (size_t i = 0, j = 0; j < rgb.size(); i += 4, j += 3)
        for (size_t k = 0; k < 3; ++k)
            off = std::max(off, std::abs(int(px->data[i + k]) - int(rgb[j + k])));
    return off;
}

/// The first byte of the entropy-coded data of a JPEG's first scan.
size_t firstScanData(const std::vector<uint8_t>& jpeg) {
    for (size_t at = 2; at + 4 < jpeg.size(); ++at)
        if (jpeg[at] == 0xFF && jpeg[at + 1] == 0xDA)
            return at + 2 + ((size_t(jpeg[at + 2]) << 8) | jpeg[at + 3]);
    return jpeg.size();
}

} // namespace

TEST(Codec, PicturesOverTheBudgetAreRefusedFromTheirHeader) {
    TempDir tmp;
    BudgetOf budget(1024 * kMB);
    // 17.5 KB of file, 144 million pixels: 2.1 GB in the working space, and the reader holds a copy.
    const std::vector<uint8_t> bomb = bilevelPng(12000, 12000);
    EXPECT_LT(bomb.size(), size_t(32 * 1024));
    writeBytes(tmp.file("bomb.png"), bomb);

    const int64_t before = memory::inUse();
    const auto started = std::chrono::steady_clock::now();
    auto fromFile = decodeFile(tmp.file("bomb.png"));
    auto fromMemory = decodeData(bomb);
    ASSERT_FALSE(fromFile.ok());
    ASSERT_FALSE(fromMemory.ok());
    for (const std::string& error : {fromFile.error(), fromMemory.error()}) {
        EXPECT_NE(error.find("12000 x 12000"), std::string::npos) << error;
        EXPECT_NE(error.find("needs 2.3 GB, limit 1.0 GB"), std::string::npos) << error;
    }
    // Refused before the pixels were read: no time spent inflating them.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2) * gwtest::slowdown);
    EXPECT_EQ(memory::inUse(), before);

    // The same kind of file at a size the budget allows decodes as usual.
    writeBytes(tmp.file("page.png"), bilevelPng(2000, 1500));
    auto page = decodeFile(tmp.file("page.png"));
    ASSERT_TRUE(page.ok()) << page.error();
    EXPECT_EQ(page->width, 2000);
    EXPECT_EQ(page->height, 1500);
    auto pixels = Context().render(page->image, Rect::make(1000, 700, 1, 1));
    ASSERT_TRUE(pixels.ok());
    EXPECT_FLOAT_EQ(pixels->pixel(1000, 700)[0], 0.f);
    EXPECT_FLOAT_EQ(pixels->pixel(1000, 700)[3], 1.f);
}

TEST(Codec, OnlyRegularFilesAreRead) {
    TempDir tmp;
    const std::string fifo = tmp.file("p.jpg");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::create_directory(tmp.path / "folder.png");
    fs::create_symlink(fifo, tmp.path / "link-to-pipe.jpg");
    fs::create_symlink(dataPath("rocket.jpg"), tmp.path / "link-to-photo.jpg");

    // Reading a pipe without a writer would wait forever; should it start, a writer is opened
    // to end the wait and the test fails.
    for (const std::string& path : {fifo, tmp.file("link-to-pipe.jpg")}) {
        SCOPED_TRACE(path);
        auto pending = std::async(std::launch::async, [path] { return decodeFile(path); });
        if (pending.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (writer >= 0)
                ::close(writer);
            ADD_FAILURE() << "reading a pipe blocked";
        }
        auto d = pending.get();
        ASSERT_FALSE(d.ok());
        EXPECT_NE(d.error().find("not a regular file"), std::string::npos) << d.error();
    }
    for (const std::string& path : {std::string("/dev/zero"), std::string("/dev/null")}) {
        auto d = decodeFile(path);
        ASSERT_FALSE(d.ok());
        EXPECT_NE(d.error().find("not a regular file"), std::string::npos) << d.error();
    }
    auto folder = decodeFile(tmp.file("folder.png"));
    ASSERT_FALSE(folder.ok());
    EXPECT_NE(folder.error().find("folder"), std::string::npos) << folder.error();
    auto missing = decodeFile(tmp.file("gone.png"));
    ASSERT_FALSE(missing.ok());
    EXPECT_NE(missing.error().find("does not exist"), std::string::npos) << missing.error();

    auto linked = decodeFile(tmp.file("link-to-photo.jpg"));
    EXPECT_TRUE(linked.ok()) << linked.error();
}

namespace {

/// `read()`'s error ("" for success), after it has ended. Should it not end within `bound` (blocked
/// on opening `pipe`, a named pipe), a writer is opened to end the wait and the test fails.
template <class Read>
std::string endsOrFails(Read read, const std::string& pipe, std::chrono::seconds bound) {
    auto pending = std::async(std::launch::async, [read] {
        const auto result = read();
        return result.ok() ? std::string() : result.error();
    });
    if (pending.wait_for(bound) != std::future_status::ready) {
        ADD_FAILURE() << "reading " << pipe << " blocked";
        while (pending.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready)
            if (const int writer = ::open(pipe.c_str(), O_WRONLY | O_NONBLOCK); writer >= 0)
                ::close(writer);
    }
    return pending.get();
}

} // namespace

TEST(Codec, ANameThatBecomesAPipeIsReadAsOpenedOrFails) {
    // On a share whose names become named pipes after their first, second or third open, every read
    // ends: whole when it could read the file it opened, or failed for the pipe (or the file the
    // share no longer serves as it was). A read opens its name once, so the first read of a name that
    // stays a file for two opens is whole (a reader process is handed a description of its own, an
    // open of the same file: a TIFF is whole when it stays a file for three). A second open by name
    // (to look through a JPEG's data after its decode, or to hand the file to libjpeg, libpng or a
    // reader process after a look at its first bytes) waited on the pipe for ever.
    TempDir tmp;
    const std::tuple<std::string, std::string, int> files[] = {
        {"a1.jpg", "rocket.jpg", 1}, {"a2.jpg", "rocket.jpg", 2},        {"a3.jpg", "rocket.jpg", 3},
        {"b.png", "coffee.png", 2},  {"c.tif", "deflate-strips.tif", 3}, {"d.jpg", "rocket.jpg", 2}};
    std::vector<std::string> options;
    for (const auto& [name, data, opens] : files) {
        writeBytes(tmp.file(name), readBytes(dataPath(data)));
        options.insert(options.end(), {"--fifo-after-open", name + "=" + std::to_string(opens)});
    }
    gwtest::TestFileSystem share(tmp.path.string(), options);
    if (!share.mounted())
        GTEST_SKIP() << share.why();
    const auto bound = std::chrono::seconds(20) * gwtest::slowdown;
    auto refused = [](const std::string& error) {
        return error.find("not a regular file") != std::string::npos ||
               error.find("cannot be read") != std::string::npos;
    };

    for (const auto& [name, data, opens] : files) {
        if (name == "d.jpg")
            continue;
        SCOPED_TRACE(name);
        const std::string path = share.file(name);
        const auto expected = decodeFile(tmp.file(name));
        ASSERT_TRUE(expected.ok()) << expected.error();
        auto want = Context().render(expected->image);
        ASSERT_TRUE(want.ok());
        // Each way in: the import's probe through the data, the preview's decode, the export's read.
        const std::function<Result<Decoded>()> reads[] = {
            [&] {
                auto probe = probeFile(path, ProbeDepth::Data);
                return probe.ok() ? decodeData(readBytes(tmp.file(name)))
                                  : Result<Decoded>::failure(probe.error());
            },
            [&] { return decodeFile(path); },
            [&] {
                auto read = readPicture(path);
                return read.ok() ? decodePicture(std::move(*read)) : Result<Decoded>::failure(read.error());
            }};
        for (size_t i = 0; i < std::size(reads); ++i) {
            SCOPED_TRACE("way " + std::to_string(i));
            std::optional<Result<Decoded>> got;
            const std::string error = endsOrFails(
                [&] {
                    got = reads[i]();
                    return *got;
                },
                path, bound);
            if (i == 0 && opens > 1) {
                ASSERT_EQ(error, "");
            }
            if (!error.empty()) {
                EXPECT_TRUE(refused(error)) << error;
                continue;
            }
            auto pixels = Context().render((*got)->image);
            ASSERT_TRUE(pixels.ok());
            EXPECT_EQ(gwtest::maxDifference(*pixels, *want), 0.0);
        }
    }

    // Opened once by the caller, the file is handed on: looked through and decoded from that one
    // open, whatever its name has become.
    const std::string path = share.file("d.jpg");
    Result<PictureFile> file = PictureFile::open(path);
    ASSERT_TRUE(file.ok()) << file.error();
    EXPECT_EQ(endsOrFails([&] { return probeFile(*file, ProbeDepth::Data); }, path, bound), "");
    EXPECT_EQ(endsOrFails([&] { return decodeFile(*file); }, path, bound), "");
    EXPECT_TRUE(refused(decodeFile(path).error()));
}

TEST(Codec, JpegDamageIsSeenAfterAHarmlessWarning) {
    TempDir tmp;
    const std::vector<uint8_t> junk = jpegWithJunk();
    writeBytes(tmp.file("junk.jpg"), junk);
    // Junk alone leaves the picture whole.
    auto whole = decodeFile(tmp.file("junk.jpg"));
    ASSERT_TRUE(whole.ok()) << whole.error();
    EXPECT_TRUE(decodeData(junk).ok());

    // Cut short after the junk, the missing rows would come out flat grey.
    const std::vector<uint8_t> cut(junk.begin(), junk.begin() + ptrdiff_t(junk.size() * 6 / 10));
    writeBytes(tmp.file("cut.jpg"), cut);
    auto fromFile = decodeFile(tmp.file("cut.jpg"));
    auto fromMemory = decodeData(cut);
    ASSERT_FALSE(fromFile.ok());
    ASSERT_FALSE(fromMemory.ok());
    EXPECT_NE(fromFile.error().find("Premature end of JPEG file"), std::string::npos) << fromFile.error();
    EXPECT_NE(fromMemory.error().find("Premature end of JPEG file"), std::string::npos) << fromMemory.error();

    // Scrambled entropy data after the junk.
    std::vector<uint8_t> scrambled = junk;
    std::mt19937 rng(7);
    for (size_t i = scrambled.size() / 2; i + 2 < scrambled.size(); i += 61)
        scrambled[i] = uint8_t(rng() & 0x7F);
    EXPECT_FALSE(decodeData(scrambled).ok());
}

TEST(Codec, JpegProfileChunksThatDoNotFitTogetherAreSetAside) {
    // rocket.jpg holds its profile (Adobe RGB) in one APP2 chunk, numbered 1 of 1, after JFIF.
    const std::vector<uint8_t> jpeg = readBytes(dataPath("rocket.jpg"));
    const size_t app2 = 20;
    ASSERT_EQ(jpeg[app2 + 1], 0xE2);
    ASSERT_EQ(std::memcmp(&jpeg[app2 + 4], "ICC_PROFILE", 12), 0);
    const auto chunk = jpeg.begin() + ptrdiff_t(app2);
    const auto chunkEnd = chunk + 2 + ((ptrdiff_t(jpeg[app2 + 2]) << 8) | jpeg[app2 + 3]);
    auto numbered = [&](uint8_t number, uint8_t count) {
        std::vector<uint8_t> bytes = jpeg;
        bytes[app2 + 16] = number;
        bytes[app2 + 17] = count;
        return bytes;
    };
    // A second chunk "1 of 1" that is not the same as the first.
    std::vector<uint8_t> repeated = jpeg;
    repeated.insert(repeated.begin() + ptrdiff_t(app2), chunk, chunkEnd);
    repeated[app2 + 200] ^= 0x01;
    std::vector<uint8_t> without = jpeg;
    without.erase(without.begin() + (chunk - jpeg.begin()), without.begin() + (chunkEnd - jpeg.begin()));
    const auto reference = decodeData(without);
    ASSERT_TRUE(reference.ok()) << reference.error();
    auto expected = Context().render(reference->image);
    ASSERT_TRUE(expected.ok());

    // Read whole, as the same picture without a profile, by every way in; the probe of the import
    // agrees, and the console says why the colours are not the profile's.
    TempDir tmp;
    const std::pair<std::string, std::vector<uint8_t>> files[] = {{"zero.jpg", numbered(0, 1)},
                                                                  {"missing.jpg", numbered(1, 2)},
                                                                  {"beyond.jpg", numbered(2, 1)},
                                                                  {"different.jpg", repeated}};
    for (const auto& [name, bytes] : files) {
        SCOPED_TRACE(name);
        const std::string path = tmp.file(name);
        writeBytes(path, bytes);
        gwtest::ConsoleCapture console;
        for (ProbeDepth depth : {ProbeDepth::Header, ProbeDepth::Data}) {
            const auto probe = probeFile(path, depth);
            EXPECT_TRUE(probe.ok()) << probe.error();
        }
        auto read = readPicture(path);
        ASSERT_TRUE(read.ok()) << read.error();
        for (const auto& decoded : {decodeFile(path), decodeData(bytes), decodePicture(std::move(*read))}) {
            ASSERT_TRUE(decoded.ok()) << decoded.error();
            auto pixels = Context().render(decoded->image);
            ASSERT_TRUE(pixels.ok());
            EXPECT_EQ(gwtest::maxDifference(*pixels, *expected), 0.0);
        }
        EXPECT_TRUE(console.contains("readProfile: ⛔️ " + path +
                                     ": the colour profile's chunks do not fit together; the picture is read "
                                     "without it"));
    }
}

TEST(Codec, AJpegLackingOnlyItsEndMarkerIsReadWhole) {
    // no-end-marker.jpg is whole but for its last two bytes. Made from its picture: the same
    // progressive, and sequential in a scan for each component, without their end markers; and cut
    // inside their data, before a later scan or in it.
    const std::vector<uint8_t> noEnd = readBytes(dataPath("no-end-marker.jpg"));
    std::vector<uint8_t> whole = noEnd;
    whole.insert(whole.end(), {0xFF, 0xD9});
    const auto reference = decodeData(whole);
    ASSERT_TRUE(reference.ok()) << reference.error();
    const int w = reference->width, h = reference->height;
    auto px = Context().renderSRGB(reference->image, reference->image.extent(), 8);
    ASSERT_TRUE(px.ok());
    std::vector<uint8_t> rgb;
    for (size_t i = 0; i < px->data.size(); i += 4)
        rgb.insert(rgb.end(), px->data.begin() + ptrdiff_t(i), px->data.begin() + ptrdiff_t(i + 3));
    auto withoutEnd = [](std::vector<uint8_t> jpeg, size_t more = 0) {
        jpeg.resize(jpeg.size() - 2 - more);
        return jpeg;
    };
    auto upTo = [](const std::vector<uint8_t>& jpeg, size_t end) {
        return std::vector<uint8_t>(jpeg.begin(), jpeg.begin() + ptrdiff_t(end));
    };
    using codectest::encodeJpeg;
    static const jpeg_scan_info perComponent[3] = {
        {1, {0}, 0, 63, 0, 0}, {1, {1}, 0, 63, 0, 0}, {1, {2}, 0, 63, 0, 0}};
    const std::vector<uint8_t> progressive =
        encodeJpeg(rgb, w, h, 3, JCS_RGB, [](auto& c) { jpeg_simple_progression(&c); });
    const std::vector<uint8_t> scans =
        encodeJpeg(rgb, w, h, 3, JCS_RGB, [](auto& c) { c.scan_info = perComponent, c.num_scans = 3; });
    const std::vector<uint8_t> arithmetic =
        encodeJpeg(rgb, w, h, 3, JCS_RGB, [](auto& c) { c.arith_code = TRUE; });
    const size_t last = lastScan(progressive);
    ASSERT_GT(last, 0u);
    TempDir tmp;

    // Read whole, the same by every way in (the import's look, the preview, the export) as with
    // the marker; so is a progressive file that ends after a scan's data, which is one whose own
    // progression leaves out its last refinement, and an arithmetic-coded one.
    std::vector<uint8_t> shorter = upTo(progressive, last);
    shorter.insert(shorter.end(), {0xFF, 0xD9});
    const std::pair<std::vector<uint8_t>, std::vector<uint8_t>> readable[] = {
        {noEnd, whole},
        {withoutEnd(progressive), progressive},
        {withoutEnd(scans), scans},
        {upTo(progressive, last), shorter},
        {withoutEnd(arithmetic), arithmetic},
        {std::vector<uint8_t>(arithmetic.begin(), arithmetic.end() - 1), arithmetic}};
    for (size_t i = 0; i < std::size(readable); ++i) {
        SCOPED_TRACE("readable " + std::to_string(i));
        const auto& [bytes, complete] = readable[i];
        const std::string path = tmp.file("whole" + std::to_string(i) + ".jpg");
        writeBytes(path, bytes);
        const auto expected = decodeData(complete);
        ASSERT_TRUE(expected.ok()) << expected.error();
        auto want = Context().render(expected->image);
        ASSERT_TRUE(want.ok());
        const auto probe = probeFile(path, ProbeDepth::Data);
        ASSERT_TRUE(probe.ok()) << probe.error();
        auto read = readPicture(path);
        ASSERT_TRUE(read.ok()) << read.error();
        for (const auto& decoded : {decodeFile(path), decodeData(bytes), decodePicture(std::move(*read))}) {
            ASSERT_TRUE(decoded.ok()) << decoded.error();
            auto got = Context().render(decoded->image);
            ASSERT_TRUE(got.ok());
            EXPECT_EQ(gwtest::maxDifference(*got, *want), 0.0);
        }
    }

    // Cut inside the picture's data, or before a scan that a sequential file needs: still refused,
    // by every way in.
    const std::vector<uint8_t> damaged[] = {
        withoutEnd(noEnd, 8), upTo(progressive, (last + progressive.size()) / 2),
        upTo(scans, lastScan(scans)), upTo(arithmetic, arithmetic.size() / 2)};
    for (size_t i = 0; i < std::size(damaged); ++i) {
        SCOPED_TRACE("damaged " + std::to_string(i));
        const std::string path = tmp.file("cut" + std::to_string(i) + ".jpg");
        writeBytes(path, damaged[i]);
        EXPECT_TRUE(probeFile(path, ProbeDepth::Header).ok());
        auto refused = [](const auto& result) {
            EXPECT_FALSE(result.ok());
            EXPECT_NE(result.error().find("Premature end of JPEG file"), std::string::npos) << result.error();
        };
        refused(probeFile(path, ProbeDepth::Data));
        refused(readPicture(path));
        refused(decodeFile(path));
        refused(decodeData(damaged[i]));
    }
}

TEST(Codec, AJpegCutShortIsNeverReadWholeWhateverFollowsTheCut) {
    // coffee.png in the codings of ordinary files, cut at each hundredth of its length: filled up
    // with zeros (64 KB of them, or up to its length), as unfinished downloads and recovered files
    // are, or closed with an end marker when arithmetic-coded (whose decoder takes the zeros after
    // a marker as the rest of its data). Zero bits decode as valid codes, so the picture looked
    // whole but for its missing end marker, with hundreds of rows wrong. A progressive arithmetic
    // file closed after a cut is read when nothing tells it from a file of fewer scans.
    const auto photo = decodeFile(dataPath("coffee.png"));
    ASSERT_TRUE(photo.ok()) << photo.error();
    const int w = photo->width, h = photo->height;
    auto px = Context().renderSRGB(photo->image, photo->image.extent(), 8);
    ASSERT_TRUE(px.ok());
    std::vector<uint8_t> rgb, grey, inks;
    for (size_t i = 0; i < px->data.size(); i += 4) {
        const uint8_t r = px->data[i], g = px->data[i + 1], b = px->data[i + 2];
        rgb.insert(rgb.end(), {r, g, b});
        grey.push_back(uint8_t((r * 3 + g * 6 + b) / 10));
        inks.insert(inks.end(), {uint8_t(255 - r), uint8_t(255 - g), uint8_t(255 - b), std::max({r, g, b})});
    }
    using codectest::encodeJpeg;
    const std::pair<const char*, std::vector<uint8_t>> huffman[] = {
        {"baseline", encodeJpeg(rgb, w, h, 3, JCS_RGB)},
        {"progressive", encodeJpeg(rgb, w, h, 3, JCS_RGB, [](auto& c) { jpeg_simple_progression(&c); })},
        {"optimised", encodeJpeg(rgb, w, h, 3, JCS_RGB, [](auto& c) { c.optimize_coding = TRUE; })},
        {"grey", encodeJpeg(grey, w, h, 1, JCS_GRAYSCALE)},
        {"restart", encodeJpeg(rgb, w, h, 3, JCS_RGB, [](auto& c) { c.restart_in_rows = 1; })},
        {"CMYK", encodeJpeg(inks, w, h, 4, JCS_CMYK)},
        {"progressive YCCK", encodeJpeg(inks, w, h, 4, JCS_CMYK, [](auto& c) {
             jpeg_set_colorspace(&c, JCS_YCCK);
             jpeg_simple_progression(&c);
         })}};
    const std::pair<const char*, std::vector<uint8_t>> arithmetic[] = {
        {"arithmetic", encodeJpeg(rgb, w, h, 3, JCS_RGB, [](auto& c) { c.arith_code = TRUE; })},
        {"progressive arithmetic", encodeJpeg(rgb, w, h, 3, JCS_RGB, [](auto& c) {
             c.arith_code = TRUE;
             jpeg_simple_progression(&c);
         })}};
    TempDir tmp;
    const std::string path = tmp.file("cut.jpg");
    // Read whole, the same as with all of their bytes, when they lack only their end marker or its
    // last byte; and the arithmetic-coded ones whole.
    auto readWhole = [&](const std::vector<uint8_t>& bytes, const std::vector<uint8_t>& complete) {
        const auto want = decodeData(complete);
        ASSERT_TRUE(want.ok()) << want.error();
        writeBytes(path, bytes);
        const auto probe = probeFile(path, ProbeDepth::Data);
        EXPECT_TRUE(probe.ok()) << probe.error();
        const auto got = decodeData(bytes);
        ASSERT_TRUE(got.ok()) << got.error();
        auto a = Context().render(got->image), b = Context().render(want->image);
        ASSERT_TRUE(a.ok() && b.ok());
        EXPECT_EQ(gwtest::maxDifference(*a, *b), 0.0);
    };
    for (const auto& [name, jpeg] : huffman)
        for (size_t less : {1, 2}) {
            SCOPED_TRACE(std::string(name) + " without its last " + std::to_string(less));
            readWhole(std::vector<uint8_t>(jpeg.begin(), jpeg.end() - ptrdiff_t(less)), jpeg);
        }
    for (const auto& [name, jpeg] : arithmetic) {
        SCOPED_TRACE(name);
        readWhole(jpeg, jpeg);
    }

    // The zeros decode as the file's end, or as DC differences beyond any 8-bit picture's.
    auto said = [](const std::string& error, const char* why) {
        return error.find(why) != std::string::npos || (std::string(why) == "Premature end of JPEG file" &&
                                                        error.find("bad Huffman code") != std::string::npos);
    };
    auto refused = [&](const std::vector<uint8_t>& bytes, const char* why) {
        writeBytes(path, bytes);
        const auto probe = probeFile(path, ProbeDepth::Data);
        ASSERT_FALSE(probe.ok());
        EXPECT_TRUE(said(probe.error(), why)) << probe.error();
        const auto decoded = decodeData(bytes);
        ASSERT_FALSE(decoded.ok());
        EXPECT_TRUE(said(decoded.error(), why)) << decoded.error();
    };
    int closedRead = 0;
    for (int percent = 1; percent <= 99; ++percent) {
        for (const auto& [name, jpeg] : huffman) {
            SCOPED_TRACE(std::string(name) + " cut at " + std::to_string(percent) + "%");
            std::vector<uint8_t> cut(jpeg.begin(),
                                     jpeg.begin() + ptrdiff_t(jpeg.size() * size_t(percent) / 100));
            std::vector<uint8_t> padded = cut, filled = cut;
            padded.resize(cut.size() + 64 * 1024, 0);
            filled.resize(jpeg.size(), 0);
            refused(padded, "Premature end of JPEG file");
            refused(filled, "Premature end of JPEG file");
        }
        for (const auto& [name, jpeg] : arithmetic) {
            SCOPED_TRACE(std::string(name) + " cut at " + std::to_string(percent) + "%");
            std::vector<uint8_t> closed(jpeg.begin(),
                                        jpeg.begin() + ptrdiff_t(jpeg.size() * size_t(percent) / 100));
            closed.insert(closed.end(), {0xFF, 0xD9});
            if (std::string(name) == "arithmetic") {
                refused(closed, "");
                continue;
            }
            // A progressive file cut in its DC scan, or where a scan's rest decodes from zeros as
            // few new coefficients as a whole scan's last bytes do, is a valid file of fewer scans
            // (the format asks no more of a progression) and is read.
            const auto decoded = decodeData(closed);
            closedRead += decoded.ok();
        }
    }
    EXPECT_LE(closedRead, 12);
}

TEST(Codec, OffsetsOutsideTheFileAreNeverFollowed) {
    // The reader of a file held in memory once copied from ahead of the buffer when a damaged file
    // sent it there (here an OpenEXR scan line); AddressSanitizer sees any such read. Read from
    // memory and from disk, the file gets the same verdict.
    const std::vector<uint8_t> bytes = readBytes(dataPath("offset-before-start.exr"));
    ASSERT_FALSE(bytes.empty());
    TempDir tmp;
    writeBytes(tmp.file("damaged.exr"), bytes);
    auto fromMemory = decodeData(bytes);
    auto fromFile = decodeFile(tmp.file("damaged.exr"));
    EXPECT_EQ(fromMemory.ok(), fromFile.ok());
    if (!fromMemory.ok()) {
        EXPECT_FALSE(fromMemory.error().empty());
    }
}

TEST(Codec, AChunkLongerThanItsFileTakesNoMemory) {
    // A text chunk that claims 1.8 GB in a file of a hundred bytes: libpng took (and cleared) that
    // much before it found the file's end.
    std::vector<uint8_t> png = bilevelPng(6, 5);
    png.resize(8 + 25); // the signature and the header chunk
    putU32(png, 1811939336);
    png.insert(png.end(), {'t', 'E', 'X', 't', 'a', 0, 'b'});
    TempDir tmp;
    writeBytes(tmp.file("long-chunk.png"), png);
    BudgetOf budget(512 * kMB); // for the image library's reader, which gets the file next
    const int64_t before = peakRss();
    EXPECT_FALSE(decodeData(png).ok());
    EXPECT_FALSE(decodeFile(tmp.file("long-chunk.png")).ok());
    EXPECT_LT(peakRss() - before, 256 * kMB);
}

TEST(Codec, AFewKilobytesOfJpegTakeNeitherGigabytesNorMinutes) {
    TempDir tmp;
    {
        // 1.5 KB of DC data for a progressive picture of 20000 x 20000 in three components: libjpeg
        // took (and cleared) 2.4 GB of coefficients before it found the data's end. A budget that
        // admits the picture leaves the look through its data to find that end.
        BudgetOf budget(int64_t(32) << 30);
        writeBytes(tmp.file("cut.jpg"), progressiveJpeg(20000, 20000, 3, 1500));
        const int64_t before = peakRss();
        const auto started = std::chrono::steady_clock::now();
        auto probe = probeFile(tmp.file("cut.jpg"), ProbeDepth::Data);
        ASSERT_FALSE(probe.ok());
        EXPECT_NE(probe.error().find("premature end of data segment"), std::string::npos) << probe.error();
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1) * gwtest::slowdown);
        EXPECT_LT(peakRss() - before, 256 * kMB);
    }

    // The coefficients count in the budget like the pixels: 4000 x 4000 pixels in three
    // components take 244 MB in the working space and 46 MB as read, which 350 MB admits, and
    // libjpeg 92 MB more, which it does not.
    BudgetOf budget(350 * kMB);
    writeBytes(tmp.file("coefficients.jpg"), progressiveJpeg(4000, 4000, 3, 1500));
    for (const std::string& error : readEachWay(tmp.file("coefficients.jpg")))
        EXPECT_NE(error.find("The image is too large (4000 x 4000 pixels): needs 0.37 GB"), std::string::npos)
            << error;
    EXPECT_EQ(memory::inUse(), 0);

    // Thousands of scans, whole and without a warning, each a few bytes that pass over every block:
    // seconds of work for 140 KB of file, which now fails early.
    std::vector<uint8_t> scans = progressiveJpeg(4000, 4000, 1);
    addEmptyScans(scans, 4000, 4000, 3000);
    EXPECT_LT(scans.size(), size_t(160 * 1024));
    writeBytes(tmp.file("scans.jpg"), scans);
    for (const std::string& error : readEachWay(tmp.file("scans.jpg")))
        EXPECT_EQ(error, "The JPEG file has too many scans");

    // However large a file is, past 1000 scans it fails; up to there it reads.
    for (const int count : {999, 1000}) {
        std::vector<uint8_t> tiny = progressiveJpeg(16, 16, 1);
        addEmptyScans(tiny, 16, 16, count);
        writeBytes(tmp.file("tiny.jpg"), tiny);
        for (const std::string& error : readEachWay(tmp.file("tiny.jpg")))
            EXPECT_EQ(error, count == 999 ? "" : "The JPEG file has too many scans");
    }
}

TEST(Codec, ChunksAPngReaderDoesNotUseAreNotInflated) {
    // Forty compressed texts of 60 MB each around a 16 x 16 picture: seconds and gigabytes to
    // inflate, for nothing the application uses.
    std::vector<uint8_t> text(60 * kMB, 'a');
    std::vector<uint8_t> chunk = {'C', 'o', 'm', 'm', 'e', 'n', 't', 0, 0};
    uLongf packed = compressBound(uLong(text.size()));
    chunk.resize(chunk.size() + packed);
    ASSERT_EQ(compress2(chunk.data() + 9, &packed, text.data(), uLong(text.size()), 1), Z_OK);
    chunk.resize(9 + packed);
    text = {};
    const std::vector<uint8_t> picture = bilevelPng(16, 16, 8);          // one libpng reads here
    std::vector<uint8_t> png(picture.begin(), picture.begin() + 8 + 25); // the signature and header
    for (int i = 0; i < 40; ++i)
        putChunk(png, "zTXt", chunk);
    png.insert(png.end(), picture.begin() + 8 + 25, picture.end());
    TempDir tmp;
    writeBytes(tmp.file("texts.png"), png);

    const int64_t before = peakRss();
    for (const std::string& error : readEachWay(tmp.file("texts.png")))
        EXPECT_EQ(error, "");
    EXPECT_LT(peakRss() - before, 256 * kMB);

    // Only ancillary chunks are passed over: a critical one not known fails the file.
    std::vector<uint8_t> critical(picture.begin(), picture.begin() + 8 + 25);
    putChunk(critical, "ABCD", {1, 2, 3});
    critical.insert(critical.end(), picture.begin() + 8 + 25, picture.end());
    auto decoded = decodeData(critical);
    ASSERT_FALSE(decoded.ok());
    EXPECT_NE(decoded.error().find("unhandled critical chunk"), std::string::npos) << decoded.error();
}

namespace {

/// A deflated TIFF of a 96 x 64 gradient in `type`, in strips of 16 rows or tiles of 32 x 32.
std::vector<uint8_t> deflatedTiff(const TempDir& tmp, OIIO::TypeDesc type, bool tiled) {
    const int w = 96, h = 64;
    OIIO::ImageSpec spec(w, h, 3, type);
    spec.attribute("compression", "zip");
    if (tiled)
        spec.tile_width = spec.tile_height = 32;
    else
        spec.attribute("tiff:RowsPerStrip", 16);
    std::vector<float> pixels(size_t(w * h * 3));
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = float(i % 251) / 250.0f;
    const std::string path = tmp.file("made.tif");
    auto out = OIIO::ImageOutput::create(path);
    if (!out || !out->open(path, spec) || !out->write_image(OIIO::TypeDesc::FLOAT, pixels.data()) ||
        !out->close())
        return {};
    return readBytes(path);
}

} // namespace

TEST(Codec, ADeflatedTiffWithADamagedStripOrTileFailsWithItsReason) {
    // The whole twin reads as the picture it was made from.
    const auto photo = decodeFile(dataPath("chelsea-small.png"));
    ASSERT_TRUE(photo.ok());
    const auto twin = decodeFile(dataPath("deflate-strips.tif"));
    ASSERT_TRUE(twin.ok()) << twin.error();
    EXPECT_EQ(gwtest::maxDifference(*Context().render(twin->image), *Context().render(photo->image)), 0.0);
    for (const std::string& error : readEachWay(dataPath("deflate-strips.tif")))
        EXPECT_EQ(error, "");

    // Its third strip cut short: the import's look through the data, the preview's and the export's
    // reads all fail the file, with the row where the data ran out; its header alone still reads.
    const std::string cut = dataPath("deflate-strip-cut.tif");
    EXPECT_TRUE(probeFile(cut, ProbeDepth::Header).ok());
    for (const std::string& error : readEachWay(cut))
        EXPECT_EQ(error, "The image data is damaged at row 39: ZLib error");

    // Made here: strips and tiles of 8 and 16 bits, cut short or empty. Whatever way the library
    // decodes them, the damage fails the file, as it fails a float one; a tag that no reader knows
    // (a warning) does not.
    TempDir tmp;
    for (const OIIO::TypeDesc type : {OIIO::TypeDesc::UINT8, OIIO::TypeDesc::UINT16})
        for (const bool tiled : {false, true}) {
            const std::vector<uint8_t> whole = deflatedTiff(tmp, type, tiled);
            ASSERT_FALSE(whole.empty());
            for (const double kept : {0.5, 0.0}) {
                SCOPED_TRACE(std::string(type.c_str()) + (tiled ? " tiles" : " strips") + " kept " +
                             std::to_string(kept));
                writeBytes(tmp.file("damaged.tif"), damagedTiff(whole, 2, kept));
                EXPECT_FALSE(decodeFile(tmp.file("damaged.tif")).ok());
                EXPECT_FALSE(probeFile(tmp.file("damaged.tif"), ProbeDepth::Data).ok());
            }
            writeBytes(tmp.file("unknown-tag.tif"), damagedTiff(whole, 2, 1.0, true));
            const auto tagged = decodeFile(tmp.file("unknown-tag.tif"));
            EXPECT_TRUE(tagged.ok()) << tagged.error();
        }
}

TEST(Codec, ValidArithmeticFilesAndShortProgressionsReadAsLibjpegReadsThem) {
    // Smooth and flat pictures coded arithmetically and progressively (whose scans decode many
    // coefficients from the zeros after their data, as coded), and progressions that leave out
    // their final refinements, in arithmetic and Huffman coding; each with its end marker and
    // without.
    const int w = 320, h = 240;
    std::vector<uint8_t> smooth, flat;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            smooth.insert(smooth.end(),
                          {uint8_t(40 + x * 150 / w), uint8_t(90 + y * 100 / h), uint8_t(200 - x * 60 / w)});
            flat.insert(flat.end(), {uint8_t(y < h / 2 ? 30 : 30 + y * 20 / h), 60, 120});
        }
    using codectest::encodeJpeg;
    using Setup = std::function<void(jpeg_compress_struct&)>;
    const std::pair<const char*, Setup> codings[] = {
        {"arithmetic progressive q50 2x1",
         [](auto& c) {
             c.arith_code = TRUE;
             jpeg_set_quality(&c, 50, TRUE);
             c.comp_info[0].h_samp_factor = 2, c.comp_info[0].v_samp_factor = 1;
             jpeg_simple_progression(&c);
         }},
        {"arithmetic progressive q85",
         [](auto& c) {
             c.arith_code = TRUE;
             jpeg_set_quality(&c, 85, TRUE);
             jpeg_simple_progression(&c);
         }},
        {"arithmetic progressive q100",
         [](auto& c) {
             c.arith_code = TRUE;
             jpeg_set_quality(&c, 100, TRUE);
             jpeg_simple_progression(&c);
         }},
        // The standard progression less its final refinements of coefficients 1 to 63.
        {"arithmetic short progression",
         [](auto& c) {
             c.arith_code = TRUE;
             jpeg_simple_progression(&c);
             c.num_scans -= 3;
         }},
        {"Huffman short progression", [](auto& c) {
             jpeg_simple_progression(&c);
             c.num_scans -= 3;
         }}};
    for (const auto* picture : {&smooth, &flat})
        for (const auto& [name, setup] : codings) {
            SCOPED_TRACE(std::string(name) + (picture == &smooth ? ", smooth" : ", flat"));
            const std::vector<uint8_t> jpeg = encodeJpeg(*picture, w, h, 3, JCS_RGB, setup);
            const PlainDecode reference = plainDecode(jpeg);
            ASSERT_FALSE(reference.rgb.empty());
            ASSERT_EQ(reference.firstWarning, -1);
            EXPECT_EQ(levelsOff(decodeData(jpeg), reference.rgb), 0);
            const std::vector<uint8_t> noEnd(jpeg.begin(), jpeg.end() - 2);
            EXPECT_EQ(levelsOff(decodeData(noEnd), reference.rgb), 0);
        }
}

TEST(Codec, JpegDataDecodedOutOfStepFailsItsFile) {
    // Bits flipped in the data of a photograph in Huffman coding that libjpeg reports as an unused
    // code when fed a little at a time; fed all at once, libjpeg-turbo decoded them as zeros
    // without a word, and the decoder went on out of step (hundreds of rows wrong).
    const auto photo = decodeFile(dataPath("coffee.png"));
    ASSERT_TRUE(photo.ok()) << photo.error();
    const int w = std::min(photo->width, 320), h = std::min(photo->height, 240);
    auto px = Context().renderSRGB(photo->image, photo->image.extent(), 8);
    ASSERT_TRUE(px.ok());
    std::vector<uint8_t> rgb;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const auto at = px->data.begin() + (ptrdiff_t(y) * photo->width + x) * 4;
            rgb.insert(rgb.end(), at, at + 3);
        }
    using codectest::encodeJpeg;
    const std::vector<uint8_t> codings[] = {
        encodeJpeg(rgb, w, h, 3, JCS_RGB),
        encodeJpeg(rgb, w, h, 3, JCS_RGB, [](auto& c) { c.optimize_coding = TRUE; }),
        encodeJpeg(rgb, w, h, 3, JCS_RGB, [](auto& c) { jpeg_set_colorspace(&c, JCS_GRAYSCALE); })};
    TempDir tmp;
    const std::string path = tmp.file("flipped.jpg");
    std::mt19937 rng(59);
    int badCodes = 0;
    for (const auto& jpeg : codings) {
        const size_t data = firstScanData(jpeg);
        int found = 0;
        for (int tries = 0; tries < 3000 && found < 4; ++tries) {
            std::vector<uint8_t> flipped = jpeg;
            flipped[data + rng() % (jpeg.size() - 2 - data)] ^= uint8_t(1u << (rng() % 8));
            if (plainDecode(flipped, 256).firstWarning != JWRN_HUFF_BAD_CODE)
                continue;
            ++found;
            writeBytes(path, flipped);
            EXPECT_FALSE(decodeData(flipped).ok());
            EXPECT_FALSE(decodeFile(path).ok());
        }
        badCodes += found;
    }
    EXPECT_GE(badCodes, 6);

    // Stray bytes before a marker after the data: a decoder that stopped short of its data. An
    // encoder's padding of a byte or two is left alone, but not before a restart marker.
    const std::vector<uint8_t>& baseline = codings[0];
    const PlainDecode reference = plainDecode(baseline);
    auto withBefore = [](std::vector<uint8_t> jpeg, size_t at, std::initializer_list<uint8_t> stray) {
        jpeg.insert(jpeg.begin() + ptrdiff_t(at), stray);
        return jpeg;
    };
    const size_t end = baseline.size() - 2;
    EXPECT_EQ(levelsOff(decodeData(withBefore(baseline, end, {0x00})), reference.rgb), 0);
    EXPECT_EQ(levelsOff(decodeData(withBefore(baseline, end, {0x00, 0x00})), reference.rgb), 0);
    // (The decoder reads a few bytes ahead of what it decodes, and libjpeg counts only those after.)
    const auto strayRun = decodeData(
        withBefore(baseline, end, {0x12, 0x34, 0x56, 0x78, 0x12, 0x34, 0x56, 0x78, 0x12, 0x34, 0x56, 0x78}));
    ASSERT_FALSE(strayRun.ok());
    EXPECT_NE(strayRun.error().find("extraneous bytes before marker"), std::string::npos) << strayRun.error();
    const std::vector<uint8_t> restarts =
        encodeJpeg(rgb, w, h, 3, JCS_RGB, [](auto& c) { c.arith_code = TRUE, c.restart_in_rows = 1; });
    size_t restart = firstScanData(restarts);
    while (restart + 1 < restarts.size() && !(restarts[restart] == 0xFF && restarts[restart + 1] == 0xD0))
        ++restart;
    ASSERT_LT(restart + 1, restarts.size());
    // Before a restart marker, inside a scan, no stray byte is padding.
    const auto strayBeforeRestart = decodeData(withBefore(restarts, restart, {0x12, 0x34, 0x56}));
    ASSERT_FALSE(strayBeforeRestart.ok());
    EXPECT_NE(strayBeforeRestart.error().find("extraneous bytes before marker 0xd0"), std::string::npos)
        << strayBeforeRestart.error();
}
