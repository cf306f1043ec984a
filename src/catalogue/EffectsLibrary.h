#pragma once

// The library of ready-made photo effects: 8 categories, 86 entries without parameters.

#include "catalogue/ActionsLibrary.h"

namespace catalogue {

/// Builds the photo-effects library on the calling thread, rendering every entry's thumbnail.
/// Queues the "Loading photo effects..." message for `delegate` on the main queue first.
Library buildEffectsLibrary(std::shared_ptr<model::LoadingProgressTarget> delegate);

/// Stores the controller as the overlay's target and shows "Loading photo effects...". Main queue.
void showLoadingEffectsMessage(const std::shared_ptr<model::LoadingProgressTarget>& delegate);

/// Overlay steps the two libraries add: one per entry (94 actions, 86 photo effects).
inline constexpr int actionsLibraryEntryCount = 94;
inline constexpr int effectsLibraryEntryCount = 86;

} // namespace catalogue
