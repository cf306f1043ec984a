#include "KuwaharaFilter.h"

#include "Kernels.h"

namespace filters {

FPKuwaharaFilter::FPKuwaharaFilter() {
    bindImage("inputImage", inputImage);
    bindNumber("inputRadius", inputRadius, 15.0);
}

void FPKuwaharaFilter::setDefaults() {
    inputRadius = 15.0;
}

ci::Image FPKuwaharaFilter::outputImage() {
    if (inputImage.isNull())
        return {};
    return kernels::kuwahara(inputImage, inputRadius);
}

} // namespace filters
