#include "Builtins.h"

#include <mutex>

namespace ci::builtin {

void registerAll() {
    static std::once_flag once;
    std::call_once(once, [] {
        registerColorAdjustmentFilters();
        registerColorEffectFilters();
        registerCompositeFilters();
        registerGeneratorFilters();
        registerBlurFilters();
        registerSharpenFilters();
        registerStylizeFilters();
        registerHalftoneFilters();
        registerDistortionFilters();
        registerTileFilters();
        registerGeometryFilters();
        registerPhotoEffectFilters();
        registerAutoAdjustFilters();
    });
}

} // namespace ci::builtin
