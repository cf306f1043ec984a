#pragma once

#include "OwnFilter.h"

namespace filters {

/// The engine's automatic adjustment filters for the picture, applied in the order proposed.
class AutoAdjustFilter : public OwnFilter {
  public:
    AutoAdjustFilter();
    void setDefaults() override;
    ci::Attributes attributes() const override;
    ci::Image outputImage() override;

  private:
    std::string fname = "Auto Adjust";
    ci::Image inputImage;
};

/// "CITemperatureAndTint" from the neutral (temperature, tint) to (6500, 0).
class WhiteBalanceFilter : public OwnFilter {
  public:
    WhiteBalanceFilter();
    /// 6500 and 0, not the start values 0.02 and 0.05.
    void setDefaults() override;
    ci::Attributes attributes() const override;
    ci::Image outputImage() override;

  private:
    ci::Image inputImage;
    double inputTemperature = 0.02;
    double inputTint = 0.05;
};

/// "CITemperatureAndTint" with the neutral (amount, 0).
class AdjustTemperature : public OwnFilter {
  public:
    AdjustTemperature();
    ci::Image outputImage() override;

  private:
    ci::Image inputImage;
    double inputAmount = 0;
};

/// "CITemperatureAndTint" with the neutral (6500, amount).
class AdjustTint : public OwnFilter {
  public:
    AdjustTint();
    ci::Image outputImage() override;

  private:
    ci::Image inputImage;
    double inputAmount = 0;
};

} // namespace filters
