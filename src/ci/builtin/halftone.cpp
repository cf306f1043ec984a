#include "Builtins.h"

#include "ci/core/Filter.h"

namespace ci::builtin {

void registerHalftoneFilters() {}

} // namespace ci::builtin
