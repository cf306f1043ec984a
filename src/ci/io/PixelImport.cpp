#include "PixelImport.h"

#include "ci/core/Context.h"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace ci::io {

namespace {

const float* decodeTable8() {
    static const std::array<float, 256> table = [] {
        std::array<float, 256> t{};
        for (int v = 0; v < 256; ++v)
            t[v] = srgbDecode8(uint8_t(v));
        return t;
    }();
    return table.data();
}

const float* decodeTable16() {
    static const std::vector<float> table = [] {
        std::vector<float> t(65536);
        for (int v = 0; v < 65536; ++v)
            t[v] = srgbDecode(float(v) / 65535.0f);
        return t;
    }();
    return table.data();
}

/// Divides the colour of associated samples by alpha, into `out` (same layout).
template <class T>
void unassociate(const T* in, T* out, int width, int stride, int colours, int alpha, float maxValue) {
    for (ptrdiff_t x = 0; x < width; ++x, in += stride, out += stride) {
        std::memcpy(out, in, sizeof(T) * size_t(stride));
        const float a = float(in[alpha]);
        for (int c = 0; c < colours; ++c) {
            if (a <= 0) {
                out[c] = T(0);
            } else if constexpr (std::is_floating_point_v<T>) {
                out[c] = in[c] / a;
            } else {
                out[c] = T(std::min(maxValue, float(in[c]) * maxValue / a + 0.5f));
            }
        }
    }
}

} // namespace

PixelImporter::PixelImporter(const SourceLayout& layout, const ProfileConverter* profile, int width,
                             int height, int orientation)
    : layout_(layout), profile_(profile), width_(width), height_(height),
      orientation_(orientation >= 1 && orientation <= 8 ? orientation : 1), swap_(orientation_ >= 5) {
    // Make sure the tables exist before the parallel loops touch them.
    if (layout_.type == SampleType::U8)
        decodeTable8();
    else if (layout_.type == SampleType::U16 && !profile_)
        decodeTable16();
}

Bitmap PixelImporter::makeBitmap() const {
    return Bitmap(IRect{0, 0, outputWidth(), outputHeight()});
}

