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

void prepareConversion(const SourceLayout& layout, const ProfileConverter* profile) {
    // The tables exist before the parallel loops touch them.
    if (layout.type == SampleType::U8)
        decodeTable8();
    else if (layout.type == SampleType::U16 && !profile)
        decodeTable16();
}

namespace {

int normalOrientation(int orientation) {
    return orientation >= 1 && orientation <= 8 ? orientation : 1;
}

// Where stored pixel (x, sy) of a w x h picture lands upright: its column, and its row counted
// from the top.
inline void uprightPlace(int orientation, ptrdiff_t x, ptrdiff_t sy, ptrdiff_t w, ptrdiff_t h, ptrdiff_t& ox,
                         ptrdiff_t& ty) {
    switch (orientation) {
    default:
        ox = x, ty = sy;
        break;
    case 2:
        ox = w - 1 - x, ty = sy;
        break;
    case 3:
        ox = w - 1 - x, ty = h - 1 - sy;
        break;
    case 4:
        ox = x, ty = h - 1 - sy;
        break;
    case 5:
        ox = sy, ty = x;
        break;
    case 6:
        ox = h - 1 - sy, ty = x;
        break;
    case 7:
        ox = h - 1 - sy, ty = w - 1 - x;
        break;
    case 8:
        ox = sy, ty = w - 1 - x;
        break;
    }
}

} // namespace

PixelImporter::PixelImporter(const SourceLayout& layout, const ProfileConverter* profile, int width,
                             int height, int orientation)
    : layout_(layout), profile_(profile), width_(width), height_(height),
      orientation_(normalOrientation(orientation)), swap_(orientation_ >= 5) {
    prepareConversion(layout_, profile_);
}

Bitmap PixelImporter::makeBitmap() const {
    return Bitmap(IRect{0, 0, outputWidth(), outputHeight()});
}

void convertSamples(const SourceLayout& L, const ProfileConverter* profile, const uint8_t* src, int count,
                    float* out) {
    const int w = count;
    const int s = L.stride;
    const int ai = L.alpha;
    const int gi = L.grey ? 0 : 1, bi = L.grey ? 0 : 2;
    const bool hasAlpha = ai >= 0;
    if (L.cmyk && !profile) {
        // Without a profile, CMYK is converted as the image library converts it: each of C, M and
        // Y as stored times K as stored, over 255 (the Adobe convention taken for granted).
        const float* lut = decodeTable8();
        const uint8_t* p = src;
        for (ptrdiff_t x = 0; x < w; ++x, p += s) {
            const unsigned k = p[3];
            for (int c = 0; c < 3; ++c)
                out[x * 4 + c] = lut[(p[c] * k + 127) / 255];
            out[x * 4 + 3] = 1.0f;
        }
        return;
    }
    // Associated samples keep their colour as it is only when they are linear and need no profile.
    bool keepAssociated = hasAlpha && L.associated && L.linear && !profile;
    if (hasAlpha && L.associated && !keepAssociated) {
        thread_local std::vector<uint8_t> straight;
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
    if (profile) {
        profile->convert(src, out, w);
    } else if (L.type == SampleType::U8) {
        const float* lut = decodeTable8();
        if (!hasAlpha && s == 3 && !L.grey) {
            // The common case (an RGB photograph): whole pixels in one pass, alpha included.
            const uint8_t* p = src;
            for (ptrdiff_t x = 0; x < w; ++x, p += 3) {
                out[x * 4 + 0] = lut[p[0]];
                out[x * 4 + 1] = lut[p[1]];
                out[x * 4 + 2] = lut[p[2]];
                out[x * 4 + 3] = 1.0f;
            }
            return;
        }
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

void PixelImporter::convertRow(const uint8_t* src, float* out) const {
    convertSamples(layout_, profile_, src, width_, out);
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
                ptrdiff_t ox = 0, ty = 0;
                uprightPlace(orientation_, x, sy, w, h, ox, ty);
                std::memcpy(base + ptrdiff_t(H - 1 - ty) * stride + ptrdiff_t(ox) * 4, in, sizeof(float) * 4);
            }
        }
    });
}

