#pragma once

// The library of actions and filters the user picks workflow steps from, built in code at
// start-up: 12 categories, 94 entries, each with typed parameters, sample settings and tooltips.

#include "model/Filter.h"

#include <memory>
#include <string>
#include <vector>

namespace catalogue {

using Library = std::vector<std::shared_ptr<model::FilterCategory>>;

/// Builds the actions library on the calling thread, rendering every entry's sample thumbnail.
/// Queues the "Loading actions..." message for `delegate` on the main queue before anything else.
Library buildActionsLibrary(std::shared_ptr<model::LoadingProgressTarget> delegate);

/// One entry of the "Blend" category: "CI" + key + "BlendMode" over the metal-roof background.
std::shared_ptr<model::Filter> makeBlendModeFilter(const std::string& name, const std::string& key,
                                                   const std::string& tooltip);

/// Stores the controller as the overlay's target and shows "Loading actions...". Main queue.
void showLoadingActionsMessage(const std::shared_ptr<model::LoadingProgressTarget>& delegate);

/// The capitalised form of a parameter's name literal: the first letter of every blank-delimited
/// word in upper case, the rest in lower case ("placement & padding" -> "Placement & Padding").
std::string capitalized(const std::string& literal);

} // namespace catalogue
