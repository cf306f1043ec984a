#pragma once

#include "OwnFilter.h"

#include <array>

namespace filters {

/// Recolours the picture band by band around the colour circle: each of eight bands has a
/// (hue offset, saturation factor, value factor) shift, blended smoothly between band centres.
class MultiBandHSV : public OwnFilter {
  public:
    MultiBandHSV();
    ci::Attributes attributes() const override;
    /// Answers "inputImage", "outputImage" and the eight shift keys.
    ci::Value value(const std::string& key) const override;
    ci::Image outputImage() override;

    /// The shift keys, red to magenta.
    static const std::array<const char*, 8>& shiftKeys();

  private:
    ci::Image inputImage;
    std::array<ci::Vector, 8> shifts;
};

/// Front end of "MultiBandHSV" with one hue turn per band.
class ShiftHues : public OwnFilter {
  public:
    ShiftHues();
    ci::Image outputImage() override;

  private:
    ci::Image inputImage;
    std::array<double, 8> bands{};
};

/// Front end of "MultiBandHSV" with one saturation factor per band.
class ShiftSaturations : public OwnFilter {
  public:
    ShiftSaturations();
    ci::Image outputImage() override;

  private:
    ci::Image inputImage;
    std::array<double, 8> bands{};
};

} // namespace filters
