// The metadata tool kept running between reads.
//
// The tool reads its arguments one per line from its standard input and answers each group that
// ends with "-executeN" with its output and a line "{readyN}". The reader's own thread starts the
// tool, writes the requests and reads the answers; callers hand it a path and wait. Because the
// tool is started by that thread and the kernel kills it when its starting thread ends
// (PR_SET_PDEATHSIG), a tool is never left behind, waiting for requests that will not come, by an
// application that ended without stopping it. The tool runs confined (Exif.h): what it can read is
// fixed when it starts, and is only files that the caller has checked as pictures, so a file
// outside them starts a new tool; the files announced meanwhile go to the next tool, started ahead
// while the present one still has some to answer. Its CPU time is bounded per file from here, by
// its soft limit, which it cannot change, and so is the time it takes to answer, which a tool that
// stalls would spend without using any CPU time, and one that keeps yielding its processor would
// spend waiting for one.

#include "app/Exif.h"

#include "sandbox/Sandbox.h"

#include <QFile>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iterator>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <utility>
#include <vector>

namespace app::Exif {

namespace {

using Clock = std::chrono::steady_clock;

/// How long a tool that is asked to end may take before it is killed.
constexpr int kEndWaitMs = 1000;

/// How long a file may keep the tool before the next tool is started, so that it is ready should
/// this one not answer in time: ten times what the tool takes over a photo with large metadata.
constexpr int kStartAheadMs = 250;

/// Files announced in a burst (an import announces each file as its header is read, many within
/// milliseconds of one another) are gathered for one tool, rather than a tool started for the
/// first few: it is started once none has come for kGatherQuietMs, kGatherMs after it was due at
/// the latest, or at once for a read that needs it.
constexpr int kGatherQuietMs = 15;
constexpr int kGatherMs = 40;

/// How often a tool asked to end is looked for while no file is read.
constexpr int kCollectMs = 20;

/// At most this many tools are started ahead of the present one: while files are announced little
/// ahead of their reads, each tool holds few of them, and the next must already be starting.
constexpr size_t kMaxAhead = 2;

/// A path that the tool's argument lines carry unchanged: every line is one argument, with its
/// end of line (and blanks at its start) taken off.
bool fitsOnALine(const std::string& path) {
    return !path.empty() && path.find_first_of("\r\n") == std::string::npos && path.front() == '/';
}

/// Milliseconds since `start`.
double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

/// Milliseconds left until `deadline`, at least 0.
int remainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(std::min<long long>(left, 1 << 30)) : 0;
}

/// How many files a tool can be started with: each is a rule that its launcher makes (some
/// microseconds), and two arguments on its command line. An import of more starts the tool again
/// as it gets to the others.
constexpr size_t kMaxFiles = 4096;

/// The bytes of its command line that the files may take: a quarter of what the system allows
/// (2 MB with the usual 8 MB of stack), which leaves room for the environment.
size_t maxFileBytes() {
    static const size_t bytes = [] {
        const long system = ::sysconf(_SC_ARG_MAX);
        return std::min<size_t>(size_t(512) << 10, system > 0 ? size_t(system) / 4 : size_t(32) << 10);
    }();
    return bytes;
}

/// The bytes of the command line that one file takes.
size_t argumentBytes(const ReadableFile& file) {
    return sizeof("--read") + file.path.size() + 1 + 2 * sizeof(char*);
}

bool contains(const std::vector<ReadableFile>& files, const ReadableFile& file) {
    return std::any_of(files.begin(), files.end(), [&](const ReadableFile& f) { return f.isSame(file); });
}

/// Whether process `pid`, a child, has ended (and not been waited for yet).
bool hasEnded(pid_t pid) {
    siginfo_t info{};
    return ::waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

/// Whole seconds of CPU time that process `pid` has used; -1 when that cannot be read.
long cpuSecondsUsed(pid_t pid) {
    const std::string name = "/proc/" + std::to_string(pid) + "/stat";
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char text[1024];
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0)
        return -1;
    text[n] = '\0';
    // The fields after the name, which may hold anything, up to its last ")".
    const char* rest = std::strrchr(text, ')');
    unsigned long user = 0, system = 0;
    if (!rest ||
        std::sscanf(rest + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user, &system) != 2)
        return -1;
    return long((user + system) / uint64_t(::sysconf(_SC_CLK_TCK)));
}

/// The time that a process (its one thread) has spent on a processor and waiting for one, in
/// nanoseconds; -1 each when that cannot be read.
struct Scheduled {
    long long runningNs = -1;
    long long waitingNs = -1;
};

Scheduled scheduled(pid_t pid) {
    const std::string name = "/proc/" + std::to_string(pid) + "/schedstat";
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    char text[128];
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0)
        return {};
    text[n] = '\0';
    Scheduled times;
    if (std::sscanf(text, "%lld %lld", &times.runningNs, &times.waitingNs) != 2)
        return {};
    return times;
}

} // namespace

