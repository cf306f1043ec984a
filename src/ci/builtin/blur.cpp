#include "Builtins.h"

#include "ci/core/Filter.h"

namespace ci::builtin {

void registerBlurFilters() {}

} // namespace ci::builtin
