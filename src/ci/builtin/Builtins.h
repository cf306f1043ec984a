#pragma once

// Each family of built-in filters adds its table rows to the registry.

namespace ci::builtin {

void registerColorAdjustmentFilters();
void registerColorEffectFilters();
void registerCompositeFilters();
void registerGeneratorFilters();
void registerBlurFilters();
void registerSharpenFilters();
void registerStylizeFilters();
void registerHalftoneFilters();
void registerDistortionFilters();
void registerTileFilters();
void registerGeometryFilters();
void registerPhotoEffectFilters();
void registerAutoAdjustFilters();

/// Defines every built-in filter once (thread-safe, idempotent).
void registerAll();

} // namespace ci::builtin
