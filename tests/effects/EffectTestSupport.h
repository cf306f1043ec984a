#pragma once

// Registration shared by the effect tests: built-in and own filters, once per process.

#include "ci/builtin/Builtins.h"
#include "filters/Registry.h"

#include <mutex>

namespace gwtest {

inline void registerAllFilters() {
    static std::once_flag once;
    std::call_once(once, [] {
        ci::builtin::registerAll();
        filters::registerCustomFilters();
    });
}

} // namespace gwtest
