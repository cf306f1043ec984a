#pragma once

#include "OwnFilter.h"

namespace filters {

/// A filter whose only input is the picture and whose output is a constant chain of named
/// filters.
class FixedLook : public OwnFilter {
  public:
    ci::Image outputImage() override;

  protected:
    FixedLook() { bindImage("inputImage", inputImage); }
    virtual const std::vector<ChainStep>& steps() const = 0;

  private:
    ci::Image inputImage;
};

/// More exposure and vibrance.
class IMFX1 : public FixedLook {
  protected:
    const std::vector<ChainStep>& steps() const override;
};

/// The look "Air".
class CZAirFilter : public FixedLook {
  public:
    ci::Attributes attributes() const override { return imageOnlyAttributes("Air"); }

  protected:
    const std::vector<ChainStep>& steps() const override;
};

/// The look "Crystal".
class CZCrystalFilter : public FixedLook {
  public:
    ci::Attributes attributes() const override { return imageOnlyAttributes("Crystal"); }

  protected:
    const std::vector<ChainStep>& steps() const override;
};

/// The look "Vivid".
class CZVividFilter : public FixedLook {
  public:
    ci::Attributes attributes() const override { return imageOnlyAttributes("Vivid"); }

  protected:
    const std::vector<ChainStep>& steps() const override;
};

/// The stage filters of the photo effects with constant values.
class TestAction : public FixedLook {
  protected:
    const std::vector<ChainStep>& steps() const override;
};

} // namespace filters
