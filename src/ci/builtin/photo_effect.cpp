#include "Builtins.h"

#include "ci/core/Filter.h"

namespace ci::builtin {

void registerPhotoEffectFilters() {}

} // namespace ci::builtin
