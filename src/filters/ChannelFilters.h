#pragma once

#include "OwnFilter.h"

#include <array>
#include <memory>

namespace filters {

/// An opaque image from the red of one image, the green of a second and the blue of a third.
class RGBChannelCompositing : public OwnFilter {
  public:
    RGBChannelCompositing();
    ci::Attributes attributes() const override;
    ci::Image outputImage() override;

  private:
    ci::Image inputRedImage;
    ci::Image inputGreenImage;
    ci::Image inputBlueImage;
};

/// A five-point tone curve per colour channel.
class RGBChannelToneCurve : public OwnFilter {
  public:
    RGBChannelToneCurve();
    void setDefaults() override;
    ci::Attributes attributes() const override;
    ci::Image outputImage() override;

  private:
    ci::Image inputImage;
    ci::Vector inputRedXvalues, inputGreenXvalues, inputBlueXvalues;
    ci::Vector inputRedYvalues, inputGreenYvalues, inputBlueYvalues;
    std::unique_ptr<RGBChannelCompositing> rgbChannelCompositing;
};

/// "CIColorControls" brightness and contrast per channel.
class RGBChannelBrightnessAndContrast : public OwnFilter {
  public:
    RGBChannelBrightnessAndContrast();
    void setDefaults() override;
    ci::Attributes attributes() const override;
    ci::Image outputImage() override;

  private:
    ci::Image inputImage;
    double inputRedBrightness = 0, inputRedContrast = 1;
    double inputGreenBrightness = 0, inputGreenContrast = 1;
    double inputBlueBrightness = 0, inputBlueContrast = 1;
    std::unique_ptr<RGBChannelCompositing> rgbChannelCompositing;
};

/// Each channel moved by its own offset, for coloured fringes.
class ChromaticAberration : public OwnFilter {
  public:
    ChromaticAberration();
    void setDefaults() override;
    ci::Attributes attributes() const override;
    ci::Image outputImage() override;

    /// The translation of channel 0 (red), 1 (green) or 2 (blue) for an angle and radius.
    static ci::Affine channelOffset(int channel, double angle, double radius);

  private:
    ci::Image inputImage;
    double inputAngle = 0;
    double inputRadius = 2;
    std::unique_ptr<RGBChannelCompositing> rgbChannelCompositing;
};

/// A Gaussian blur of its own radius per channel.
class RGBChannelGaussianBlur : public OwnFilter {
  public:
    RGBChannelGaussianBlur();
    void setDefaults() override;
    ci::Attributes attributes() const override;
    ci::Image outputImage() override;

  private:
    ci::Image inputImage;
    double inputRedRadius = 2, inputGreenRadius = 4, inputBlueRadius = 8;
    std::unique_ptr<RGBChannelCompositing> rgbChannelCompositing;
};

} // namespace filters
