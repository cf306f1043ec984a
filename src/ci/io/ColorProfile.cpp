#include "ColorProfile.h"
#include "ColorProfileTable.h"
#include "IccCheck.h"

#include "ci/core/Context.h"

#include <lcms2.h>

#include <algorithm>
#include <cmath>

namespace ci::io {

namespace {

struct ProfileHandle {
    cmsHPROFILE h = nullptr;
    explicit ProfileHandle(cmsHPROFILE p) : h(p) {}
    ~ProfileHandle() {
        if (h)
            cmsCloseProfile(h);
    }
    ProfileHandle(const ProfileHandle&) = delete;
    ProfileHandle& operator=(const ProfileHandle&) = delete;
};

struct TransformHandle {
    cmsHTRANSFORM t = nullptr;
    explicit TransformHandle(cmsHTRANSFORM x) : t(x) {}
    ~TransformHandle() {
        if (t)
            cmsDeleteTransform(t);
    }
    TransformHandle(const TransformHandle&) = delete;
    TransformHandle& operator=(const TransformHandle&) = delete;
};

/// The working space as a profile: sRGB primaries and white, linear curves.
cmsHPROFILE createLinearSRGB(cmsContext context) {
    const cmsCIExyY d65 = {0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1.0}, {0.30, 0.60, 1.0}, {0.15, 0.06, 1.0}};
    cmsToneCurve* linear = cmsBuildGamma(context, 1.0);
    if (!linear)
        return nullptr;
    cmsToneCurve* curves[3] = {linear, linear, linear};
    cmsHPROFILE p = cmsCreateRGBProfileTHR(context, &d65, &primaries, curves);
    cmsFreeToneCurve(linear);
    return p;
}

/// The first error LittleCMS reports while a converter is made (the user data of its context).
struct Report {
    std::string first;
};

void noteError(cmsContext context, cmsUInt32Number, const char* text) {
    auto* report = static_cast<Report*>(cmsGetContextUserData(context));
    if (report && report->first.empty())
        report->first = text && *text ? text : "an error without a message";
}

std::string tagName(cmsTagSignature tag) {
    const auto t = uint32_t(tag);
    return {char(t >> 24), char(t >> 16), char(t >> 8), char(t)};
}

/// The first tag that LittleCMS reads to convert from `p` (its table, else the curves and colorants
/// of a matrix-shaper) and holds but cannot read, e.g. one whose type was overwritten; "" when it
/// reads them all. LittleCMS itself says nothing of such a tag, and may then convert through
/// whatever else the profile holds.
std::string unreadableTag(cmsHPROFILE p, bool grey) {
    std::vector<cmsTagSignature> needed;
    if (cmsIsTag(p, cmsSigAToB0Tag))
        needed = {cmsSigAToB0Tag};
    else if (grey)
        needed = {cmsSigGrayTRCTag};
    else
        needed = {cmsSigRedColorantTag, cmsSigGreenColorantTag, cmsSigBlueColorantTag,
                  cmsSigRedTRCTag,      cmsSigGreenTRCTag,      cmsSigBlueTRCTag};
    for (const cmsTagSignature tag : needed)
        if (cmsIsTag(p, tag) && !cmsReadTag(p, tag))
            return tagName(tag);
    return {};
}

/// Colorants of a matrix-shaper profile as the columns of a 3x3 matrix (RGB -> XYZ D50).
bool colorantMatrix(cmsHPROFILE p, double m[9]) {
    const cmsTagSignature tags[3] = {cmsSigRedColorantTag, cmsSigGreenColorantTag, cmsSigBlueColorantTag};
    for (int c = 0; c < 3; ++c) {
        const auto* xyz = static_cast<const cmsCIEXYZ*>(cmsReadTag(p, tags[c]));
        if (!xyz)
            return false;
        m[0 * 3 + c] = xyz->X;
        m[1 * 3 + c] = xyz->Y;
        m[2 * 3 + c] = xyz->Z;
    }
    return true;
}

bool invert3(const double m[9], double out[9]) {
    const double a = m[0], b = m[1], c = m[2], d = m[3], e = m[4], f = m[5], g = m[6], h = m[7], i = m[8];
    const double det = a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g);
    if (std::fabs(det) < 1e-12)
        return false;
    const double s = 1.0 / det;
    out[0] = (e * i - f * h) * s;
    out[1] = (c * h - b * i) * s;
    out[2] = (b * f - c * e) * s;
    out[3] = (f * g - d * i) * s;
    out[4] = (a * i - c * g) * s;
    out[5] = (c * d - a * f) * s;
    out[6] = (d * h - e * g) * s;
    out[7] = (b * g - a * h) * s;
    out[8] = (a * e - b * d) * s;
    return true;
}

