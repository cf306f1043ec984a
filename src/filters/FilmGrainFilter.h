#pragma once

#include "OwnFilter.h"

namespace filters {

/// Synthetic film grain: bright specks and short dark scratches from noise, blended by
/// luminosity and faded by the amount. Sizes and amounts up to 0.01 leave the picture as it is.
class FilmGrainFilter : public OwnFilter {
  public:
    FilmGrainFilter();
    void setDefaults() override;
    ci::Attributes attributes() const override;
    ci::Image outputImage() override;

  private:
    std::string fname = "Film Grain";
    ci::Image inputImage;
    double inputAmount = 0.5;
    double inputSize = 0.5;
};

} // namespace filters
