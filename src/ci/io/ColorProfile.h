#pragma once

// Embedded colour profiles: conversion of a file's samples into the working space.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ci::io {

class ProfileTable;

/// Storage type of the samples handed to a converter.
enum class SampleType { U8, U16, F32 };

/// What the colour samples of a pixel are: grey, RGB, or the four inks of CMYK, stored as they are
/// or (the Adobe convention) as 255 minus each ink.
enum class SampleColours { Grey, RGB, CMYK, InvertedCMYK };

/// Converts colour samples described by an ICC profile into linear light with sRGB primaries.
/// Matrix-shaper profiles (nearly every camera and display profile) run through per-channel
/// tables and a 3x3 matrix; table-based RGB profiles with integer samples through the profile's
/// own grid (ColorProfileTable.h); any other profile (CMYK ones among them) goes through
/// LittleCMS itself.
class ProfileConverter {
  public:
    /// A converter for pixels of `pixelStride` samples whose first one (grey), three (RGB) or four
    /// (CMYK, 8-bit only) are colour. Null when the profile does not describe such data, or is set
    /// aside: refused for what reading it would cost (IccCheck.h), or not read whole (not a
    /// profile, a tag that the conversion needs unreadable or overwritten with zeros, an error
    /// from LittleCMS), and then `refused`, when given, says why. Without a converter the samples
    /// are taken as sRGB (CMYK is converted without a profile).
    static std::unique_ptr<ProfileConverter> create(const uint8_t* icc, size_t size, SampleColours colours,
                                                    int pixelStride, SampleType type,
                                                    std::string* refused = nullptr);
    ~ProfileConverter();

    /// True when the profile is sRGB to within rounding, so the plain sRGB path gives the same.
    bool isSRGB() const { return isSRGB_; }
    /// True when the conversion is cheap enough to run on every read of the pixels: per-channel
    /// curves and a matrix, or the grid of a table-based profile.
    bool convertsCheaply() const { return matrixShaper_ || table_; }

    /// Converts n pixels into RGBA floats (4 per pixel); the alpha slot of `out` is left as is.
    /// Safe to call from several threads at once.
    void convert(const void* src, float* out, int64_t n) const;

  private:
    ProfileConverter();

    bool grey_ = false;
    int stride_ = 3;
    SampleType type_ = SampleType::U8;
    bool isSRGB_ = false;
    // Fast path: linearising curves (tables for integer samples) and a matrix into sRGB primaries.
    bool matrixShaper_ = false;
    float matrix_[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    std::vector<float> tables_[3];
    void* curves_[3] = {nullptr, nullptr, nullptr}; ///< owned cmsToneCurve copies for float samples
    std::unique_ptr<const ProfileTable> table_;
    // General path; for CMYK into 16-bit XYZ, then through the matrix.
    bool inks_ = false;
    void* transform_ = nullptr; ///< cmsHTRANSFORM
    void* context_ = nullptr;   ///< cmsContext of the transform and curves
};

} // namespace ci::io
