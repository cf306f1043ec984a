#include "Builtins.h"

#include "ci/core/Filter.h"

namespace ci::builtin {

void registerColorAdjustmentFilters() {}

} // namespace ci::builtin
