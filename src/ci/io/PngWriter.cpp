#include "PngWriter.h"

#include <tbb/parallel_for.h>

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace ci::io {

namespace {

constexpr size_t kWindow = 32768;       // deflate's window: what a band is primed with
constexpr size_t kBandBytes = 1u << 20; // filtered bytes per band, about

void putU32(std::vector<uint8_t>& out, uint32_t v) {
    const uint8_t b[4] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
    out.insert(out.end(), b, b + 4);
}

void putChunk(std::vector<uint8_t>& out, const char* type, const uint8_t* data, size_t n,
              const uint8_t* more = nullptr, size_t m = 0) {
    putU32(out, uint32_t(n + m));
    const size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    if (n)
        out.insert(out.end(), data, data + n);
    if (m)
        out.insert(out.end(), more, more + m);
    putU32(out, uint32_t(crc32(0, out.data() + start, uInt(out.size() - start))));
}

/// Row y as stored: R, G, B (and A) samples, big-endian when 16-bit.
void packRow(const PixelBuffer& px, int y, bool alpha, uint8_t* out) {
    const int channels = alpha ? 4 : 3;
    if (px.bitsPerChannel == 8) {
        const uint8_t* src = px.row8(y);
        if (alpha) {
            std::memcpy(out, src, size_t(px.width) * 4);
            return;
        }
        for (int x = 0; x < px.width; ++x, src += 4, out += 3)
            out[0] = src[0], out[1] = src[1], out[2] = src[2];
        return;
    }
    const uint16_t* src = px.row16(y);
    for (int x = 0; x < px.width; ++x, src += 4)
        for (int c = 0; c < channels; ++c, out += 2) {
            out[0] = uint8_t(src[c] >> 8);
            out[1] = uint8_t(src[c]);
        }
}

inline uint8_t paeth(uint8_t a, uint8_t b, uint8_t c) {
    const int pa = std::abs(int(b) - int(c)), pb = std::abs(int(a) - int(c)),
              pc = std::abs(int(a) + int(b) - 2 * int(c));
    return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

inline uint32_t cost(const uint8_t* row, size_t n) {
    uint32_t sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum += uint32_t(std::abs(int(int8_t(row[i]))));
    return sum;
}

/// Writes the filter type and the filtered row to out (n + 1 bytes): of the five filters, the
/// one with the smallest sum of absolute signed bytes, as libpng chooses.
void filterRow(const uint8_t* cur, const uint8_t* prev, size_t n, size_t bpp, uint8_t* out, uint8_t* trial) {
    uint8_t* sub = trial;
    uint8_t* up = trial + n;
    uint8_t* avg = trial + 2 * n;
    uint8_t* pae = trial + 3 * n;
    for (size_t i = 0; i < bpp && i < n; ++i) {
        sub[i] = cur[i];
        up[i] = uint8_t(cur[i] - prev[i]);
        avg[i] = uint8_t(cur[i] - (prev[i] >> 1));
        pae[i] = uint8_t(cur[i] - prev[i]); // paeth(0, b, 0) = b
    }
    for (size_t i = bpp; i < n; ++i) {
        const uint8_t a = cur[i - bpp], b = prev[i], c = prev[i - bpp];
        sub[i] = uint8_t(cur[i] - a);
        up[i] = uint8_t(cur[i] - b);
        avg[i] = uint8_t(cur[i] - uint8_t((unsigned(a) + unsigned(b)) >> 1));
        pae[i] = uint8_t(cur[i] - paeth(a, b, c));
    }
    const uint8_t* candidates[5] = {cur, sub, up, avg, pae};
    int best = 0;
    uint32_t bestCost = cost(cur, n);
    for (int f = 1; f < 5; ++f) {
        const uint32_t c = cost(candidates[f], n);
        if (c < bestCost)
            best = f, bestCost = c;
    }
    out[0] = uint8_t(best);
    std::memcpy(out + 1, candidates[best], n);
}

struct Band {
    std::vector<uint8_t> deflated;
    uint32_t adler = 1;
    size_t raw = 0;
};

/// Filters rows [y0, y1) and the rows before y0 that prime the window, then deflates the band.
bool deflateBand(const PixelBuffer& px, bool alpha, int y0, int y1, bool last, Band& band) {
    const size_t bpp = size_t(alpha ? 4 : 3) * size_t(px.bitsPerChannel / 8);
    const size_t n = bpp * size_t(px.width), stride = n + 1;
    const int primeRows = std::min<int>(y0, int((kWindow + stride - 1) / stride));
    const int first = y0 - primeRows;
    std::vector<uint8_t> filtered(stride * size_t(y1 - first));
    std::vector<uint8_t> rows(2 * n), trial(4 * n);
    uint8_t* prev = rows.data();
    uint8_t* cur = rows.data() + n;
    if (first > 0)
        packRow(px, first - 1, alpha, prev);
    else
        std::fill(prev, prev + n, 0);
    for (int y = first; y < y1; ++y) {
        packRow(px, y, alpha, cur);
        filterRow(cur, prev, n, bpp, filtered.data() + stride * size_t(y - first), trial.data());
        std::swap(cur, prev);
    }

    z_stream z{};
    // 8-bit rows: run-length matching only. After the row filters a photograph is mostly short
    // runs of small differences, and this finds them several times faster than the full search,
    // for files smaller than the libraries' defaults make. 16-bit rows carry noise in their low
    // bytes, which the full search at the usual level handles better.
    const bool deep = px.bitsPerChannel == 16;
    if (deflateInit2(&z, 6, Z_DEFLATED, -15, 8, deep ? Z_DEFAULT_STRATEGY : Z_RLE) != Z_OK)
        return false;
    const uint8_t* input = filtered.data() + stride * size_t(primeRows);
    const size_t inputSize = stride * size_t(y1 - y0);
    if (primeRows > 0) {
        const size_t have = stride * size_t(primeRows), use = std::min(have, kWindow);
        deflateSetDictionary(&z, input - use, uInt(use));
    }
    band.deflated.resize(deflateBound(&z, uLong(inputSize)) + 16);
    z.next_in = const_cast<Bytef*>(input);
    z.avail_in = uInt(inputSize);
    z.next_out = band.deflated.data();
    z.avail_out = uInt(band.deflated.size());
    const int rc = deflate(&z, last ? Z_FINISH : Z_SYNC_FLUSH);
    const bool ok = last ? rc == Z_STREAM_END : rc == Z_OK && z.avail_in == 0;
    band.deflated.resize(z.total_out);
    deflateEnd(&z);
    band.adler = uint32_t(adler32(1, input, uInt(inputSize)));
    band.raw = inputSize;
    return ok;
}

} // namespace

std::vector<uint8_t> writePng(const PixelBuffer& px, bool withAlpha) {
    const size_t bpp = size_t(withAlpha ? 4 : 3) * size_t(px.bitsPerChannel / 8);
    const size_t stride = bpp * size_t(px.width) + 1;
    const int bandRows = int(std::clamp<size_t>(kBandBytes / stride, 8, size_t(px.height)));
    const int bands = (px.height + bandRows - 1) / bandRows;
    std::vector<Band> parts(static_cast<size_t>(bands));
    std::atomic<bool> ok{true};
    tbb::parallel_for(0, bands, [&](int b) {
        const int y0 = b * bandRows, y1 = std::min(px.height, y0 + bandRows);
        if (!deflateBand(px, withAlpha, y0, y1, b == bands - 1, parts[size_t(b)]))
            ok = false;
    });
    if (!ok)
        throw std::bad_alloc(); // deflate fails only when it cannot get memory

    std::vector<uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    size_t total = 64;
    for (const Band& b : parts)
        total += b.deflated.size() + 12;
    out.reserve(total);

    std::vector<uint8_t> ihdr;
    putU32(ihdr, uint32_t(px.width));
    putU32(ihdr, uint32_t(px.height));
    ihdr.insert(ihdr.end(), {uint8_t(px.bitsPerChannel), uint8_t(withAlpha ? 6 : 2), 0, 0, 0});
    putChunk(out, "IHDR", ihdr.data(), ihdr.size());
    // sRGB, with the gamma and chromaticities that readers without colour management fall back on.
    const uint8_t gama[] = {0x00, 0x00, 0xB1, 0x8F};
    const uint8_t srgb[] = {0x00}; // perceptual
    const uint8_t chrm[] = {0x00, 0x00, 0x7A, 0x26, 0x00, 0x00, 0x80, 0x84, 0x00, 0x00, 0xFA,
                            0x00, 0x00, 0x00, 0x80, 0xE8, 0x00, 0x00, 0x75, 0x30, 0x00, 0x00,
                            0xEA, 0x60, 0x00, 0x00, 0x3A, 0x98, 0x00, 0x00, 0x17, 0x70};
    putChunk(out, "sRGB", srgb, sizeof srgb);
    putChunk(out, "gAMA", gama, sizeof gama);
    putChunk(out, "cHRM", chrm, sizeof chrm);

    // One zlib stream over all bands: a header, the bands as they are (each ends on a byte
    // boundary, the last one final), and the checksum of everything.
    uint32_t adler = 1;
    for (const Band& b : parts)
        adler = uint32_t(adler32_combine(adler, b.adler, z_off_t(b.raw)));
    const uint8_t header[2] = {0x78, 0x9C};
    uint8_t trailer[4] = {uint8_t(adler >> 24), uint8_t(adler >> 16), uint8_t(adler >> 8), uint8_t(adler)};
    for (size_t i = 0; i < parts.size(); ++i) {
        const Band& b = parts[i];
        const bool first = i == 0, last = i + 1 == parts.size();
        if (first && last) {
            std::vector<uint8_t> all(header, header + 2);
            all.insert(all.end(), b.deflated.begin(), b.deflated.end());
            putChunk(out, "IDAT", all.data(), all.size(), trailer, 4);
        } else if (first) {
            putChunk(out, "IDAT", header, 2, b.deflated.data(), b.deflated.size());
        } else if (last) {
            putChunk(out, "IDAT", b.deflated.data(), b.deflated.size(), trailer, 4);
        } else {
            putChunk(out, "IDAT", b.deflated.data(), b.deflated.size());
        }
    }
    putChunk(out, "IEND", nullptr, 0);
    return out;
}

} // namespace ci::io