struct Reader::Impl {
    struct Request {
        std::string path;
        Metadata answer;
        bool done = false;
    };

    /// One running tool: its process, the socket it reads its arguments from and the pipe it
    /// writes its answers to, the files it can read and those of them it has not been asked
    /// about yet; until it has answered its first request, which it is sent as it starts, the end
    /// of that answer.
    struct Process {
        pid_t pid = 0;
        int input = -1;
        int output = -1;
        std::vector<ReadableFile> files;
        std::vector<ReadableFile> left;
        QByteArray starting;
        Clock::time_point launched{};
    };

    /// How a request to the running tool ended: Unstarted when the tool did not come up in time,
    /// Overdue when it did not answer about the file in time, Spent when it is too near its CPU
    /// ceiling to be asked, Gone when it had ended before it was asked.
    enum class Outcome { Answered, Died, Unstarted, Overdue, Spent, Gone, Stopped, TooLong };

    Impl(QString toolPath, int timeoutMs) : tool(std::move(toolPath)), timeoutMs(timeoutMs) {
        wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        announcing = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }
    ~Impl() {
        for (const int fd : {wake, announcing})
            if (fd >= 0)
                ::close(fd);
    }

    // ---- Callers' side

    Metadata read(const std::string& path) {
        if (tool.isEmpty())
            return {};
        auto request = std::make_shared<Request>();
        request->path = path;
        std::unique_lock lock(mutex);
        if (stopping)
            return {};
        if (!thread.joinable())
            thread = std::thread([this] { run(); });
        queue.push_back(request);
        changed.notify_all();
        changed.wait(lock, [&] { return request->done; });
        return std::move(request->answer);
    }

    void prepare(const std::vector<std::string>& paths) {
        if (tool.isEmpty())
            return;
        // Without Landlock the tool reads what its user can, whatever files it is given.
        std::vector<ReadableFile> files;
        if (sandbox::landlockVersion() > 0)
            for (const std::string& path : paths)
                if (auto file = readableFile(path))
                    files.push_back(std::move(*file));
        std::lock_guard lock(mutex);
        if (stopping)
            return;
        if (!thread.joinable())
            thread = std::thread([this] { run(); });
        startWanted = true;
        announced.insert(announced.end(), std::make_move_iterator(files.begin()),
                         std::make_move_iterator(files.end()));
        changed.notify_all();
        // Also heard while the thread waits for the tool.
        const uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(announcing, &one, sizeof one);
    }

    void withdraw(const std::vector<std::string>& paths) {
        if (tool.isEmpty() || sandbox::landlockVersion() == 0)
            return;
        std::vector<ReadableFile> files;
        for (const std::string& path : paths)
            if (auto file = readableFile(path))
                files.push_back(std::move(*file));
        std::lock_guard lock(mutex);
        withdrawn.insert(withdrawn.end(), std::make_move_iterator(files.begin()),
                         std::make_move_iterator(files.end()));
        // Heard with the announcements, which came before.
        changed.notify_all();
        const uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(announcing, &one, sizeof one);
    }

    void stop() {
        {
            std::lock_guard lock(mutex);
            if (stopping && !thread.joinable())
                return;
            stopping = true;
            changed.notify_all();
        }
        // Wakes the thread while it waits for the tool.
        const uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(wake, &one, sizeof one);
        std::thread ending;
        {
            std::lock_guard lock(mutex);
            ending = std::move(thread);
        }
        if (ending.joinable())
            ending.join();
    }

    bool isStopping() {
        std::lock_guard lock(mutex);
        return stopping;
    }

