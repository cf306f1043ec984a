#pragma once

#include "OwnFilter.h"

namespace filters {

/// Edge-preserving smoothing: each pixel takes the mean colour of the least varied of the four
/// square quadrants around it.
class FPKuwaharaFilter : public OwnFilter {
  public:
    FPKuwaharaFilter();
    /// Sets the radius to 15 only; the image stays.
    void setDefaults() override;
    ci::Image outputImage() override;

  private:
    ci::Image inputImage;
    double inputRadius = 15.0;
};

} // namespace filters