void PixelImporter::convertRow(const uint8_t* src, float* out) const {
    const SourceLayout& L = layout_;
    const int w = width_;
    const int s = L.stride;
    const int ai = L.alpha;
    const int gi = L.grey ? 0 : 1, bi = L.grey ? 0 : 2;
    const bool hasAlpha = ai >= 0;
    // Associated samples keep their colour as it is only when they are linear and need no profile.
    bool keepAssociated = hasAlpha && L.associated && L.linear && !profile_;
    std::vector<uint8_t> straight;
    if (hasAlpha && L.associated && !keepAssociated) {
        straight.resize(L.rowBytes(w));
        const int colours = L.grey ? 1 : 3;
        if (L.type == SampleType::U8)
            unassociate(src, straight.data(), w, s, colours, ai, 255.0f);
        else if (L.type == SampleType::U16)
            unassociate(reinterpret_cast<const uint16_t*>(src), reinterpret_cast<uint16_t*>(straight.data()),
                        w, s, colours, ai, 65535.0f);
        else
            unassociate(reinterpret_cast<const float*>(src), reinterpret_cast<float*>(straight.data()), w, s,
                        colours, ai, 1.0f);
        src = straight.data();
    }

    // Colour into linear light.
    if (profile_) {
        profile_->convert(src, out, w);
    } else if (L.type == SampleType::U8) {
        const float* lut = decodeTable8();
        const uint8_t* p = src;
        for (ptrdiff_t x = 0; x < w; ++x, p += s) {
            out[x * 4 + 0] = lut[p[0]];
            out[x * 4 + 1] = lut[p[gi]];
            out[x * 4 + 2] = lut[p[bi]];
        }
    } else if (L.type == SampleType::U16) {
        const float* lut = decodeTable16();
        const auto* p = reinterpret_cast<const uint16_t*>(src);
        for (ptrdiff_t x = 0; x < w; ++x, p += s) {
            out[x * 4 + 0] = lut[p[0]];
            out[x * 4 + 1] = lut[p[gi]];
            out[x * 4 + 2] = lut[p[bi]];
        }
    } else {
        const auto* p = reinterpret_cast<const float*>(src);
        for (ptrdiff_t x = 0; x < w; ++x, p += s) {
            for (int c = 0; c < 3; ++c) {
                const float v = p[c == 0 ? 0 : c == 1 ? gi : bi];
                out[x * 4 + c] = L.linear ? v : srgbDecode(v);
            }
        }
    }

    // Alpha, and premultiplication of straight colour.
    if (!hasAlpha) {
        for (ptrdiff_t x = 0; x < w; ++x)
            out[x * 4 + 3] = 1.0f;
        return;
    }
    if (L.type == SampleType::U8) {
        const uint8_t* p = src + ai;
        for (ptrdiff_t x = 0; x < w; ++x, p += s) {
            const float a = float(*p) * (1.0f / 255.0f);
            float* o = out + x * 4;
            o[0] *= a, o[1] *= a, o[2] *= a, o[3] = a;
        }
    } else if (L.type == SampleType::U16) {
        const auto* p = reinterpret_cast<const uint16_t*>(src) + ai;
        for (ptrdiff_t x = 0; x < w; ++x, p += s) {
            const float a = float(*p) * (1.0f / 65535.0f);
            float* o = out + x * 4;
            o[0] *= a, o[1] *= a, o[2] *= a, o[3] = a;
        }
    } else {
        const auto* p = reinterpret_cast<const float*>(src) + ai;
        for (ptrdiff_t x = 0; x < w; ++x, p += s) {
            const float a = *p;
            float* o = out + x * 4;
            if (!keepAssociated)
                o[0] *= a, o[1] *= a, o[2] *= a;
            o[3] = a;
        }
    }
}

void PixelImporter::importRows(const uint8_t* rows, size_t rowBytes, int y0, int y1, Bitmap& dst) const {
    const int w = width_, h = height_;
    const int H = outputHeight();
    const ptrdiff_t stride = dst.stride();
    const int grain = std::max(1, 8192 / std::max(1, w));
    tbb::parallel_for(tbb::blocked_range<int>(y0, y1, grain), [&](const tbb::blocked_range<int>& range) {
        std::vector<float> scratch;
        for (int sy = range.begin(); sy != range.end(); ++sy) {
            const uint8_t* src = rows + size_t(sy - y0) * rowBytes;
            switch (orientation_) {
            case 1:
                convertRow(src, dst.data() + ptrdiff_t(H - 1 - sy) * stride);
                continue;
            case 4:
                convertRow(src, dst.data() + ptrdiff_t(sy) * stride);
                continue;
            default:
                break;
            }
            scratch.resize(size_t(w) * 4);
            convertRow(src, scratch.data());
            const float* in = scratch.data();
            float* base = dst.data();
            for (ptrdiff_t x = 0; x < w; ++x, in += 4) {
                ptrdiff_t ox = 0, by = 0; // column, and row counted from the bottom
                switch (orientation_) {
                case 2:
                    ox = w - 1 - x, by = H - 1 - sy;
                    break;
                case 3:
                    ox = w - 1 - x, by = sy;
                    break;
                case 5:
                    ox = sy, by = H - 1 - x;
                    break;
                case 6:
                    ox = h - 1 - sy, by = H - 1 - x;
                    break;
                case 7:
                    ox = h - 1 - sy, by = x;
                    break;
                case 8:
                    ox = sy, by = x;
                    break;
                }
                std::memcpy(base + ptrdiff_t(by) * stride + ptrdiff_t(ox) * 4, in, sizeof(float) * 4);
            }
        }
    });
}

} // namespace ci::io
