#pragma once

// The system's own actions by their registered names.

#include "ci/core/Filter.h"

#include <memory>
#include <string>

/// A new action in its start state for one of the twelve registered action names ("IMCropAction"
/// ... "IMFaceBlur"), compared exactly; nullptr for any other name.
std::shared_ptr<ci::Filter> makeOwnAction(const std::string& registeredName);
