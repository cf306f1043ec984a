#pragma once

#include "OwnFilter.h"

#include <array>
#include <memory>

namespace filters {

/// Contrast through "CIColorControls", with one number.
class ContrastFilter : public OwnFilter {
  public:
    ContrastFilter();
    void setDefaults() override;
    ci::Attributes attributes() const override;
    ci::Image outputImage() override;

  private:
    std::string fname = "Contrast";
    ci::Image inputImage;
    double inputContrast = 1.0;
};

/// Scales the image's alpha by an opacity and, given a background, lays it over that.
class OpacityFilter : public OwnFilter {
  public:
    OpacityFilter();
    void setDefaults() override;
    ci::Attributes attributes() const override;
    ci::Image outputImage() override;

  private:
    ci::Image inputImage;
    ci::Image inputBackgroundImage;
    double inputOpacity = 1.0;
    std::shared_ptr<ci::Filter> colorMatrix;
    std::shared_ptr<ci::Filter> composite;
    ci::Image img;
    std::array<double, 4> rgba{0, 0, 0, 1};
};

} // namespace filters
