#include "Builtins.h"

#include "ci/core/Filter.h"

namespace ci::builtin {

void registerTileFilters() {}

} // namespace ci::builtin
