#pragma once

// The ready-made photo effects: filters with the single input "inputImage" whose output is the
// image passed through a fixed chain of named filters.

#include "ci/core/Filter.h"

#include <memory>
#include <string>

namespace effects {

/// Number of photo effects; they are named "GWPhotoEffect1" to "GWPhotoEffect278".
inline constexpr int photoEffectCount = 278;

/// A new photo effect filter for its number (1 to photoEffectCount); nullptr otherwise.
std::shared_ptr<ci::Filter> makePhotoEffect(int number);

/// "GWPhotoEffect" followed by the number.
std::string photoEffectName(int number);

} // namespace effects
