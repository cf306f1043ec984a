#pragma once

#include "OwnFilter.h"

namespace filters {

/// Unsharp masking with a threshold: where a pixel differs from its blurred copy by more than
/// the threshold, the difference times the amount is added back.
class UnsharpMaskFilter : public OwnFilter {
  public:
    UnsharpMaskFilter();
    /// The advertised defaults (0.25, 4, 0.25), not the start values (all 0).
    void setDefaults() override;
    ci::Attributes attributes() const override;
    ci::Image outputImage() override;

  private:
    ci::Image inputImage;
    double inputAmount = 0;
    double inputRadius = 0;
    double inputThreshold = 0;
};

/// Local contrast: vibrance, a wide unsharp mask faded by the clarity, blended by luminosity.
class ClarityFilter : public OwnFilter {
  public:
    ClarityFilter();
    void setDefaults() override;
    ci::Attributes attributes() const override;
    ci::Image outputImage() override;

  private:
    std::string fname = "Clarity";
    ci::Image inputImage;
    double inputClarity = 0.2;
};

} // namespace filters
