#pragma once

// A group picture for the face tests: heads cut from the astronaut photograph at several sizes
// and tilts, laid over the landscape photograph enlarged to 12 megapixels.

#include "support/TestSupport.h"

#include "ci/core/Geometry.h"
#include "ci/core/Image.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace facetest {

struct PlacedFace {
    ci::Point centre; ///< engine coordinates (y up)
    double size;      ///< side of the face box (brows to chin), pixels
    double angle;     ///< tilt, degrees counter-clockwise
};

struct Group {
    ci::Image image;
    std::vector<PlacedFace> faces;
};

/// Six faces from 30 to 200 pixels, three of them tilted by about 20 degrees, on 4000 x 3000.
inline const Group& twelveMegapixelGroup() {
    static const Group group = [] {
        const ci::Image astronaut = gwtest::loadPhoto("astronaut.png");
        const ci::Image landscape = gwtest::loadPhoto("rocket.jpg");
        const double width = 4000, height = 3000;
        const double k = std::max(width / landscape.extent().width(), height / landscape.extent().height());
        Group g;
        g.image = landscape.transformed(ci::Affine::scale(k, k)).cropped(ci::Rect::make(0, 0, width, height));
        // The astronaut's face box: 88 pixels around this centre (engine coordinates).
        const ci::Point face{223, 385};
        const double faceSize = 88;
        const ci::Image head = astronaut.cropped(
            ci::Rect::make(face.x - 0.8 * faceSize, face.y - 0.8 * faceSize, 1.6 * faceSize, 1.6 * faceSize));
        g.faces = {{{500, 2500}, 30, 20},   {{1300, 1900}, 45, -20}, {{2200, 2600}, 70, 0},
                   {{3200, 2200}, 100, 20}, {{1000, 800}, 140, -10}, {{2900, 900}, 200, 0}};
        for (const PlacedFace& f : g.faces) {
            const ci::Affine t = ci::Affine::translation(-face.x, -face.y)
                                     .then(ci::Affine::rotation(f.angle * 3.14159265358979323846 / 180))
                                     .then(ci::Affine::scale(f.size / faceSize, f.size / faceSize))
                                     .then(ci::Affine::translation(f.centre.x, f.centre.y));
            g.image = head.transformed(t).composited(g.image);
        }
        return g;
    }();
    return group;
}

/// Whether a detected rectangle is the placed face: centred on it and of about its size.
inline bool isFace(const ci::Rect& found, const PlacedFace& f) {
    return std::hypot(found.midX() - f.centre.x, found.midY() - f.centre.y) < 0.3 * f.size &&
           found.width() > 0.6 * f.size && found.width() < 1.6 * f.size;
}

} // namespace facetest