int colourCount(SampleColours colours) {
    return colours == SampleColours::Grey ? 1 : colours == SampleColours::RGB ? 3 : 4;
}

cmsUInt32Number pixelFormat(SampleColours colours, int stride, SampleType type) {
    const int count = colourCount(colours);
    const int bytes = type == SampleType::U8 ? 1 : type == SampleType::U16 ? 2 : 4;
    const int space = colours == SampleColours::Grey  ? PT_GRAY
                      : colours == SampleColours::RGB ? PT_RGB
                                                      : PT_CMYK;
    return COLORSPACE_SH(space) | CHANNELS_SH(count) | EXTRA_SH(stride - count) | BYTES_SH(bytes) |
           FLOAT_SH(type == SampleType::F32 ? 1 : 0) |
           FLAVOR_SH(colours == SampleColours::InvertedCMYK ? 1 : 0);
}

/// Pixels of CMYK converted at a time, through a buffer of their colour in XYZ.
constexpr int64_t kInkChunk = 4096;

constexpr cmsUInt32Number kIntent = INTENT_PERCEPTUAL;

const std::string kUnreadable = "the colour profile cannot be read";

/// A transform from `src` in the intent LittleCMS is asked for, else relative colorimetric (which
/// every table-based profile holds), made without an error from LittleCMS; else null, and
/// `report` says why. `made`, when given, is set to the intent.
cmsHTRANSFORM quietTransform(Report& report, cmsHPROFILE src, cmsUInt32Number in, cmsHPROFILE dst,
                             cmsUInt32Number out, cmsUInt32Number* made = nullptr) {
    std::string first;
    for (const cmsUInt32Number intent : {kIntent, cmsUInt32Number(INTENT_RELATIVE_COLORIMETRIC)}) {
        report.first.clear();
        cmsHTRANSFORM t =
            cmsCreateTransformTHR(cmsGetProfileContextID(src), src, in, dst, out, intent, cmsFLAGS_NOCACHE);
        if (t && report.first.empty()) {
            if (made)
                *made = intent;
            return t;
        }
        if (t) {
            // Made, but from a profile that did not read whole.
            cmsDeleteTransform(t);
            return nullptr;
        }
        if (first.empty())
            first = report.first;
    }
    report.first = first.empty() ? "no transform" : first;
    return nullptr;
}

} // namespace

