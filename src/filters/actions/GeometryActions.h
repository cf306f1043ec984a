#pragma once

// Crop, flip, resize, rotate and scale as workflow steps.

#include "filters/actions/ActionFilter.h"

namespace filters::actions {

/// The rectangle of which the two points are opposite corners, in the input's coordinates.
class CropAction : public ActionFilter {
  public:
    CropAction();
    ci::Image outputImage() override;

  private:
    ci::Image inputImage;
    std::optional<ci::Vector> inputRectangleStart, inputRectangleEnd;
};

class FlipHorizontallyAction : public ActionFilter {
  public:
    FlipHorizontallyAction();
    ci::Image outputImage() override;

  private:
    ci::Image inputImage;
};

class FlipVerticallyAction : public ActionFilter {
  public:
    FlipVerticallyAction();
    ci::Image outputImage() override;

  private:
    ci::Image inputImage;
};

/// Keeping the ratio, the picture covers the requested box (the larger of the two factors);
/// otherwise it is stretched to exactly that size.
class ResizeAction : public ActionFilter {
  public:
    ResizeAction();
    ci::Image outputImage() override;

  private:
    ci::Image inputImage;
    double inputWidth = 0;
    double inputHeight = 0;
    bool inputMaintainRatio = true;
};

/// Turns clockwise by the whole degrees of the angle, in the picture's bounding box.
class RotateAction : public ActionFilter {
  public:
    RotateAction();
    ci::Image outputImage() override;

  private:
    ci::Image inputImage;
    double inputAngle = 0;
};

class ScaleAction : public ActionFilter {
  public:
    ScaleAction();
    ci::Image outputImage() override;

  private:
    ci::Image inputImage;
    double inputFactor = 1.0;
};

} // namespace filters::actions
