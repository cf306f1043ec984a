#include "app/ExifTiming.h"

#include <algorithm>

namespace app::Exif::Timing {

Clock::time_point fileDeadline(const FileWait& wait, int allowedMs, int wallMs) {
    using std::chrono::milliseconds;
    return std::min(wait.asked + milliseconds(std::max(wallMs, allowedMs)),
                    wait.asked + milliseconds(allowedMs) +
                        std::max(wait.waitedForCpu, std::chrono::nanoseconds(0)));
}

bool aheadDue(const std::vector<ToolLoad>& tools, Clock::time_point now, double startMs, double answerMs,
              double slackMs) {
    double busyMs = 0;
    for (const ToolLoad& tool : tools) {
        if (tool.starting)
            busyMs = std::max(
                busyMs, startMs - std::chrono::duration<double, std::milli>(now - tool.launched).count());
        busyMs += double(tool.filesLeft) * answerMs;
    }
    return busyMs <= startMs + slackMs;
}

} // namespace app::Exif::Timing
