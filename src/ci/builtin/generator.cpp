#include "Builtins.h"

#include "ci/core/Filter.h"

namespace ci::builtin {

void registerGeneratorFilters() {}

} // namespace ci::builtin
