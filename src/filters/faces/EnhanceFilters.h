#pragma once

// Colour, clarity and sharpness of one kind of facial feature: a fixed chain over the whole
// picture, shown only inside the smooth outlines of that feature on every detected face.

#include "filters/OwnFilter.h"
#include "filters/faces/FacialFeatures.h"

namespace filters::faces {

class FacialFeatureFilter : public OwnFilter {
  public:
    ci::SetResult setValue(const std::string& key, const ci::Value& value) override;
    /// "inputImage", "outputImage" (which runs the detection) and the number inputs.
    ci::Value value(const std::string& key) const override;
    ci::Attributes attributes() const override;
    /// The advertised set of values (not always the start values); clears both images.
    void setDefaults() override;
    /// The result for the faces found in the current input by this very call; the input itself
    /// when it has none.
    ci::Image outputImage() override;

    /// The last blended result (or the input of a run that could not blend); none at first.
    const ci::Image& processedImage() const { return processedImage_; }

  protected:
    struct NumberInput {
        const char* key;
        double* field;
        double start;
        double setDefault;
        double advertised;
        const char* displayName;
        ci::Attributes sliderMax;
    };
    /// `reports`: whether the failure lines and "Invalid key: " are written; a filter that does
    /// not report writes its progress lines ("here", "returning", ...) instead.
    FacialFeatureFilter(std::string displayName, bool reports);
    void addNumber(NumberInput input);

    /// The chain over the whole picture; null when a step yields nothing.
    virtual ci::Image adjusted(const ci::Image& image) const = 0;
    /// The outlines of one face that the mask covers.
    virtual std::vector<Points> outlines(const FacialFeatures& face) const = 0;

  private:
    void handleDetectedFaces(const std::vector<FacialFeatures>& faces);

    std::string fname_;
    bool reports_;
    ci::Image inputImage_;
    ci::Image processedImage_;
    std::vector<NumberInput> numbers_;
};

class EnhanceLipsFilter : public FacialFeatureFilter {
  public:
    EnhanceLipsFilter();

  protected:
    ci::Image adjusted(const ci::Image& image) const override;
    std::vector<Points> outlines(const FacialFeatures& face) const override;

  private:
    double inputVibrance = 0.6, inputClarity = 0.5, inputRadius = 1.6, inputSharpness = 0.4;
};

/// Masks the eye outlines (not the eyebrows), silently.
class EnhanceEyebrowsFilter : public FacialFeatureFilter {
  public:
    EnhanceEyebrowsFilter();

  protected:
    ci::Image adjusted(const ci::Image& image) const override;
    std::vector<Points> outlines(const FacialFeatures& face) const override;

  private:
    double inputClarity = 1.0;
};

class EnhanceEyesFilter : public FacialFeatureFilter {
  public:
    EnhanceEyesFilter();

  protected:
    ci::Image adjusted(const ci::Image& image) const override;
    std::vector<Points> outlines(const FacialFeatures& face) const override;

  private:
    double inputBrightness = 0.01, inputVibrance = 0.6, inputClarity = 0.5, inputRadius = 1.6,
           inputSharpness = 0.4;
};

} // namespace filters::faces
