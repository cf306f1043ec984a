#include "Builtins.h"

#include "ci/core/Filter.h"

namespace ci::builtin {

void registerCompositeFilters() {}

} // namespace ci::builtin
