#include "Builtins.h"

#include "ci/core/Filter.h"

namespace ci::builtin {

void registerSharpenFilters() {}

} // namespace ci::builtin
