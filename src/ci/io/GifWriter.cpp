#include "GifWriter.h"

#include <algorithm>

namespace ci::io {

namespace {

/// Packs variable-width codes least significant bit first into 255-byte sub-blocks.
class CodeWriter {
  public:
    explicit CodeWriter(std::vector<uint8_t>& out) : out_(out) {}

    void write(int code, int bits) {
        acc_ |= uint32_t(code) << nbits_;
        nbits_ += bits;
        while (nbits_ >= 8) {
            push(uint8_t(acc_ & 0xFF));
            acc_ >>= 8;
            nbits_ -= 8;
        }
    }
    void finish() {
        if (nbits_ > 0)
            push(uint8_t(acc_ & 0xFF));
        acc_ = 0, nbits_ = 0;
        flushBlock();
        out_.push_back(0); // block terminator
    }

  private:
    void push(uint8_t b) {
        block_[blockLen_++] = b;
        if (blockLen_ == 255)
            flushBlock();
    }
    void flushBlock() {
        if (!blockLen_)
            return;
        out_.push_back(uint8_t(blockLen_));
        out_.insert(out_.end(), block_, block_ + blockLen_);
        blockLen_ = 0;
    }

    std::vector<uint8_t>& out_;
    uint32_t acc_ = 0;
    int nbits_ = 0;
    uint8_t block_[255];
    int blockLen_ = 0;
};

void put16(std::vector<uint8_t>& out, int v) {
    out.push_back(uint8_t(v & 0xFF));
    out.push_back(uint8_t((v >> 8) & 0xFF));
}

/// GIF's LZW: the code width grows when the next free code no longer fits, and the table
/// restarts with a clear code once 4095 entries are in use.
void compress(const std::vector<uint8_t>& indices, int minCodeSize, std::vector<uint8_t>& out) {
    const int clearCode = 1 << minCodeSize;
    const int endCode = clearCode + 1;
    constexpr int kTableSize = 8192; // open addressing over (prefix, byte) keys
    std::vector<int32_t> keys(kTableSize, -1);
    std::vector<int16_t> codes(kTableSize, 0);

    CodeWriter writer(out);
    int codeSize = minCodeSize + 1;
    int lastCode = endCode; // highest code in use
    writer.write(clearCode, codeSize);
    if (indices.empty()) {
        writer.write(endCode, codeSize);
        writer.finish();
        return;
    }
    int current = indices[0];
    for (size_t i = 1; i < indices.size(); ++i) {
        const int next = indices[i];
        const int32_t key = current << 8 | next;
        size_t h = (uint32_t(key) * 2654435761u) >> 19;
        while (keys[h] != -1 && keys[h] != key)
            h = (h + 1) & (kTableSize - 1);
        if (keys[h] == key) {
            current = codes[h];
            continue;
        }
        writer.write(current, codeSize);
        keys[h] = key;
        codes[h] = int16_t(++lastCode);
        if (lastCode >= (1 << codeSize))
            ++codeSize;
        if (lastCode == 4095) {
            writer.write(clearCode, codeSize);
            std::fill(keys.begin(), keys.end(), -1);
            codeSize = minCodeSize + 1;
            lastCode = endCode;
        }
        current = next;
    }
    writer.write(current, codeSize);
    writer.write(endCode, codeSize);
    writer.finish();
}

} // namespace

std::vector<uint8_t> writeGif(const IndexedImage& image) {
    int bits = 1; // colour table of 2^bits entries
    while ((1 << bits) < int(image.palette.size()))
        ++bits;
    const int tableSize = 1 << bits;

    std::vector<uint8_t> out;
    out.reserve(image.indices.size() / 2 + 1024);
    const char header[] = "GIF89a";
    out.insert(out.end(), header, header + 6);
    put16(out, image.width);
    put16(out, image.height);
    out.push_back(uint8_t(0x80 | ((bits - 1) << 4) | (bits - 1))); // global table, its size
    out.push_back(0);                                              // background entry
    out.push_back(0);                                              // square pixels
    for (int i = 0; i < tableSize; ++i) {
        const auto c =
            i < int(image.palette.size()) ? image.palette[size_t(i)] : std::array<uint8_t, 3>{0, 0, 0};
        out.insert(out.end(), c.begin(), c.end());
    }
    if (image.transparentIndex >= 0) {
        const uint8_t control[] = {0x21, 0xF9, 0x04, 0x01, 0x00, 0x00, uint8_t(image.transparentIndex), 0x00};
        out.insert(out.end(), control, control + sizeof control);
    }
    out.push_back(0x2C); // image descriptor
    put16(out, 0);
    put16(out, 0);
    put16(out, image.width);
    put16(out, image.height);
    out.push_back(0); // no local table, not interlaced
    const int minCodeSize = std::max(2, bits);
    out.push_back(uint8_t(minCodeSize));
    compress(image.indices, minCodeSize, out);
    out.push_back(0x3B);
    return out;
}

} // namespace ci::io
