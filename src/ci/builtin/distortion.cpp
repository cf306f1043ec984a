#include "Builtins.h"

#include "ci/core/Filter.h"

namespace ci::builtin {

void registerDistortionFilters() {}

} // namespace ci::builtin
