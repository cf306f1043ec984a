#pragma once

// One metadata tool kept running ("-stay_open True -@ -"), as a process: started confined through
// the launcher with the descriptors of the files it may read, asked one argument a line, and ended.

#include "app/ExifGrant.h"

#include <QByteArray>
#include <QString>

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace app::Exif {

/// A file that a tool can read: the file itself, and its descriptor's number in the tool.
struct ToolFile {
    ci::io::FileIdentity file;
    int fd = -1;
};

/// One running tool: its process, the socket it reads its arguments from and the pipe it writes
/// its answers to, the files it can read and those of them it has not been asked about yet; until
/// it has answered its first request, which it is sent as it starts, the end of that answer.
struct ToolProcess {
    pid_t pid = 0;
    int input = -1;
    int output = -1;
    std::vector<ToolFile> files;
    std::vector<LookPtr> left;
    QByteArray starting;
    std::chrono::steady_clock::time_point launched{};

    /// The tool's descriptor of `file`; -1 when it cannot read it.
    int descriptorOf(const ci::io::PictureFile& file) const;
};

/// How many files a tool can be started with: each is a rule that its launcher makes (some
/// microseconds), a descriptor and an argument. An import of more starts the tool again as it gets
/// to the others.
inline constexpr size_t kMaxToolFiles = 4096;

/// A new tool at `toolPath`, able to read `files` (each once, at most kMaxToolFiles) and sent a
/// first request numbered `id`, which it answers once it has loaded; no process when it cannot be
/// started. The files that the system lets it take no descriptor for are left in `files`.
ToolProcess launchTool(const QString& toolPath, std::vector<LookPtr>& files, uint64_t id);

/// The descriptors in the tool of the files open on `sources` in the program, in their order: the
/// lowest ones left free for the tool's own, as far as the system's limit on descriptors lets the
/// files go above them. Fewer than `sources` when the limit has room for no more (the rest wait for
/// another tool).
std::vector<int> placeToolFiles(const std::vector<int>& sources);

/// Writes `request` to `tool`; false when it has gone.
bool sendTo(const ToolProcess& tool, const std::string& request);

/// Kills `tool` and collects it; its wait status.
int killTool(ToolProcess& tool);

/// Whether process `pid`, a child, has ended (and not been waited for yet).
bool hasEnded(pid_t pid);

/// Whole seconds of CPU time that process `pid` has used; -1 when that cannot be read.
long cpuSecondsUsed(pid_t pid);

/// The time that a process (its one thread) has spent on a processor and waiting for one, in
/// nanoseconds; -1 each when that cannot be read.
struct Scheduled {
    long long runningNs = -1;
    long long waitingNs = -1;
};
Scheduled scheduled(pid_t pid);

} // namespace app::Exif
