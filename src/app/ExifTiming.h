#pragma once

// When the metadata tool kept running has taken too long over a file, and when the next tool is to
// be started ahead: functions of a clock and counts only, so that each rule can be followed (and
// tried) without a process.

#include <chrono>
#include <cstddef>
#include <vector>

namespace app::Exif::Timing {

using Clock = std::chrono::steady_clock;

/// What is known of the tool's work on one file while its answer is awaited.
struct FileWait {
    Clock::time_point asked;                  ///< when the tool was asked about the file
    std::chrono::nanoseconds waitedForCpu{0}; ///< how long it has waited for a processor since
};

/// When the tool is overdue on a file, by its own time: `allowedMs` after it was asked, plus the
/// time it waited for a processor (up to `wallMs` after it was asked: a tool that yields its
/// processor again and again is always waiting for one). The time its file's medium takes is
/// ci::io::ReadThrough's to allow.
Clock::time_point fileDeadline(const FileWait& wait, int allowedMs, int wallMs);

/// What is known of one running tool, for the start of the next one.
struct ToolLoad {
    bool starting = false;      ///< still loading, not yet ready to be asked
    Clock::time_point launched; ///< when it was started
    size_t filesLeft = 0;       ///< files it is yet to be asked about
};

/// Whether the next tool, for files that no running tool can read, is to be started now so that it
/// is ready when the running ones (`tools`, the present one first) have answered about theirs: each
/// answers about its own once it has started (`startMs`) and the one before it is done, `answerMs`
/// a file; `slackMs` is how long gathering the files for it may take.
bool aheadDue(const std::vector<ToolLoad>& tools, Clock::time_point now, double startMs, double answerMs,
              double slackMs);

} // namespace app::Exif::Timing
