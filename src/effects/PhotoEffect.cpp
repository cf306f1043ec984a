#include "PhotoEffect.h"

namespace effects {

std::shared_ptr<ci::Filter> makePhotoEffect(int) { return nullptr; }

std::string photoEffectName(int number) { return "GWPhotoEffect" + std::to_string(number); }

} // namespace effects
