#include "FilmGrainFilter.h"

#include "ci/core/Console.h"

#include <algorithm>
#include <memory>

namespace filters {

namespace {

ci::Image cropAndClamp(const ci::Image& image, const ci::Rect& extent) {
    return image.isNull() ? image : image.cropped(extent).clampedToExtent();
}

ci::Image cropped(const ci::Image& image, const ci::Rect& extent) {
    return image.isNull() ? image : image.cropped(extent);
}

ci::Image output(const std::shared_ptr<ci::Filter>& filter) {
    return filter ? filter->outputImage() : ci::Image();
}

} // namespace

FilmGrainFilter::FilmGrainFilter() {
    bindImage("inputImage", inputImage);
    bindNumber("inputAmount", inputAmount, 0.5);
    bindNumber("inputSize", inputSize, 0.5);
}

void FilmGrainFilter::setDefaults() {
    resetToStart(true);
}

ci::Attributes FilmGrainFilter::attributes() const {
    ci::Attributes a = ci::Attributes::object();
    a[ci::attr::FilterDisplayName] = fname;
    a["inputImage"] = imageAttribute();
    a["inputAmount"] = numberAttribute(0.5, "Grain Amount", 0, 0, 1.0);
    a["inputSize"] = numberAttribute(0.5, "Grain Size", 0, 0, 1.0);
    return a;
}

ci::Image FilmGrainFilter::outputImage() {
    const ci::Image input = inputImage;
    if (input.isNull()) {
        ci::console("NIL image supplied");
        return {};
    }
    const double a = inputAmount;
    const double s = inputSize;
    // Every caller in the system passes size 0: answer at once, before building anything.
    if (!(a > 0.01) || !(s > 0.01))
        return input;

    // The helper filters are made for this rendering alone, so renderings on the preview,
    // export and catalogue threads never configure the same object at once.
    const auto random = ci::Filter::make("CIRandomGenerator");
    const auto specksMatrix = ci::Filter::make("CIColorMatrix");
    const auto scratchesMatrix = ci::Filter::make("CIColorMatrix");
    const auto multiply = ci::Filter::make("CIMultiplyCompositing");
    const auto fader = ci::Filter::make("OpacityFilter");
    if (!random) {
        ci::console("NIL noise filter");
        return input;
    }

    const ci::Rect extent = input.extent();
    random->setDefaults();
    const ci::Image generated = random->outputImage();
    if (generated.isNull()) {
        ci::console("NIL noise filter output");
        return input;
    }
    const ci::Image noise = cropAndClamp(generated, extent);
    if (noise.isNull()) {
        ci::console("NIL noise image");
        return input;
    }

    const ci::Vector v1{0, 1, 0, 0};
    const ci::Vector va{0, s * 0.001, 0, 0};
    const ci::Vector v0{0, 0, 0, 0};

    ci::Image speckles;
    if (specksMatrix) {
        specksMatrix->setValue("inputImage", noise);
        specksMatrix->setValue("inputRVector", v1);
        specksMatrix->setValue("inputGVector", v1);
        specksMatrix->setValue("inputBVector", v1);
        specksMatrix->setValue("inputAVector", va);
        specksMatrix->setValue("inputBiasVector", v0);
        const ci::Image whiteSpecks = specksMatrix->outputImage();
        speckles =
            cropAndClamp(applyChain(whiteSpecks,
                                    {
                                        {"ScatterFilter", {{"inputScatterRadius", s * 10.0}}},
                                        {"BrightnessFilter", {{"inputBrightness", std::min(a - 1.0, -0.4)}}},
                                        {"OpacityFilter", {{"inputOpacity", a * 0.2}}},
                                    }),
                         extent);
    }
    if (speckles.isNull()) {
        ci::console("NIL white specks image");
        return input;
    }

    ci::Image fadedSpeckles;
    if (fader) {
        fader->setValue("inputOpacity", std::min(a, 0.6));
        fader->setValue("inputImage", speckles);
        fadedSpeckles = cropAndClamp(fader->outputImage(), extent);
    }
    if (fadedSpeckles.isNull()) {
        ci::console("NIL faded speckles image");
        return input;
    }

    const auto luminosity = ci::Filter::make("CILuminosityBlendMode");
    ci::Image speckled;
    if (luminosity) {
        luminosity->setValue("inputBackgroundImage", input);
        luminosity->setValue("inputImage", fadedSpeckles);
        speckled = cropAndClamp(luminosity->outputImage(), extent);
    }
    if (speckled.isNull()) {
        ci::console("NIL speckled image");
        return input;
    }

    const ci::Image stretched = noise.transformed(ci::Affine::scale(s + 1.0, 5.0 * (s + 1.0) + 1.5));
    ci::Image darkScratches;
    if (scratchesMatrix && !stretched.isNull()) {
        scratchesMatrix->setValue("inputImage", stretched);
        scratchesMatrix->setValue("inputRVector", ci::Vector{4, 0, 0, 0});
        scratchesMatrix->setValue("inputGVector", v0);
        scratchesMatrix->setValue("inputBVector", v0);
        scratchesMatrix->setValue("inputAVector", v0);
        scratchesMatrix->setValue("inputBiasVector", ci::Vector{0, 1, 1, 1});
        const ci::Image values = cropAndClamp(scratchesMatrix->outputImage(), extent);
        if (!values.isNull())
            darkScratches = values.applyingFilter("CIMinimumComponent", {});
    }
    if (darkScratches.isNull()) {
        ci::console("NIL dark scratches image");
        return input;
    }

    if (multiply) {
        multiply->setValue("inputImage", darkScratches);
        multiply->setValue("inputBackgroundImage", speckled);
    }
    const ci::Image scratched = output(multiply);
    if (scratched.isNull()) {
        ci::console("NIL sratched image");
        return input;
    }

    if (fader) {
        fader->setValue("inputImage", scratched);
        fader->setValue("inputOpacity", a);
    }
    const ci::Image faded = output(fader);
    if (faded.isNull()) {
        ci::console("NIL faded image");
        return input;
    }

    const auto sourceOver = ci::Filter::make("CISourceOverCompositing");
    if (sourceOver) {
        sourceOver->setValue("inputImage", faded);
        sourceOver->setValue("inputBackgroundImage", input);
    }
    const ci::Image result = cropped(output(sourceOver), extent);
    if (result.isNull()) {
        ci::console("NIL speckled image");
        return input;
    }
    return result;
}

} // namespace filters
