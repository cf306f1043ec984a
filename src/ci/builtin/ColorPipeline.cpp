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

namespace {

// The transfer curves are most of the cost of every colour filter that works on encoded values,
// and their polynomials are chains of dependent multiply-adds: fused, each link takes half the
// time. The fused and the separate roundings differ by far less than a 16-bit step.
template <bool Fused> CI_ALWAYS_INLINE void encodeBlock(Block& p, int n, Space space) {
    if (space == Space::SRGB)
        forRGB(p, n, [](float x) { return encodeSRGB<Fused>(x); });
    else if (space == Space::Gamma2)
        forRGB(p, n, [](float x) { return encodeGamma2(x); });
}

template <bool Fused> CI_ALWAYS_INLINE void decodeBlock(Block& p, int n, Space space) {
    if (space == Space::SRGB)
        forRGB(p, n, [](float x) { return decodeSRGB<Fused>(x); });
    else if (space == Space::Gamma2)
        forRGB(p, n, [](float x) { return decodeGamma2(x); });
}

#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("avx2,fma"), flatten)) void encodeFma(Block& p, int n, Space space) {
    encodeBlock<true>(p, n, space);
}
__attribute__((target("avx2,fma"), flatten)) void decodeFma(Block& p, int n, Space space) {
    decodeBlock<true>(p, n, space);
}
#endif

} // namespace

void encode(Block& p, int n, Space space) {
#if defined(__x86_64__) && defined(__GNUC__)
    if (hasAvx2())
        return encodeFma(p, n, space);
#endif
    encodeBlock<false>(p, n, space);
}

void decode(Block& p, int n, Space space) {
#if defined(__x86_64__) && defined(__GNUC__)
    if (hasAvx2())
        return decodeFma(p, n, space);
#endif
    decodeBlock<false>(p, n, space);
}

} // namespace ci::builtin::color
