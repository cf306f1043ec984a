#include "app/ExifTiming.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using app::Exif::Timing::Clock;
using app::Exif::Timing::fileDeadline;
using app::Exif::Timing::FileWait;

TEST(ExifTiming, AToolWaitingForAProcessorIsNotOverdueAndOneThatStallsIs) {
    const Clock::time_point asked{100s};
    // Stalled, sleeping or spinning: its 1.1 s; waiting for a processor: that time too, up to 3 s.
    EXPECT_EQ(fileDeadline(FileWait{asked}, 1100, 3000), asked + 1100ms);
    EXPECT_EQ(fileDeadline(FileWait{asked, 700ms}, 1100, 3000), asked + 1800ms);
    EXPECT_EQ(fileDeadline(FileWait{asked, 10s}, 1100, 3000), asked + 3000ms);
}
