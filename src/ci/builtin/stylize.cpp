#include "Builtins.h"

#include "ci/core/Filter.h"

namespace ci::builtin {

void registerStylizeFilters() {}

} // namespace ci::builtin