    // ---- The reader's thread

    void run() {
        for (;;) {
            std::shared_ptr<Request> request;
            bool startNow = false;
            std::vector<ReadableFile> files, dropped;
            {
                std::unique_lock lock(mutex);
                const auto due = [&] {
                    return stopping || !queue.empty() || startWanted || !withdrawn.empty();
                };
                // Woken to start the tool gathered for, and to collect those asked to end.
                auto until = gathering ? gatherUntil : Clock::time_point::max();
                if (!leaving.empty())
                    until = std::min(until, Clock::now() + std::chrono::milliseconds(kCollectMs));
                if (until != Clock::time_point::max())
                    changed.wait_until(lock, until, due);
                else
                    changed.wait(lock, due);
                if (stopping) {
                    // Whoever still waits gets an empty answer.
                    for (auto& waiting : queue)
                        waiting->done = true;
                    queue.clear();
                    changed.notify_all();
                    break;
                }
                startNow = std::exchange(startWanted, false);
                files = std::move(announced);
                announced.clear();
                dropped = std::move(withdrawn);
                withdrawn.clear();
                if (!queue.empty()) {
                    request = queue.front();
                    queue.pop_front();
                }
            }
            if (startNow)
                plan(std::move(files));
            drop(dropped);
            launchGathered();
            collectLeaving(false);
            if (!request)
                continue;
            Metadata answer;
            try {
                answer = answerFor(request->path);
                startAheadIfDue(true);
            } catch (const std::exception&) {
                // Out of memory: no metadata for that file, and a tool that may be half-way
                // through its answer is not asked again.
                retire(process, false);
            }
            std::lock_guard lock(mutex);
            request->answer = std::move(answer);
            request->done = true;
            changed.notify_all();
        }
        retire(process, true);
        while (!aheads.empty()) {
            dismiss(aheads.front());
            aheads.pop_front();
        }
        collectLeaving(true);
    }

    /// `files`, announced to be read: kept for the next tool, which is started now when none runs
    /// or is starting, else once the present one has few files left.
    void plan(std::vector<ReadableFile> files) {
        if (oneShot)
            return;
        const bool announced = !files.empty();
        keep(std::move(files));
        if (!process.pid && aheads.empty())
            gatherFor(true);
        else if (gathering && announced)
            gatherFor(true);
        startAheadIfDue(true);
    }

    /// A tool is due for the files waiting: it is started when the burst of them is over. With
    /// `announced`, files have just come, and the tool waits for them to stop coming (not past
    /// kGatherMs in all).
    void gatherFor(bool announced) {
        const auto now = Clock::now();
        if (!gathering) {
            gathering = true;
            gatherFrom = now;
            gatherUntil = now + std::chrono::milliseconds(kGatherQuietMs);
        } else if (announced) {
            gatherUntil = std::min(gatherFrom + std::chrono::milliseconds(kGatherMs),
                                   now + std::chrono::milliseconds(kGatherQuietMs));
        }
    }

    /// Once the files have been gathered: starts the first tool when none runs, else the next one
    /// if it is still due.
    void launchGathered() {
        // (A wait in whole milliseconds may end just before.)
        if (!gathering || Clock::now() + std::chrono::milliseconds(1) < gatherUntil)
            return;
        gathering = false;
        if (oneShot)
            return;
        if (!process.pid && aheads.empty()) {
            // Not for files that were all withdrawn (without Landlock a tool needs none).
            if (waiting.empty() && sandbox::landlockVersion() > 0)
                return;
            process = launch(gather({}, {}));
            pidSeen = process.pid;
        } else if (aheadDue()) {
            if (Process next = launch(gather({}, {})); next.pid)
                aheads.push_back(std::move(next));
        }
    }

    /// Forgets `files`, withdrawn (no tool is to be started or kept for them): a tool started ahead
    /// for nothing else is ended.
    void drop(const std::vector<ReadableFile>& files) {
        if (files.empty())
            return;
        const auto withdrawn = [&](const ReadableFile& file) { return contains(files, file); };
        // Nor is a tool started after given them again, as files its present one could read.
        std::erase_if(waiting, withdrawn);
        std::erase_if(process.left, withdrawn);
        std::erase_if(process.files, withdrawn);
        for (auto next = aheads.begin(); next != aheads.end();) {
            std::erase_if(next->left, withdrawn);
            std::erase_if(next->files, withdrawn);
            if (!next->left.empty()) {
                ++next;
                continue;
            }
            Process unneeded = std::move(*next);
            next = aheads.erase(next);
            retire(unneeded, false);
        }
    }

