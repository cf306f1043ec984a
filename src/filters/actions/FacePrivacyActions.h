#pragma once

// Pixellate or blur the faces of a picture: the whole picture is treated once and shown through
// a mask of one soft-edged disc per detected face.

#include "filters/actions/ActionFilter.h"

namespace filters::actions {

/// The shared body: `effect` applied with `sizeKey` = `size`, shown inside the face discs. A picture
/// without a detected face comes back unchanged; the result keeps the input's extent.
ci::Image applyToFaces(const ci::Image& image, double size, const std::string& effect,
                       const std::string& sizeKey);

class FacePixellateAction : public ActionFilter {
  public:
    FacePixellateAction();
    ci::Image outputImage() override;

  private:
    ci::Image inputImage;
    double inputSize = 15.0;
};

class FaceBlurAction : public ActionFilter {
  public:
    FaceBlurAction();
    ci::Image outputImage() override;

  private:
    ci::Image inputImage;
    double inputSize = 15.0;
};

} // namespace filters::actions