std::unique_ptr<ProfileConverter> ProfileConverter::create(const uint8_t* icc, size_t size,
                                                           SampleColours colours, int pixelStride,
                                                           SampleType type, std::string* refused) {
    const bool grey = colours == SampleColours::Grey;
    const bool inks = colours == SampleColours::CMYK || colours == SampleColours::InvertedCMYK;
    if (!icc || pixelStride < colourCount(colours) || (inks && type != SampleType::U8))
        return nullptr;
    const auto setAside = [refused](const std::string& why) -> std::unique_ptr<ProfileConverter> {
        if (refused)
            *refused = why;
        return nullptr;
    };
    const CheckedProfile checked = checkProfile(icc, size);
    if (!checked.read)
        return setAside(checked.refused.empty() ? kUnreadable : checked.refused);
    if (!checked.trimmed.empty()) {
        icc = checked.trimmed.data();
        size = checked.trimmed.size();
    }

    // The profiles and transforms live in a context of the converter's own, whose errors say that a
    // profile did not read whole; they are listened to only while the converter is made.
    std::unique_ptr<ProfileConverter> conv(new ProfileConverter);
    Report report;
    conv->context_ = cmsCreateContext(nullptr, &report);
    if (!conv->context_)
        return nullptr;
    const auto context = static_cast<cmsContext>(conv->context_);
    cmsSetLogErrorHandlerTHR(context, noteError);
    const std::unique_ptr<void, void (*)(void*)> quiet(
        context, [](void* c) { cmsSetLogErrorHandlerTHR(static_cast<cmsContext>(c), nullptr); });
    const auto told = [&] { return kUnreadable + " (LittleCMS: " + report.first + ")"; };

    ProfileHandle src(cmsOpenProfileFromMemTHR(context, icc, cmsUInt32Number(size)));
    if (!src.h)
        return setAside(report.first.empty() ? kUnreadable : told());
    if (cmsGetColorSpace(src.h) != (grey ? cmsSigGrayData : inks ? cmsSigCmykData : cmsSigRgbData))
        return nullptr;
    if (const std::string tag = unreadableTag(src.h, grey); !tag.empty())
        return setAside("the colour profile's tag " + tag + " cannot be read");
    if (!report.first.empty())
        return setAside(told());
    ProfileHandle dst(createLinearSRGB(context));
    if (!dst.h)
        return nullptr;

    conv->grey_ = grey;
    conv->stride_ = pixelStride;
    conv->type_ = type;

    if (inks) {
        // A CMYK profile is a table of colours (LittleCMS reads inks stored in Adobe's convention,
        // 255 minus each, when the format says so). Converted into the working space directly,
        // every pixel would run through the whole of it in floats; into 16-bit XYZ, LittleCMS first
        // resamples it into a table of its own, several times faster, and the matrix from XYZ keeps
        // the colours outside sRGB as the working space holds them.
        ProfileHandle xyz(cmsCreateXYZProfileTHR(context));
        double primaries[9], toLinear[9];
        if (!xyz.h || !colorantMatrix(dst.h, primaries) || !invert3(primaries, toLinear))
            return nullptr;
        conv->transform_ =
            quietTransform(report, src.h, pixelFormat(colours, pixelStride, type), xyz.h, TYPE_XYZ_16);
        if (!conv->transform_)
            return setAside(told());
        conv->inks_ = true;
        for (int i = 0; i < 9; ++i)
            conv->matrix_[i] = float(toLinear[i] / 32768.0); // XYZ encoded as 1.15 fixed point
        return conv;
    }

    // Matrix-shaper fast path, accepted only when it agrees with LittleCMS on a grid of colours.
    if (cmsIsMatrixShaper(src.h) && !cmsIsCLUT(src.h, kIntent, LCMS_USED_AS_INPUT)) {
        bool ok = true;
        const cmsToneCurve* curves[3] = {};
        double m[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
        if (grey) {
            curves[0] = curves[1] = curves[2] =
                static_cast<const cmsToneCurve*>(cmsReadTag(src.h, cmsSigGrayTRCTag));
        } else {
            curves[0] = static_cast<const cmsToneCurve*>(cmsReadTag(src.h, cmsSigRedTRCTag));
            curves[1] = static_cast<const cmsToneCurve*>(cmsReadTag(src.h, cmsSigGreenTRCTag));
            curves[2] = static_cast<const cmsToneCurve*>(cmsReadTag(src.h, cmsSigBlueTRCTag));
            double p[9], s[9], sInv[9];
            ok = colorantMatrix(src.h, p) && colorantMatrix(dst.h, s) && invert3(s, sInv);
            if (ok)
                for (int r = 0; r < 3; ++r)
                    for (int c = 0; c < 3; ++c)
                        m[r * 3 + c] = sInv[r * 3 + 0] * p[0 * 3 + c] + sInv[r * 3 + 1] * p[1 * 3 + c] +
                                       sInv[r * 3 + 2] * p[2 * 3 + c];
        }
        ok = ok && curves[0] && curves[1] && curves[2];
        if (ok) {
            TransformHandle check(cmsCreateTransformTHR(context, src.h, grey ? TYPE_GRAY_FLT : TYPE_RGB_FLT,
                                                        dst.h, TYPE_RGB_FLT, kIntent, cmsFLAGS_NOCACHE));
            if (!report.first.empty())
                return setAside(told());
            ok = check.t != nullptr;
            const float steps[] = {0.0f, 0.1f, 0.35f, 0.6f, 0.85f, 1.0f};
            for (float r : steps)
                for (float g : steps)
                    for (float b : steps) {
                        if (!ok || (grey && (g != 0 || b != 0)))
                            continue;
                        const float in[3] = {r, g, b};
                        float ref[3];
                        cmsDoTransform(check.t, in, ref, 1);
                        const double lin[3] = {cmsEvalToneCurveFloat(curves[0], r),
                                               cmsEvalToneCurveFloat(curves[1], grey ? r : g),
                                               cmsEvalToneCurveFloat(curves[2], grey ? r : b)};
                        for (int k = 0; k < 3; ++k) {
                            const double v =
                                m[k * 3] * lin[0] + m[k * 3 + 1] * lin[1] + m[k * 3 + 2] * lin[2];
                            if (std::fabs(v - ref[k]) > 2e-3)
                                ok = false;
                        }
                    }
        }
        if (ok) {
            conv->matrixShaper_ = true;
            for (int i = 0; i < 9; ++i)
                conv->matrix_[i] = float(m[i]);
            bool srgb = true;
            for (int i = 0; i < 9; ++i)
                srgb = srgb && std::fabs(m[i] - (i % 4 == 0 ? 1.0 : 0.0)) < 2e-3;
            for (int v = 0; v < 256 && srgb; ++v)
                for (int c = 0; c < 3; ++c)
                    srgb = srgb && std::fabs(cmsEvalToneCurveFloat(curves[c], v / 255.0f) -
                                             srgbDecode8(uint8_t(v))) < 2e-3f;
            conv->isSRGB_ = srgb;
            const int entries = type == SampleType::U8 ? 256 : type == SampleType::U16 ? 65536 : 0;
            for (int c = 0; c < 3; ++c) {
                if (entries) {
                    conv->tables_[c].resize(entries);
                    for (int v = 0; v < entries; ++v)
                        conv->tables_[c][v] = cmsEvalToneCurveFloat(curves[c], float(v) / float(entries - 1));
                } else {
                    conv->curves_[c] = cmsDupToneCurve(curves[c]);
                }
            }
            return conv;
        }
    }

    cmsUInt32Number intent = kIntent;
    conv->transform_ =
        quietTransform(report, src.h, pixelFormat(colours, pixelStride, type), dst.h, TYPE_RGBA_FLT, &intent);
    if (!conv->transform_)
        return setAside(told());
    // LittleCMS runs a table-based profile through all its stages in floats for every pixel: its
    // own grid does the same, for integer samples.
    double primaries[9], toLinear[9];
    if (!grey && cmsIsCLUT(src.h, intent, LCMS_USED_AS_INPUT) && colorantMatrix(dst.h, primaries) &&
        invert3(primaries, toLinear))
        conv->table_ = ProfileTable::build(src.h, dst.h, intent, type, pixelStride, primaries, toLinear);
    if (conv->table_) {
        cmsDeleteTransform(static_cast<cmsHTRANSFORM>(conv->transform_));
        conv->transform_ = nullptr;
    }
    return conv;
}

ProfileConverter::ProfileConverter() = default;

ProfileConverter::~ProfileConverter() {
    if (transform_)
        cmsDeleteTransform(static_cast<cmsHTRANSFORM>(transform_));
    for (void* c : curves_)
        if (c)
            cmsFreeToneCurve(static_cast<cmsToneCurve*>(c));
    if (context_)
        cmsDeleteContext(static_cast<cmsContext>(context_));
}

void ProfileConverter::convert(const void* src, float* out, int64_t n) const {
    if (table_) {
        table_->convert(src, out, n);
        return;
    }
    if (inks_) {
        thread_local std::vector<uint16_t> xyz;
        const float* m = matrix_;
        while (n > 0) {
            const auto chunk = cmsUInt32Number(std::min<int64_t>(n, kInkChunk));
            xyz.resize(size_t(chunk) * 3);
            cmsDoTransform(static_cast<cmsHTRANSFORM>(transform_), src, xyz.data(), chunk);
            for (size_t i = 0; i < chunk; ++i, out += 4) {
                const float x = xyz[i * 3], y = xyz[i * 3 + 1], z = xyz[i * 3 + 2];
                out[0] = m[0] * x + m[1] * y + m[2] * z;
                out[1] = m[3] * x + m[4] * y + m[5] * z;
                out[2] = m[6] * x + m[7] * y + m[8] * z;
            }
            src = static_cast<const uint8_t*>(src) + size_t(chunk) * size_t(stride_);
            n -= chunk;
        }
        return;
    }
    if (!matrixShaper_) {
        // LittleCMS leaves the extra (alpha) channel of the output untouched.
        while (n > 0) {
            const auto chunk = cmsUInt32Number(std::min<int64_t>(n, 1 << 20));
            cmsDoTransform(static_cast<cmsHTRANSFORM>(transform_), src, out, chunk);
            const int bytes = type_ == SampleType::U8 ? 1 : type_ == SampleType::U16 ? 2 : 4;
            src = static_cast<const uint8_t*>(src) + size_t(chunk) * size_t(stride_) * size_t(bytes);
            out += size_t(chunk) * 4;
            n -= chunk;
        }
        return;
    }
    const float* m = matrix_;
    auto emit = [&](float* o, float r, float g, float b) {
        if (grey_) {
            o[0] = o[1] = o[2] = r;
            return;
        }
        o[0] = m[0] * r + m[1] * g + m[2] * b;
        o[1] = m[3] * r + m[4] * g + m[5] * b;
        o[2] = m[6] * r + m[7] * g + m[8] * b;
    };
    const int s = stride_;
    const int gi = grey_ ? 0 : 1, bi = grey_ ? 0 : 2;
    if (type_ == SampleType::U8) {
        const auto* p = static_cast<const uint8_t*>(src);
        const float *t0 = tables_[0].data(), *t1 = tables_[1].data(), *t2 = tables_[2].data();
        for (int64_t i = 0; i < n; ++i, p += s)
            emit(out + i * 4, t0[p[0]], t1[p[gi]], t2[p[bi]]);
    } else if (type_ == SampleType::U16) {
        const auto* p = static_cast<const uint16_t*>(src);
        const float *t0 = tables_[0].data(), *t1 = tables_[1].data(), *t2 = tables_[2].data();
        for (int64_t i = 0; i < n; ++i, p += s)
            emit(out + i * 4, t0[p[0]], t1[p[gi]], t2[p[bi]]);
    } else {
        const auto* p = static_cast<const float*>(src);
        const auto* c0 = static_cast<const cmsToneCurve*>(curves_[0]);
        const auto* c1 = static_cast<const cmsToneCurve*>(curves_[1]);
        const auto* c2 = static_cast<const cmsToneCurve*>(curves_[2]);
        for (int64_t i = 0; i < n; ++i, p += s)
            emit(out + i * 4, cmsEvalToneCurveFloat(c0, p[0]), cmsEvalToneCurveFloat(c1, p[gi]),
                 cmsEvalToneCurveFloat(c2, p[bi]));
    }
}

} // namespace ci::io
