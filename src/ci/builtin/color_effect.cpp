#include "Builtins.h"

#include "ci/core/Filter.h"

namespace ci::builtin {

void registerColorEffectFilters() {}

} // namespace ci::builtin