    /// Keeps `files`, announced, for the next tool, unless a tool has them already.
    void keep(std::vector<ReadableFile> files) {
        for (ReadableFile& file : files)
            if (!isHeld(file))
                waiting.push_back(std::move(file));
        // Files of an import that went away before they were read are not kept without end.
        if (waiting.size() > kMaxFiles)
            waiting.erase(waiting.begin(), waiting.end() - ptrdiff_t(kMaxFiles));
    }

    /// While the thread waits for the tool: keeps the files announced meanwhile, and starts the
    /// next tool for them when it is due.
    void hearAnnouncements() {
        uint64_t count = 0;
        [[maybe_unused]] const auto n = ::read(announcing, &count, sizeof count);
        std::vector<ReadableFile> files, dropped;
        {
            std::lock_guard lock(mutex);
            files = std::move(announced);
            announced.clear();
            dropped = std::move(withdrawn);
            withdrawn.clear();
        }
        if (oneShot)
            return;
        keep(std::move(files));
        drop(dropped);
        if (gathering)
            gatherFor(true);
        startAheadIfDue(false);
    }

    /// Starts the next tool, for the files announced that no tool can read yet, when the tools that
    /// run will have answered about their files by the time it has started, so that it is ready
    /// when they are read. Between reads, a present tool that has no file left gives way to the next
    /// first.
    void startAheadIfDue(bool betweenReads) {
        if (oneShot || !process.pid || waiting.empty())
            return;
        if (betweenReads && !aheads.empty() && process.left.empty())
            takeAhead();
        if (aheadDue())
            gatherFor(false);
    }

    /// Whether the next tool is to be started now (after the files announced meanwhile are
    /// gathered) to be ready when the tools that run have answered about their files: each answers
    /// about its own once it has started and the one before it is done.
    bool aheadDue() const {
        if (!process.pid || aheads.size() >= kMaxAhead || waiting.empty())
            return false;
        double busyMs = 0;
        auto add = [&](const Process& tool) {
            if (!tool.starting.isEmpty())
                busyMs = std::max(busyMs, startMs - msSince(tool.launched));
            busyMs += double(tool.left.size()) * answerMs;
        };
        add(process);
        for (const Process& next : aheads)
            add(next);
        return busyMs <= startMs + kGatherMs;
    }

    /// Makes the first tool started ahead the present one.
    void takeAhead() {
        retire(process, true);
        process = std::move(aheads.front());
        aheads.pop_front();
        pidSeen = process.pid;
    }

    /// Whether a tool that runs can read `file`, or the next one will.
    bool isHeld(const ReadableFile& file) const {
        return (process.pid && contains(process.files, file)) ||
               std::any_of(aheads.begin(), aheads.end(),
                           [&](const Process& next) { return contains(next.files, file); }) ||
               contains(waiting, file);
    }

    /// Whether `running` can read `file` (nothing: no rule needed, or none to be had).
    static bool canRead(const Process& running, const std::optional<ReadableFile>& file) {
        return running.pid && (!file || contains(running.files, *file));
    }

    /// The files of a new tool: `first`, then those announced that no tool has (taken from those
    /// waiting), then `after`, each once, as many as fit.
    std::vector<ReadableFile> gather(const std::vector<ReadableFile>& first,
                                     const std::vector<ReadableFile>& after) {
        std::vector<ReadableFile> files;
        std::set<std::pair<uint64_t, uint64_t>> added;
        size_t bytes = 0;
        auto add = [&](const ReadableFile& file) {
            if (files.size() >= kMaxFiles || bytes + argumentBytes(file) > maxFileBytes())
                return false;
            if (added.emplace(file.device, file.inode).second) {
                files.push_back(file);
                bytes += argumentBytes(file);
            }
            return true;
        };
        for (const ReadableFile& file : first)
            add(file);
        size_t taken = 0;
        while (taken < waiting.size() && add(waiting[taken]))
            ++taken;
        waiting.erase(waiting.begin(), waiting.begin() + ptrdiff_t(taken));
        for (const ReadableFile& file : after)
            if (!add(file))
                break;
        return files;
    }

