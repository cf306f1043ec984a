#include "Builtins.h"

#include "ci/core/Filter.h"

namespace ci::builtin {

void registerGeometryFilters() {}

} // namespace ci::builtin
