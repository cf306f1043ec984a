#include "ColorPipeline.h"

namespace ci::builtin::color {

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