    /// Makes the running tool one that can read `file`: the present one, one started ahead, or a
    /// new one, able to read it, the files still to be asked about and those asked about before.
    /// False when none can be started.
    bool toolFor(const std::optional<ReadableFile>& file) {
        if (canRead(process, file))
            return true;
        // A tool started ahead: those before it are not waited on (their files go to the next).
        if (const auto next = std::find_if(aheads.begin(), aheads.end(),
                                           [&](const Process& tool) { return canRead(tool, file); });
            next != aheads.end()) {
            for (auto skipped = next - aheads.begin(); skipped > 0; --skipped) {
                Process passed = std::move(aheads.front());
                aheads.pop_front();
                retire(passed, false);
            }
            takeAhead();
            return true;
        }
        // The files the present one was asked about: the new one can read them again, but is not
        // waited on for them (nor is a tool started ahead for them).
        std::vector<ReadableFile> asked;
        for (const ReadableFile& known : process.files)
            if (!contains(process.left, known))
                asked.push_back(known);
        retireAheads();
        retire(process, true);
        std::vector<ReadableFile> first;
        if (file)
            first.push_back(*file);
        process = launch(gather(first, asked));
        std::erase_if(process.left, [&](const ReadableFile& known) {
            return contains(asked, known) && !contains(first, known);
        });
        pidSeen = process.pid;
        return process.pid != 0;
    }

    Metadata answerFor(const std::string& path) {
        // Paths that cannot be written as one argument line, and tools that cannot stay open,
        // get a run of their own, with the path as a real argument.
        const auto argument = toolArgument(path);
        if (!argument)
            return {};
        const std::string absolute = argument->toStdString();
        if (oneShot || !fitsOnALine(absolute))
            return readExifMetadata(path, tool, timeoutMs);
        const auto file = sandbox::landlockVersion() > 0 ? readableFile(path) : std::nullopt;
        // A tool is started again only when that is not the file's doing, and not without end.
        for (int restarts = 0; restarts < 3; ++restarts) {
            if (!toolFor(file))
                return readExifMetadata(path, tool, timeoutMs);
            // Asked about now: no tool is to be waited on or started for it again.
            if (file)
                for (auto* files : filesToAsk())
                    std::erase_if(*files, [&](const ReadableFile& f) { return f.isSame(*file); });
            QByteArray output;
            switch (ask(*argument, output)) {
            case Outcome::Answered:
                return decodeToolOutput(output);
            case Outcome::Spent:
                // Near its ceiling, which is not the file's doing: started again, and no try lost.
            case Outcome::Gone:
                // Ended before it was asked (killed from outside): started again likewise.
                retire(process, true);
                break;
            case Outcome::Stopped:
                retire(process, false);
                return {};
            case Outcome::Unstarted:
                retire(process, false);
                return failedRead(path, ToolFailure::NoAnswer, timeoutMs);
            case Outcome::Overdue: {
                // Busy with the file (at least half the time), or stalled, which costs no CPU
                // time, or yielding its processor again and again: either way it is ended, and the
                // next file has a new tool.
                const bool busy =
                    asked.runningNs >= 0 &&
                    scheduled(process.pid).runningNs - asked.runningNs >= fileDeadlineMs() * 500'000LL;
                retire(process, false);
                return failedRead(path, busy ? ToolFailure::OutOfTime : ToolFailure::NoAnswer, waitedMs);
            }
            case Outcome::TooLong:
                // Stopped where it is: the rest of its answer is not wanted.
                retire(process, false);
                return failedRead(path, ToolFailure::OutputTooLong);
            case Outcome::Died: {
                // It ended while it read the file: its limits, or the file, ended it. The file is
                // not tried again, with a tool that it could take over as well.
                const int status = retire(process, false);
                if (WIFSIGNALED(status) && WTERMSIG(status) == SIGXCPU)
                    return failedRead(path, ToolFailure::OutOfTime);
                // Perl ends with status 1 when an allocation fails.
                if (WIFEXITED(status) && WEXITSTATUS(status) == 1)
                    return failedRead(path, ToolFailure::OutOfMemory);
                if (!answered) {
                    // It never answered: not a tool that stays open. Run it once per read.
                    oneShot = true;
                    retireAheads();
                    return readExifMetadata(path, tool, timeoutMs);
                }
                return failedRead(path, ToolFailure::Ended);
            }
            }
        }
        return {};
    }

