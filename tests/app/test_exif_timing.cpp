#include "app/ExifTiming.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using app::Exif::Timing::Clock;
using app::Exif::Timing::fileDeadline;
using app::Exif::Timing::FileWait;

TEST(ExifTiming, AToolWaitingForItsFilesDataIsNotOverdueAndOneThatStallsIs) {
    const Clock::time_point asked{100s};
    // Stalled, sleeping or spinning: its 1.1 s; waiting for a processor: that time too, up to 3 s.
    EXPECT_EQ(fileDeadline(FileWait{asked}, 1100, 3000), asked + 1100ms);
    EXPECT_EQ(fileDeadline(FileWait{asked, 700ms}, 1100, 3000), asked + 1800ms);
    EXPECT_EQ(fileDeadline(FileWait{asked, 10s}, 1100, 3000), asked + 3000ms);
    // Its file's data came in 2.5 s after it was asked: 1.1 s from then, whatever it waited for a
    // processor; and never more than the medium's allowance.
    EXPECT_EQ(fileDeadline(FileWait{asked, 0ms, asked + 2500ms}, 1100, 3000), asked + 3600ms);
    EXPECT_EQ(fileDeadline(FileWait{asked, 10s, asked + 2500ms}, 1100, 3000), asked + 3600ms);
    EXPECT_EQ(fileDeadline(FileWait{asked, 0ms, asked + 100s}, 1100, 3000),
              asked + std::chrono::milliseconds(app::Exif::Timing::kDataWaitMs) + 1100ms);
    // Data that came in before it was asked is no wait of its own.
    EXPECT_EQ(fileDeadline(FileWait{asked, 0ms, asked - 1s}, 1100, 3000), asked + 1100ms);
}
