#include "Builtins.h"

#include "ci/core/Filter.h"

namespace ci::builtin {

void registerAutoAdjustFilters() {}

} // namespace ci::builtin
