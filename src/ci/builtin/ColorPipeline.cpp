#include "ColorPipeline.h"

namespace ci::builtin::color {

bool hasAvx2() {
#if defined(__x86_64__) && defined(__GNUC__)
    static const bool yes = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return yes;
#else
    return false;
#endif
}

CI_VECTOR_CLONES void encode(Block& p, int n, Space space) {
    if (space == Space::SRGB)
        forRGB(p, n, [](float x) { return encodeSRGB(x); });
    else if (space == Space::Gamma2)
        forRGB(p, n, [](float x) { return encodeGamma2(x); });
}

CI_VECTOR_CLONES void decode(Block& p, int n, Space space) {
    if (space == Space::SRGB)
        forRGB(p, n, [](float x) { return decodeSRGB(x); });
    else if (space == Space::Gamma2)
        forRGB(p, n, [](float x) { return decodeGamma2(x); });
}

} // namespace ci::builtin::color
