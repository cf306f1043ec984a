#pragma once

// Counts the "RequiresPreviewRegeneration" posts while alive.

#include "platform/NotificationCenter.h"

namespace gwtest {

class PostCounter {
  public:
    PostCounter()
        : observer_(platform::RequiresPreviewRegeneration, [this](const std::string&) { ++count_; }) {}
    int count() const { return count_; }
    /// The count so far, then starts again from zero.
    int take() {
        const int c = count_;
        count_ = 0;
        return c;
    }

  private:
    int count_ = 0;
    platform::ScopedObserver observer_;
};

} // namespace gwtest