namespace {

// Samples of an upright picture, top row first, converted into the working space as they are read.
class StoredPixels final : public CompactPixels {
  public:
    StoredPixels(const SourceLayout& layout, std::unique_ptr<ProfileConverter> profile, int width, int height,
                 std::shared_ptr<const std::vector<uint8_t>> rows)
        : CompactPixels(IRect{0, 0, width, height}, int64_t(rows->size())), layout_(layout),
          profile_(std::move(profile)), height_(height), rowBytes_(layout.rowBytes(width)),
          rows_(std::move(rows)) {
        prepareConversion(layout_, profile_.get());
    }

    void readRow(int64_t y, int64_t x0, int count, float* out) const override {
        const uint8_t* src = rows_->data() + size_t(height_ - 1 - y) * rowBytes_ +
                             size_t(x0) * size_t(layout_.stride) * size_t(layout_.bytesPerSample());
        // Tiles read their rows upward, which run backwards through the stored rows: ask for
        // the next one's samples while this one converts.
        if (y + 1 < height_) {
            const size_t bytes = size_t(count) * size_t(layout_.stride) * size_t(layout_.bytesPerSample());
            for (size_t k = 0; k < bytes; k += 64)
                __builtin_prefetch(src - rowBytes_ + k);
        }
        convertSamples(layout_, profile_.get(), src, count, out);
    }

  private:
    SourceLayout layout_;
    std::unique_ptr<ProfileConverter> profile_;
    int64_t height_;
    size_t rowBytes_;
    std::shared_ptr<const std::vector<uint8_t>> rows_;
};

// The samples moved to where an orientation puts them: upright, top row first.
std::vector<uint8_t> orientRows(const std::vector<uint8_t>& rows, const SourceLayout& layout, int w, int h,
                                int orientation) {
    const size_t px = size_t(layout.stride) * size_t(layout.bytesPerSample());
    const bool swap = orientation >= 5;
    const size_t W = size_t(swap ? h : w);
    std::vector<uint8_t> out(rows.size());
    tbb::parallel_for(tbb::blocked_range<int>(0, h), [&](const tbb::blocked_range<int>& range) {
        for (int sy = range.begin(); sy != range.end(); ++sy) {
            const uint8_t* src = rows.data() + size_t(sy) * size_t(w) * px;
            for (ptrdiff_t x = 0; x < w; ++x) {
                ptrdiff_t ox = 0, ty = 0;
                uprightPlace(orientation, x, sy, w, h, ox, ty);
                std::memcpy(out.data() + (size_t(ty) * W + size_t(ox)) * px, src + size_t(x) * px, px);
            }
        }
    });
    return out;
}

} // namespace

bool keepsCompact(const SourceLayout& layout, const ProfileConverter* profile) {
    return layout.type != SampleType::F32 && (!profile || profile->convertsCheaply());
}

Image importPicture(const SourceLayout& layout, std::unique_ptr<ProfileConverter> profile, int width,
                    int height, int orientation, std::shared_ptr<const std::vector<uint8_t>> rows) {
    orientation = normalOrientation(orientation);
    if (!keepsCompact(layout, profile.get())) {
        PixelImporter importer(layout, profile.get(), width, height, orientation);
        Bitmap bitmap = importer.makeBitmap();
        importer.importRows(rows->data(), layout.rowBytes(width), 0, height, bitmap);
        return Image::fromBitmap(std::move(bitmap));
    }
    if (orientation != 1) {
        rows = std::make_shared<const std::vector<uint8_t>>(
            orientRows(*rows, layout, width, height, orientation));
        if (orientation >= 5)
            std::swap(width, height);
    }
    return Image::fromPixels(
        std::make_shared<const StoredPixels>(layout, std::move(profile), width, height, std::move(rows)));
}

} // namespace ci::io
