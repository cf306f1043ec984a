#pragma once

// What the codec tests share: JPEG files made with libjpeg itself, TIFF files with a strip's byte
// count changed, and each way the application reads a file.

#include "support/TestSupport.h"

#include "ci/io/Codec.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

extern "C" {
#include <jpeglib.h>
}

namespace codectest {

/// A JPEG of 8-bit samples (w x h, `channels` a pixel, in `space`) in libjpeg's default coding,
/// changed by `setup` before it starts, with `icc` embedded when given.
inline std::vector<uint8_t> encodeJpeg(const std::vector<uint8_t>& samples, int w, int h, int channels,
                                       J_COLOR_SPACE space,
                                       const std::function<void(jpeg_compress_struct&)>& setup = {},
                                       const std::vector<uint8_t>& icc = {}) {
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = JDIMENSION(w), c.image_height = JDIMENSION(h);
    c.input_components = channels, c.in_color_space = space;
    jpeg_set_defaults(&c);
    if (setup)
        setup(c);
    jpeg_start_compress(&c, TRUE);
    if (!icc.empty())
        jpeg_write_icc_profile(&c, icc.data(), unsigned(icc.size()));
    while (c.next_scanline < c.image_height) {
        JSAMPROW row =
            const_cast<JSAMPROW>(samples.data()) + size_t(c.next_scanline) * size_t(w) * size_t(channels);
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::vector<uint8_t> bytes(out, out + size);
    std::free(out);
    return bytes;
}

/// A little-endian TIFF as the image library writes it, with the byte count of its strip or tile
/// `index` set to `kept` of what it was (0 for an empty one, less than 1 for one cut short), and,
/// when `renamed` is set, its time (which the library always writes) under a tag no reader knows.
inline std::vector<uint8_t> damagedTiff(std::vector<uint8_t> tiff, size_t index, double kept,
                                        bool renamed = false) {
    const auto get = [&](size_t at, int bytes) {
        uint32_t v = 0;
        for (int i = bytes - 1; i >= 0; --i)
            v = v << 8 | tiff.at(at + size_t(i));
        return v;
    };
    const auto put = [&](size_t at, int bytes, uint32_t v) {
        for (int i = 0; i < bytes; ++i)
            tiff.at(at + size_t(i)) = uint8_t(v >> (8 * i));
    };
    const uint32_t directory = get(4, 4), entries = get(directory, 2);
    for (uint32_t e = 0; e < entries; ++e) {
        const size_t entry = directory + 2 + 12 * size_t(e);
        const uint32_t tag = get(entry, 2);
        if (renamed && tag == 306) // DateTime
            put(entry, 2, 310);
        if (tag != 279 && tag != 325) // StripByteCounts, TileByteCounts
            continue;
        const int size = get(entry + 2, 2) == 3 ? 2 : 4;
        const size_t values = get(entry + 4, 4) * uint32_t(size) <= 4 ? entry + 8 : get(entry + 8, 4);
        const size_t at = values + index * size_t(size);
        put(at, size, uint32_t(get(at, size) * kept));
    }
    return tiff;
}

/// Each way the application reads a file: the import's probe with its look through the data, the
/// preview's decode (from the file and from memory) and the export's read; each result's error
/// ("" for success) after checking it took less than two seconds.
inline std::vector<std::string> readEachWay(const std::string& path) {
    std::vector<std::string> errors;
    const auto timed = [&](auto read) {
        const auto started = std::chrono::steady_clock::now();
        const auto result = read();
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2) * gwtest::slowdown)
            << path;
        errors.push_back(result.ok() ? std::string() : result.error());
    };
    timed([&] { return ci::io::probeFile(path, ci::io::ProbeDepth::Data); });
    timed([&] { return ci::io::decodeFile(path); });
    timed([&] { return ci::io::decodeData(gwtest::readBytes(path)); });
    timed([&] {
        auto read = ci::io::readPicture(path);
        return read.ok() ? ci::io::decodePicture(std::move(*read))
                         : ci::Result<ci::io::Decoded>::failure(read.error());
    });
    return errors;
}

} // namespace codectest
