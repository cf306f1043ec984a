#pragma once

// The names under which the system's own filters, actions and photo effects are created, and
// their registration with the engine.

#include "ci/core/Filter.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace filters {

/// The 315 registered names in their fixed order: 12 actions, 25 filters, then
/// "GWPhotoEffect1" to "GWPhotoEffect278".
const std::vector<std::string>& customFilterNames();

/// A new filter object for a registered name, in its start state; nullptr for any other name
/// (compared exactly, case included). Prints nothing.
std::shared_ptr<ci::Filter> makeFilter(const std::string& name);

/// The constructor registered for every own name. Holds no state: any instance builds any of
/// the names.
class CustomCIActionGenerator : public ci::FilterConstructor {
  public:
    std::shared_ptr<ci::Filter> filterWithName(const std::string& name) override;
};

using Registrar =
    std::function<void(const std::string& name, std::shared_ptr<ci::FilterConstructor> constructor,
                       ci::Attributes classAttributes)>;

/// Registers every name of customFilterNames(), in order, each with a new generator and empty
/// class attributes. The launch calls it once, before anything creates a filter by name.
void registerCustomFilters();
/// The same registrations handed to another registrar.
void registerCustomFilters(const Registrar& registrar);

} // namespace filters