    /// Gives the running tool the rest of the second it is in and kToolCpuSecondsPerFile more of
    /// CPU time, as its soft limit; false when that would take it near its hard limit (it is then
    /// to be started again). A limit that cannot be set leaves the one it has.
    bool limitCpu() {
        const long used = cpuSecondsUsed(process.pid);
        if (used < 0)
            return true;
        const long soft = used + 1 + kToolCpuSecondsPerFile;
        if (soft >= kToolCpuCeilingSeconds)
            return false;
        const rlimit limit{rlim_t(soft), rlim_t(kToolCpuCeilingSeconds)};
        ::prlimit(process.pid, RLIMIT_CPU, &limit, nullptr);
        return true;
    }

    /// How long the running tool has to answer about a file, once it has started.
    int fileDeadlineMs() const { return std::min(timeoutMs, kToolFileDeadlineMs); }

    /// A new tool, able to read `files`, sent a first request, which it answers once it has
    /// loaded; no process when it cannot be started.
    Process launch(const std::vector<ReadableFile>& files) {
        std::vector<std::string> paths;
        for (const ReadableFile& file : files)
            paths.push_back(file.path);
        const QStringList command =
            confinedCommand(tool, paths, 1 + kToolCpuSecondsPerFile, kToolCpuCeilingSeconds,
                            {"-stay_open", "True", "-@", "-"});
        if (command.isEmpty())
            return {};
        std::vector<std::string> strings;
        for (const QString& argument : command)
            strings.push_back(argument.toStdString());
        std::vector<char*> argv;
        for (std::string& string : strings)
            argv.push_back(string.data());
        argv.push_back(nullptr);
        int input[2], output[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, input) != 0)
            return {};
        if (::pipe2(output, O_CLOEXEC) != 0) {
            ::close(input[0]);
            ::close(input[1]);
            return {};
        }
        const pid_t parent = ::getpid();
        const pid_t pid = ::fork();
        if (pid == 0) {
            // The child: only calls that are safe after fork() in a threaded process.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent)
                ::_exit(127);
            ::dup2(input[1], STDIN_FILENO);
            ::dup2(output[1], STDOUT_FILENO);
            ::close_range(3, ~0u, 0);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(input[1]);
        ::close(output[1]);
        if (pid < 0) {
            ::close(input[0]);
            ::close(output[0]);
            return {};
        }
        const std::string id = std::to_string(++lastId);
        Process started{pid,         input[0], output[0],
                        files,       files,    QByteArray::fromStdString("{ready" + id + "}\n"),
                        Clock::now()};
        // The time Perl takes to load the tool is the start's, not the first file's.
        send(started, "-ver\n-execute" + id + "\n");
        return started;
    }

