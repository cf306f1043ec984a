#pragma once

#include "OwnFilter.h"

namespace filters {

/// Tints the shadows and the highlights with two colours ("CIFalseColor" screened over the
/// picture).
class SplitToningFilter : public OwnFilter {
  public:
    SplitToningFilter();
    void setDefaults() override;
    ci::Attributes attributes() const override;
    ci::Image outputImage() override;

  private:
    ci::Image inputImage;
    double inputHighlightHue = 0.0;
    double inputHighlightSaturation = 0.5;
    double inputHighlightBrightness = 0.901961;
    double inputShadowHue = 0.1;
    double inputShadowSaturation = 0.5;
    double inputShadowBrightness = 0.270588;
};

/// "CIVignetteEffect" centred on the picture, its radius a fraction of the shorter side.
class CenteredVignetteFilter : public OwnFilter {
  public:
    CenteredVignetteFilter();
    void setDefaults() override;
    ci::Attributes attributes() const override;
    ci::Image outputImage() override;

  private:
    std::string fname = "Centered Vignette";
    ci::Image inputImage;
    double inputRadius = 0.75;
    double inputIntensity = 0.5;
    double inputFalloff = 0.25;
};

} // namespace filters
