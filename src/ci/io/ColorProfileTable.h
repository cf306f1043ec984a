#pragma once

// A table-based RGB profile (scanner and vendor profiles, whose A2B0 is a grid of colours) run as
// the profile's own grid. LittleCMS evaluates such a profile in floats for every pixel, stage by
// stage, and resamples it into a table of its own only for integer output, which would clip the
// colours outside sRGB and move the others by up to a few levels. The grid here holds the
// profile's own points, is interpolated as LittleCMS interpolates it, and then goes through the
// profile's output curves and the fixed arithmetic from its connection space (Lab or XYZ) into
// the working space: the same colours, at a small fraction of the cost.

#include "ColorProfile.h"

#include <lcms2.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace ci::io {

class ProfileTable {
  public:
    /// The conversion from `source` (RGB) into `workingSpace` in `intent`, for pixels of
    /// `pixelStride` samples of `type` (U8 or U16) whose first three are colour; `primaries` takes
    /// the working space into XYZ (D50), `toWorkingSpace` back. Null when the profile's table is not one of
    /// curves, a grid and curves, when its grid is larger than real profiles' (LittleCMS then converts), or
    /// when its colours stray from LittleCMS's own on a sample of colours by more than a small fraction of an
    /// 8-bit level.
    static std::unique_ptr<const ProfileTable> build(cmsHPROFILE source, cmsHPROFILE workingSpace,
                                                     cmsUInt32Number intent, SampleType type, int pixelStride,
                                                     const double primaries[9],
                                                     const double toWorkingSpace[9]);

    /// Converts n pixels into RGBA floats (4 per pixel); the alpha slot of `out` is left as is.
    /// Safe to call from several threads at once.
    void convert(const void* src, float* out, int64_t n) const;

    /// Four floats in one register (the fourth unused).
    using Vec = float __attribute__((vector_size(16)));

  private:
    ProfileTable() = default;
    template <class Sample> void convertSamples(const Sample* src, float* out, int64_t n) const;

    /// Where a sample value falls on one input of the grid: the offset of its cell's first point
    /// (in floats) and how far into the cell it lies.
    struct Place {
        int32_t offset;
        float fraction;
    };
    Place placeOf(int channel, float u) const;
    /// The grid at a pixel's places, as LittleCMS interpolates it.
    Vec interpolated(const Place at[3]) const;
    /// The pixel in the working space.
    Vec converted(const Place at[3]) const;
    void convertEight(const Place at[3][8], float rgb[3][8]) const;

    SampleType type_ = SampleType::U8;
    int stride_ = 3;
    int points_[3] = {2, 2, 2};
    int32_t step_[3] = {0, 0, 0}; ///< floats between neighbouring points on each input
    std::vector<float> grid_;     ///< 4 floats a point (the fourth zero), the first input slowest
    /// The profile's input curves at each sample value: 256 places (8-bit), or 65,536 positions on
    /// the grid's inputs (16-bit).
    std::vector<Place> places_[3];
    std::vector<float> inputs_[3];
    /// Each output of the grid through the profile's output curve into the connection space's
    /// coordinates (for Lab: (L* + 16) / 116, a* / 500, b* / 200), at kSteps + 1 points; when the
    /// curves are straight, a slope and an intercept do the same.
    std::vector<float> outputs_[3];
    bool straight_ = false;
    float slope_[4] = {}, intercept_[4] = {};
    bool lab_ = true;
    /// The connection space's XYZ (or the inverses of Lab's function) into the working space, with
    /// LittleCMS's black point compensation: three columns and an offset, 4 floats each.
    float matrix_[16] = {};
};

} // namespace ci::io
