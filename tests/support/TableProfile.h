#pragma once

// RGB profiles whose A2B0 is a table, made with LittleCMS as scanner and vendor profiles are made:
// the colours of a matrix space sampled at each node of a grid, with input curves before it.

#include <lcms2.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace gwtest {

struct TableProfileOptions {
    int gridPoints = 17;
    /// lutAtoB (mAB) in a version 4 profile; else lut16 (mft2) in a version 2 one.
    bool v4 = false;
    /// Input curves of gamma 2.2 with the table over linear light; else straight input curves and
    /// the gamma in the table.
    bool curvedInput = false;
    /// XYZ as the connection space; else Lab.
    bool xyz = false;
    /// Colours of a gamut wider than Adobe RGB's (ProPhoto's primaries), many outside sRGB.
    bool wide = false;
    /// Output curves of gamma 1.5 after the grid (which holds their inverse), as profiling tools
    /// make them; else straight ones.
    bool curvedOutput = false;
    /// A matrix and another set of curves after those (lutAtoB's "M" form, version 4 only).
    bool matrix = false;
};

namespace detail {

inline cmsHPROFILE rgbProfile(const cmsCIExyYTRIPLE& primaries, double gamma) {
    const cmsCIExyY d65 = {0.3127, 0.3290, 1.0};
    cmsToneCurve* curve = cmsBuildGamma(nullptr, gamma);
    cmsToneCurve* curves[3] = {curve, curve, curve};
    cmsHPROFILE p = cmsCreateRGBProfile(&d65, &primaries, curves);
    cmsFreeToneCurve(curve);
    return p;
}

struct Sampling {
    cmsHTRANSFORM toConnection;
    bool curvedOutput;
};

inline int sampleNode(const cmsUInt16Number in[], cmsUInt16Number out[], void* cargo) {
    const auto* s = static_cast<const Sampling*>(cargo);
    cmsDoTransform(s->toConnection, in, out, 1);
    if (s->curvedOutput)
        for (int k = 0; k < 3; ++k)
            out[k] = cmsUInt16Number(std::lround(65535.0 * std::pow(out[k] / 65535.0, 1 / 1.5)));
    return 1;
}

} // namespace detail

/// The working space as LittleCMS sees it: sRGB primaries and white, linear curves.
inline cmsHPROFILE linearSRGBProfile() {
    return detail::rgbProfile({{0.64, 0.33, 1}, {0.30, 0.60, 1}, {0.15, 0.06, 1}}, 1.0);
}

/// The profile's bytes (about 30 KB for 17 points as lut16); empty if LittleCMS failed.
inline std::vector<uint8_t> tableProfile(const TableProfileOptions& o = {}) {
    const cmsCIExyYTRIPLE adobe = {{0.64, 0.33, 1}, {0.21, 0.71, 1}, {0.15, 0.06, 1}};
    const cmsCIExyYTRIPLE wide = {{0.7347, 0.2653, 1}, {0.1596, 0.8404, 1}, {0.0366, 0.0001, 1}};
    const double gamma = 2.2;
    cmsHPROFILE source = detail::rgbProfile(o.wide ? wide : adobe, o.curvedInput ? 1.0 : gamma);
    cmsHPROFILE connection = o.xyz ? cmsCreateXYZProfile() : cmsCreateLab4Profile(nullptr);
    cmsHTRANSFORM toConnection =
        cmsCreateTransform(source, TYPE_RGB_16, connection, o.xyz ? TYPE_XYZ_16 : TYPE_Lab_16,
                           INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_NOOPTIMIZE | cmsFLAGS_NOCACHE);
    std::vector<uint8_t> bytes;
    cmsHPROFILE profile = cmsCreateProfilePlaceholder(nullptr);
    cmsPipeline* table = cmsPipelineAlloc(nullptr, 3, 3);
    cmsToneCurve* in = cmsBuildGamma(nullptr, o.curvedInput ? gamma : 1.0);
    cmsToneCurve* out = cmsBuildGamma(nullptr, o.curvedOutput ? 1.5 : 1.0);
    cmsToneCurve* straight = cmsBuildGamma(nullptr, 1.0);
    cmsToneCurve* inputs[3] = {in, in, in};
    cmsToneCurve* outputs[3] = {out, out, out};
    cmsToneCurve* straights[3] = {straight, straight, straight};
    cmsStage* grid = cmsStageAllocCLut16bit(nullptr, cmsUInt32Number(o.gridPoints), 3, 3, nullptr);
    detail::Sampling sampling = {toConnection, o.curvedOutput};
    if (toConnection && profile && table && grid &&
        cmsStageSampleCLut16bit(grid, detail::sampleNode, &sampling, 0)) {
        cmsPipelineInsertStage(table, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, inputs));
        cmsPipelineInsertStage(table, cmsAT_END, grid);
        grid = nullptr;
        cmsPipelineInsertStage(table, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, outputs));
        if (o.matrix) {
            // A slight mixing of the outputs, undone by nothing: the profile's own colours.
            const double mixing[9] = {0.98, 0.01, 0.01, 0.01, 0.98, 0.01, 0.01, 0.01, 0.98};
            cmsPipelineInsertStage(table, cmsAT_END, cmsStageAllocMatrix(nullptr, 3, 3, mixing, nullptr));
            cmsPipelineInsertStage(table, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, straights));
        }
        cmsSetProfileVersion(profile, o.v4 ? 4.3 : 2.1);
        cmsSetDeviceClass(profile, cmsSigInputClass);
        cmsSetColorSpace(profile, cmsSigRgbData);
        cmsSetPCS(profile, o.xyz ? cmsSigXYZData : cmsSigLabData);
        cmsWriteTag(profile, cmsSigMediaWhitePointTag, cmsD50_XYZ());
        cmsUInt32Number size = 0;
        if (cmsWriteTag(profile, cmsSigAToB0Tag, table) && cmsSaveProfileToMem(profile, nullptr, &size)) {
            bytes.resize(size);
            if (!cmsSaveProfileToMem(profile, bytes.data(), &size))
                bytes.clear();
        }
    }
    if (grid)
        cmsStageFree(grid);
    cmsFreeToneCurve(in);
    cmsFreeToneCurve(out);
    cmsFreeToneCurve(straight);
    if (table)
        cmsPipelineFree(table);
    if (profile)
        cmsCloseProfile(profile);
    if (toConnection)
        cmsDeleteTransform(toConnection);
    cmsCloseProfile(connection);
    cmsCloseProfile(source);
    return bytes;
}

} // namespace gwtest