    /// Writes `request` to the tool `to`; false when it has gone.
    static bool send(const Process& to, const std::string& request) {
        for (size_t sent = 0; sent < request.size();) {
            // MSG_NOSIGNAL: a tool that has died must not take the application with it (SIGPIPE).
            const auto n = ::send(to.input, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            sent += size_t(n);
        }
        return true;
    }

    /// Asks the running tool for the metadata of `path` and reads its answer into `output`, once
    /// the tool has started and its CPU limit is set.
    Outcome ask(const QString& path, QByteArray& output) {
        const bool fresh = !process.starting.isEmpty();
        if (!fresh && hasEnded(process.pid))
            return Outcome::Gone;
        if (fresh) {
            const auto asking = Clock::now();
            const Outcome started = await(process.starting, timeoutMs, output, false);
            if (started != Outcome::Answered)
                return started == Outcome::Overdue ? Outcome::Unstarted : started;
            answered = true;
            process.starting.clear();
            output.clear();
            // How long it took, when it was still starting as it was asked.
            if (msSince(asking) >= 1)
                startMs = std::clamp(0.7 * startMs + 0.3 * msSince(process.launched), 20.0, 2000.0);
        }
        if (!limitCpu() && !fresh)
            return Outcome::Spent;
        const std::string id = std::to_string(++lastId);
        asked = scheduled(process.pid);
        // One argument a line.
        if (!send(process, toolArguments(path).join('\n').toStdString() + "\n-execute" + id + "\n"))
            return Outcome::Died;
        const auto sent = Clock::now();
        const Outcome outcome =
            await(QByteArray::fromStdString("{ready" + id + "}\n"), fileDeadlineMs(), output, true);
        if (outcome == Outcome::Answered)
            answerMs = 0.8 * answerMs + 0.2 * msSince(sent);
        return outcome;
    }

    /// Reads the running tool's output into `output` up to `marker`, which ends the answer, for at
    /// most `allowedMs`. For a file, the time the tool spends waiting for a processor (the machine
    /// is busy) is not counted, up to kToolFileWallMs (and timeoutMs) in all, and the next tool is
    /// started once the wait has lasted kStartAheadMs; waitedMs is then how long it had.
    Outcome await(const QByteArray& marker, int allowedMs, QByteArray& output, bool forFile) {
        const auto begun = Clock::now();
        auto deadline = begun + std::chrono::milliseconds(allowedMs);
        const auto aheadAt = begun + std::chrono::milliseconds(kStartAheadMs);
        bool startsAhead = forFile;
        char buffer[65536];
        for (;;) {
            if (output.endsWith(marker)) {
                output.chop(marker.size());
                return Outcome::Answered;
            }
            const bool toStart = startsAhead && aheads.empty() && deadline > aheadAt;
            const auto until = toStart ? aheadAt : deadline;
            const bool gatheredFirst = gathering && gatherUntil < until;
            pollfd fds[3] = {{process.output, POLLIN, 0}, {wake, POLLIN, 0}, {announcing, POLLIN, 0}};
            const int ready = ::poll(fds, 3, remainingMs(gatheredFirst ? gatherUntil : until));
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready < 0)
                return Outcome::Died;
            if (fds[1].revents & POLLIN)
                return Outcome::Stopped;
            if (ready == 0 && gatheredFirst) {
                launchGathered();
                continue;
            }
            if (fds[2].revents & POLLIN) {
                hearAnnouncements();
                if (!(fds[0].revents & POLLIN))
                    continue;
            }
            if (ready == 0 && toStart) {
                // For the files after this one, which it may keep.
                if (Process next = launch(gather(process.left, {})); next.pid)
                    aheads.push_back(std::move(next));
                startsAhead = false;
                continue;
            }
            if (ready == 0 && forFile && asked.waitingNs >= 0) {
                const long long waited = scheduled(process.pid).waitingNs - asked.waitingNs;
                const auto later =
                    std::min(begun + std::chrono::milliseconds(std::min(timeoutMs, kToolFileWallMs)),
                             begun + std::chrono::milliseconds(allowedMs) +
                                 std::chrono::nanoseconds(std::max(waited, 0LL)));
                if (later > Clock::now()) {
                    deadline = later;
                    continue;
                }
            }
            if (ready == 0) {
                const auto had =
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - begun).count();
                waitedMs = int((had + 50) / 100 * 100);
                return Outcome::Overdue;
            }
            const auto n = ::read(process.output, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return Outcome::Died;
            output.append(buffer, n);
            if (output.size() > kMaxToolOutputBytes + marker.size())
                return Outcome::TooLong;
        }
    }

    /// Ends the tools started ahead, the last first, so that the files they were still to be asked
    /// about are kept for the next tool in their order.
    void retireAheads() {
        while (!aheads.empty()) {
            Process last = std::move(aheads.back());
            aheads.pop_back();
            retire(last, false);
        }
    }

    /// The lists of files still to be asked about: those of each tool, and those waiting.
    std::vector<std::vector<ReadableFile>*> filesToAsk() {
        std::vector<std::vector<ReadableFile>*> lists{&process.left, &waiting};
        for (Process& next : aheads)
            lists.push_back(&next.left);
        return lists;
    }

