#pragma once

// JPEG files made for the codec tests with libjpeg itself.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
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

} // namespace codectest
