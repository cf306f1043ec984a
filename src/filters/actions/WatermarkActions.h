#pragma once

// Watermarks laid over the picture: an image or a line of text, placed once in one of nine
// cells with a padding, or repeated over the whole picture as a turned, staggered pattern.

#include "filters/actions/ActionFilter.h"

#include <QFont>

namespace filters::actions {

/// Bottom-left corner of a w x h mark in a W x H picture for a placement code (0 upLeft ... 8
/// bottomRight) and the paddings; any other code puts it at (0, 0).
ci::Point watermarkOrigin(double W, double H, double w, double h, double padX, double padY, int64_t code);

/// The text drawn in the font and colour (components clamped to 0..1) on a transparent picture of
/// the line's size; the font size counts one point per pixel. Null for empty text, a size that is
/// not a finite positive number, or a picture too large to draw.
ci::Image textWatermarkImage(const std::string& text, const QFont& font, const ci::Color& color);

/// The font of the text fill action: the desktop's sans-serif, bold, 14.
QFont boldSystemFont14();

class WatermarkImageAction : public ActionFilter {
  public:
    WatermarkImageAction();
    ci::Image outputImage() override;

  private:
    ci::Image inputImage;
    ci::Image inputWatermark;
    std::optional<ci::Vector> inputPlacement;
    double inputOpacity = 0.5;
    bool inputAdaptive = true;
    double inputSize = 100;
};

/// The opacity applies to every mark of the pattern and again to the pattern as a whole, so a mark
/// shows with its square.
class WatermarkImageFillAction : public ActionFilter {
  public:
    WatermarkImageFillAction();
    ci::Image outputImage() override;

  private:
    ci::Image inputImage;
    ci::Image inputWatermark;
    double inputAngle = 45;
    double inputOpacity = 0.5;
    bool inputAdaptive = true;
    double inputSize = 100;
};

class WatermarkTextAction : public ActionFilter {
  public:
    WatermarkTextAction();
    ci::Image outputImage() override;

  private:
    ci::Image inputImage;
    std::string inputWatermark;
    std::optional<ci::Vector> inputPlacement;
    double inputOpacity = 0.5;
    std::string inputFont;
    double inputFontSize = 14;
    ci::Color inputFontColor{1, 1, 1, 1};
};

/// Black text in the bold system font of size 14, repeated like the image fill.
class WatermarkTextFillAction : public ActionFilter {
  public:
    WatermarkTextFillAction();
    ci::Image outputImage() override;

  private:
    ci::Image inputImage;
    std::string inputWatermark;
    double inputAngle = 45;
    double inputOpacity = 0.5;
    bool inputAdaptive = true;
    double inputSize = 100;
};

} // namespace filters::actions
