#pragma once

// Eight floats as one value, for loops the compiler does not vectorise on its own (accumulators
// that must stay in registers). Built for AVX where the function is, as two SSE halves elsewhere;
// lane by lane the arithmetic is that of the plain float expression.

#include <cstring>

namespace ci::builtin::simd {

using V8 = float __attribute__((vector_size(32)));

[[gnu::always_inline]] inline V8 load8(const float* p) {
    V8 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

[[gnu::always_inline]] inline void store8(float* p, V8 v) {
    std::memcpy(p, &v, sizeof v);
}

[[gnu::always_inline]] inline V8 splat8(float x) {
    return V8{x, x, x, x, x, x, x, x};
}

} // namespace ci::builtin::simd