    /// Ends `running`: `gently`, it is asked to end and collected later (see dismiss()), else it
    /// is killed and collected. The files it was still to be asked about are kept for
    /// the next tool. Its wait status, when it was waited for.
    int retire(Process& running, bool gently) {
        Process gone = std::exchange(running, {});
        if (&running == &process)
            pidSeen = 0;
        std::vector<ReadableFile> kept;
        for (const ReadableFile& file : gone.left)
            if (!isHeld(file) && !contains(kept, file))
                kept.push_back(file);
        waiting.insert(waiting.begin(), kept.begin(), kept.end());
        if (!gently)
            return kill(gone);
        dismiss(gone);
        return 0;
    }

    /// Asks `running` to end, and leaves it to end while the next tool answers: it is collected by
    /// collectLeaving().
    void dismiss(Process& running) {
        if (!running.pid)
            return;
        static const char bye[] = "-stay_open\nFalse\n";
        [[maybe_unused]] const auto n = ::send(running.input, bye, sizeof bye - 1, MSG_NOSIGNAL);
        ::close(running.input);
        ::close(running.output);
        leaving.push_back({running.pid, Clock::now()});
        running = {};
    }

    /// Collects the tools asked to end that have ended; one that is still there kEndWaitMs after it
    /// was asked is killed. With `all`, waits for each until it has gone.
    void collectLeaving(bool all) {
        std::erase_if(leaving, [&](const Leaving& tool) {
            const auto killAt = tool.since + std::chrono::milliseconds(kEndWaitMs);
            for (;;) {
                int status = 0;
                const pid_t got = ::waitpid(tool.pid, &status, WNOHANG);
                if (got == tool.pid || (got < 0 && errno != EINTR))
                    return true;
                if (got < 0)
                    continue;
                if (Clock::now() >= killAt) {
                    ::kill(tool.pid, SIGKILL);
                    while (::waitpid(tool.pid, &status, 0) < 0 && errno == EINTR) {
                    }
                    return true;
                }
                if (!all)
                    return false;
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
    }

    /// Kills `running` and collects it. Its wait status.
    static int kill(Process& running) {
        if (!running.pid)
            return 0;
        ::kill(running.pid, SIGKILL);
        ::close(running.input);
        ::close(running.output);
        int status = 0;
        while (::waitpid(running.pid, &status, 0) < 0 && errno == EINTR) {
        }
        running = {};
        return status;
    }

    const QString tool;
    const int timeoutMs;
    int wake = -1;
    int announcing = -1; ///< written when files are announced

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::shared_ptr<Request>> queue; // guarded by mutex
    bool stopping = false;                      // guarded by mutex
    bool startWanted = false;                   // guarded by mutex
    std::vector<ReadableFile> announced;        // guarded by mutex
    std::vector<ReadableFile> withdrawn;        // guarded by mutex
    std::thread thread;                         // guarded by mutex

    // The reader's thread only.
    Process process;
    /// A tool asked to end, not collected yet, and when it was asked.
    struct Leaving {
        pid_t pid;
        Clock::time_point since;
    };
    std::vector<Leaving> leaving;
    std::deque<Process> aheads;        ///< the next tools, in order, for the files after the present one's
    Scheduled asked;                   ///< the present tool's times as it was asked about its file
    int waitedMs = 0;                  ///< how long the last file that was not answered in time had
    double startMs = 150;              ///< about how long a tool takes to start
    double answerMs = 5;               ///< about how long it takes to answer about a file
    std::vector<ReadableFile> waiting; ///< files announced that no tool can read yet, in their order
    bool gathering = false;            ///< files are gathered for a tool to start at gatherUntil
    Clock::time_point gatherFrom{};    ///< when the tool became due
    Clock::time_point gatherUntil{};
    uint64_t lastId = 0;
    bool answered = false;
    bool oneShot = false;
    std::atomic<pid_t> pidSeen{0}; // for processId(), any thread
};

Reader::Reader(QString toolPath, int timeoutMs)
    : impl_(std::make_unique<Impl>(std::move(toolPath), timeoutMs)) {}

Reader::~Reader() {
    stop();
}

Metadata Reader::read(const std::string& path) {
    return impl_->read(path);
}

void Reader::prepare(const std::vector<std::string>& paths) {
    impl_->prepare(paths);
}

void Reader::withdraw(const std::vector<std::string>& paths) {
    impl_->withdraw(paths);
}

void Reader::stop() {
    impl_->stop();
}

int Reader::processId() const {
    return int(impl_->pidSeen.load());
}

} // namespace app::Exif
