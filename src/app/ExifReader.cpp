// The metadata tool kept running between reads.
//
// The tool reads its arguments one per line from its standard input and answers each group that
// ends with "-executeN" with its output and a line "{readyN}". The reader's own thread starts the
// tool, writes the requests and reads the answers; callers hand it a file and wait. Because the
// tool is started by that thread and the kernel kills it when its starting thread ends
// (PR_SET_PDEATHSIG), a tool is never left behind, waiting for requests that will not come, by an
// application that ended without stopping it. The tool runs confined (Exif.h) and is handed the
// descriptors of the files it may read (ExifTool.h): what it can read is fixed when it starts, so
// a file outside them starts a new tool; the files announced meanwhile go to the next tool, started
// ahead while the present one still has some to answer. Its CPU time is bounded per file from
// here, by its soft limit, which it cannot change, and so is the time it takes to answer, which a
// tool that stalls would spend without using any CPU time, and one that keeps yielding its
// processor would spend waiting for one (ExifTiming.h).

#include "app/Exif.h"
#include "app/ExifTiming.h"
#include "app/ExifTool.h"
#include "ci/io/ReadThrough.h"

#include <QScopeGuard>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
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

/// The launcher's exit statuses from here up say that it refused to run the tool (a wrong command
/// line, no confinement, no tool to run): see src/confined/Confined.cpp.
constexpr int kLauncherRefused = 125;

/// Milliseconds since `start`.
double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

/// Milliseconds left until `deadline`, at least 0; rounded up, so that a wait for it does not end
/// before it and poll again and again.
int remainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(std::min<long long>(left, 1 << 30)) : 0;
}

bool contains(const std::vector<LookPtr>& files, const ci::io::PictureFile& file) {
    return std::any_of(files.begin(), files.end(), [&](const LookPtr& f) { return f->isSame(file); });
}

} // namespace

struct Reader::Impl {
    struct Request {
        LookPtr file;
        Metadata answer;
        std::string failure;
        bool done = false;
    };

    /// How a request to the running tool ended: Unstarted when the tool did not come up in time,
    /// Unlaunched when it ended before it came up, Overdue when it did not answer about the file
    /// in time, Spent when it is too near its CPU ceiling to be asked, Gone when it had ended
    /// before it was asked.
    enum class Outcome { Answered, Died, Unstarted, Unlaunched, Overdue, Spent, Gone, Stopped, TooLong };

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

    Metadata read(const LookPtr& file, std::string* failure) {
        if (tool.isEmpty() || !file)
            return {};
        auto request = std::make_shared<Request>();
        request->file = file;
        std::unique_lock lock(mutex);
        if (stopping)
            return {};
        if (!thread.joinable())
            thread = std::thread([this] { run(); });
        queue.push_back(request);
        changed.notify_all();
        changed.wait(lock, [&] { return request->done; });
        if (failure)
            *failure = std::move(request->failure);
        return std::move(request->answer);
    }

    void prepare(const std::vector<LookPtr>& files) {
        if (tool.isEmpty())
            return;
        std::lock_guard lock(mutex);
        if (stopping)
            return;
        if (!thread.joinable())
            thread = std::thread([this] { run(); });
        startWanted = true;
        for (const LookPtr& file : files)
            if (file)
                announced.push_back(file);
        changed.notify_all();
        // Also heard while the thread waits for the tool.
        const uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(announcing, &one, sizeof one);
    }

    void withdraw(const std::vector<LookPtr>& files) {
        if (tool.isEmpty())
            return;
        std::lock_guard lock(mutex);
        for (const LookPtr& file : files)
            if (file)
                withdrawn.push_back(file);
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

    // ---- The reader's thread

    void run() {
        for (;;) {
            std::shared_ptr<Request> request;
            bool startNow = false;
            std::vector<LookPtr> files, dropped;
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
            std::string failure;
            try {
                answer = answerFor(request->file, failure);
                startAheadIfDue(true);
            } catch (const std::exception&) {
                // Out of memory: no metadata for that file, and a tool that may be half-way
                // through its answer is not asked again.
                retire(process, false);
            }
            std::lock_guard lock(mutex);
            request->answer = std::move(answer);
            request->failure = std::move(failure);
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
    void plan(std::vector<LookPtr> files) {
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
            // Not for files that were all withdrawn.
            if (waiting.empty())
                return;
            process = launch({});
            pidSeen = process.pid;
        } else if (aheadDue()) {
            if (ToolProcess next = launch({}); next.pid)
                aheads.push_back(std::move(next));
        }
    }

    /// Forgets `files`, withdrawn (no tool is to be started or kept for them): a tool started ahead
    /// for nothing else is ended.
    void drop(const std::vector<LookPtr>& files) {
        if (files.empty())
            return;
        const auto withdrawn = [&](const LookPtr& file) { return contains(files, *file); };
        const auto withdrawnFile = [&](const ToolFile& known) {
            return std::any_of(files.begin(), files.end(),
                               [&](const LookPtr& file) { return file->identity() == known.file; });
        };
        // Nor is a tool started after given them again, as files its present one could read.
        std::erase_if(waiting, withdrawn);
        std::erase_if(process.left, withdrawn);
        std::erase_if(process.files, withdrawnFile);
        for (auto next = aheads.begin(); next != aheads.end();) {
            std::erase_if(next->left, withdrawn);
            std::erase_if(next->files, withdrawnFile);
            if (!next->left.empty()) {
                ++next;
                continue;
            }
            ToolProcess unneeded = std::move(*next);
            next = aheads.erase(next);
            retire(unneeded, false);
        }
    }

    /// Keeps `files`, announced, for the next tool, unless a tool has them already.
    void keep(std::vector<LookPtr> files) {
        for (LookPtr& file : files)
            if (!isHeld(*file))
                waiting.push_back(std::move(file));
        // Files of an import that went away before they were read are not kept without end.
        if (waiting.size() > kMaxToolFiles)
            waiting.erase(waiting.begin(), waiting.end() - ptrdiff_t(kMaxToolFiles));
    }

    /// While the thread waits for the tool: keeps the files announced meanwhile, and starts the
    /// next tool for them when it is due.
    void hearAnnouncements() {
        uint64_t count = 0;
        [[maybe_unused]] const auto n = ::read(announcing, &count, sizeof count);
        std::vector<LookPtr> files, dropped;
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
    /// gathered).
    bool aheadDue() const {
        if (!process.pid || aheads.size() >= kMaxAhead || waiting.empty())
            return false;
        std::vector<Timing::ToolLoad> tools;
        const auto load = [](const ToolProcess& tool) {
            return Timing::ToolLoad{!tool.starting.isEmpty(), tool.launched, tool.left.size()};
        };
        tools.push_back(load(process));
        for (const ToolProcess& next : aheads)
            tools.push_back(load(next));
        return Timing::aheadDue(tools, Clock::now(), startMs, answerMs, kGatherMs);
    }

    /// Makes the first tool started ahead the present one.
    void takeAhead() {
        retire(process, true);
        process = std::move(aheads.front());
        aheads.pop_front();
        pidSeen = process.pid;
    }

    /// Whether a tool that runs can read `file`, or the next one will.
    bool isHeld(const ci::io::PictureFile& file) const {
        return (process.pid && process.descriptorOf(file) >= 0) ||
               std::any_of(aheads.begin(), aheads.end(),
                           [&](const ToolProcess& next) { return next.descriptorOf(file) >= 0; }) ||
               contains(waiting, file);
    }

    /// A new tool for `first`, then those announced that no tool has (taken from those waiting),
    /// each once, as many as it can take; those it cannot are kept waiting.
    ToolProcess launch(const std::vector<LookPtr>& first) {
        std::vector<LookPtr> files;
        std::set<std::pair<uint64_t, uint64_t>> added;
        for (const std::vector<LookPtr>* from : {&first, static_cast<const std::vector<LookPtr>*>(&waiting)})
            for (const LookPtr& file : *from)
                if (added.emplace(file->identity().device, file->identity().inode).second)
                    files.push_back(file);
        waiting.clear();
        ToolProcess started = launchTool(tool, files, ++lastId);
        // Those it was not given, or all when it could not be started, wait for the next.
        for (const LookPtr& file : files)
            if (!contains(first, *file))
                waiting.push_back(file);
        return started;
    }

    /// Makes the running tool one that can read `file`: the present one, one started ahead, or a
    /// new one, able to read it and the files still to be asked about. False when none can be
    /// started.
    bool toolFor(const ci::io::PictureFile& file) {
        if (process.pid && process.descriptorOf(file) >= 0)
            return true;
        // A tool started ahead: those before it are not waited on (their files go to the next).
        if (const auto next =
                std::find_if(aheads.begin(), aheads.end(),
                             [&](const ToolProcess& tool) { return tool.descriptorOf(file) >= 0; });
            next != aheads.end()) {
            for (auto skipped = next - aheads.begin(); skipped > 0; --skipped) {
                ToolProcess passed = std::move(aheads.front());
                aheads.pop_front();
                retire(passed, false);
            }
            takeAhead();
            return true;
        }
        retireAheads();
        retire(process, true);
        process = launch({asking});
        pidSeen = process.pid;
        return process.pid != 0 && process.descriptorOf(file) >= 0;
    }

    Metadata answerFor(const LookPtr& file, std::string& failure) {
        // A name that is not UTF-8 gives no metadata, as a tool that named it could not.
        const auto named = toolArgument(file->path());
        if (!named)
            return {};
        const std::string& path = file->path();
        const auto failed = [&](ToolFailure why, int ms = kToolTimeoutMs) {
            return failedRead(path, why, ms, &failure);
        };
        if (oneShot)
            return readExifMetadata(*file, tool, timeoutMs, &failure);
        // A file that can no longer be read (a share's name that changed type under it) is not
        // given to a tool: it alone goes without.
        if (struct stat info{}; ::fstat(file->descriptor(), &info) != 0 || !S_ISREG(info.st_mode))
            return failed(ToolFailure::Unreadable);
        asking = file;
        const auto forget = qScopeGuard([&] { asking.reset(); });
        // A tool is started again only when that is not the file's doing, and not without end.
        for (int restarts = 0; restarts < 3; ++restarts) {
            if (!toolFor(*file))
                return readExifMetadata(*file, tool, timeoutMs, &failure);
            // Asked about now: no tool is to be waited on or started for it again.
            for (auto* files : filesToAsk())
                std::erase_if(*files, [&](const LookPtr& f) { return f->isSame(*file); });
            QByteArray output;
            switch (ask(*file, output)) {
            case Outcome::Answered:
                return withNames(decodeToolOutput(output), *named);
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
                return failed(ToolFailure::NoAnswer, timeoutMs);
            case Outcome::Unlaunched: {
                // It ended before it read a file. Its launcher's refusals (kLauncherRefused) are
                // this start's, not the file's: the tool is started again. A tool that ends before
                // its first answer is not one that stays open: it is run once per read.
                const int status = retire(process, false);
                if (WIFEXITED(status) && WEXITSTATUS(status) >= kLauncherRefused)
                    break;
                oneShot = true;
                retireAheads();
                return readExifMetadata(*file, tool, timeoutMs, &failure);
            }
            case Outcome::Overdue: {
                // Busy with the file (at least half the time), or stalled, which costs no CPU
                // time, or yielding its processor again and again: either way it is ended, and the
                // next file has a new tool.
                const bool busy =
                    asked.runningNs >= 0 &&
                    scheduled(process.pid).runningNs - asked.runningNs >= fileDeadlineMs() * 500'000LL;
                retire(process, false);
                return failed(busy ? ToolFailure::OutOfTime : ToolFailure::NoAnswer, waitedMs);
            }
            case Outcome::TooLong:
                // Stopped where it is: the rest of its answer is not wanted.
                retire(process, false);
                return failed(ToolFailure::OutputTooLong);
            case Outcome::Died: {
                // It ended while it read the file: its limits, or the file, ended it. The file is
                // not tried again, with a tool that it could take over as well.
                const int status = retire(process, false);
                if (WIFSIGNALED(status) && WTERMSIG(status) == SIGXCPU)
                    return failed(ToolFailure::OutOfTime);
                // Perl ends with status 1 when an allocation fails.
                if (WIFEXITED(status) && WEXITSTATUS(status) == 1)
                    return failed(ToolFailure::OutOfMemory);
                return failed(ToolFailure::Ended);
            }
            }
        }
        return failed(ToolFailure::NotStarted);
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

    /// Asks the running tool for the metadata of `file` and reads its answer into `output`, once
    /// the tool has started and its CPU limit is set.
    Outcome ask(const ci::io::PictureFile& file, QByteArray& output) {
        const bool fresh = !process.starting.isEmpty();
        if (!fresh && hasEnded(process.pid))
            return Outcome::Gone;
        if (fresh) {
            const auto asking = Clock::now();
            const Outcome started = await(process.starting, timeoutMs, output, nullptr);
            if (started != Outcome::Answered)
                return started == Outcome::Overdue ? Outcome::Unstarted
                       : started == Outcome::Died  ? Outcome::Unlaunched
                                                   : started;
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
        if (!sendTo(process, toolArguments(process.descriptorOf(file)).join('\n').toStdString() +
                                 "\n-execute" + id + "\n"))
            return Outcome::Died;
        const auto sent = Clock::now();
        const Outcome outcome =
            await(QByteArray::fromStdString("{ready" + id + "}\n"), fileDeadlineMs(), output, &file);
        if (outcome == Outcome::Answered)
            answerMs = 0.8 * answerMs + 0.2 * msSince(sent);
        return outcome;
    }

    /// Reads the running tool's output into `output` up to `marker`, which ends the answer, for at
    /// most `allowedMs`. For a `file`, the time the tool spends waiting for a processor is not
    /// counted, as far as Timing::fileDeadline() lets it, nor the time the file's medium takes, as
    /// far as the program's own read of the file allows (ci::io::ReadThrough); the next tool is
    /// started once the wait has lasted kStartAheadMs; waitedMs is then how long it had.
    Outcome await(const QByteArray& marker, int allowedMs, QByteArray& output,
                  const ci::io::PictureFile* file) {
        Timing::FileWait wait{Clock::now()};
        const auto begun = wait.asked;
        auto deadline = begun + std::chrono::milliseconds(allowedMs);
        const auto aheadAt = begun + std::chrono::milliseconds(kStartAheadMs);
        std::shared_ptr<ci::io::ReadThrough> reading;
        Clock::time_point readingSince{};
        bool startsAhead = file != nullptr;
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
            if (ready == 0 && toStart && Clock::now() >= aheadAt) {
                // For the files after this one, which it may keep.
                if (ToolProcess next = launch({}); next.pid)
                    aheads.push_back(std::move(next));
                startsAhead = false;
                continue;
            }
            if (ready == 0 && Clock::now() < deadline)
                continue;
            if (ready == 0 && file) {
                const auto now = Clock::now();
                if (asked.waitingNs >= 0)
                    wait.waitedForCpu =
                        std::chrono::nanoseconds(scheduled(process.pid).waitingNs - asked.waitingNs);
                auto later = Timing::fileDeadline(wait, allowedMs, std::min(timeoutMs, kToolFileWallMs));
                if (later <= now) {
                    // Past its own time: it may be waiting on its file's medium, which the program's
                    // own read of the file measures; looked at again five times a second.
                    if (!reading) {
                        readingSince = now;
                        reading = ci::io::ReadThrough::start(file->descriptor());
                    }
                    if (reading)
                        later =
                            std::min(reading->allowance(readingSince), now + std::chrono::milliseconds(200));
                }
                if (later > now) {
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
            ToolProcess last = std::move(aheads.back());
            aheads.pop_back();
            retire(last, false);
        }
    }

    /// The lists of files still to be asked about: those of each tool, and those waiting.
    std::vector<std::vector<LookPtr>*> filesToAsk() {
        std::vector<std::vector<LookPtr>*> lists{&process.left, &waiting};
        for (ToolProcess& next : aheads)
            lists.push_back(&next.left);
        return lists;
    }

    /// Ends `running`: `gently`, it is asked to end and collected later (see dismiss()), else it
    /// is killed and collected. The files it was still to be asked about are kept for
    /// the next tool. Its wait status, when it was waited for.
    int retire(ToolProcess& running, bool gently) {
        ToolProcess gone = std::exchange(running, {});
        if (&running == &process)
            pidSeen = 0;
        std::vector<LookPtr> kept;
        for (const LookPtr& file : gone.left)
            if (!isHeld(*file) && !contains(kept, *file))
                kept.push_back(file);
        waiting.insert(waiting.begin(), kept.begin(), kept.end());
        if (!gently)
            return killTool(gone);
        dismiss(gone);
        return 0;
    }

    /// Asks `running` to end, and leaves it to end while the next tool answers: it is collected by
    /// collectLeaving().
    void dismiss(ToolProcess& running) {
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

    const QString tool;
    const int timeoutMs;
    int wake = -1;
    int announcing = -1; ///< written when files are announced

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::shared_ptr<Request>> queue; // guarded by mutex
    bool stopping = false;                      // guarded by mutex
    bool startWanted = false;                   // guarded by mutex
    std::vector<LookPtr> announced;             // guarded by mutex
    std::vector<LookPtr> withdrawn;             // guarded by mutex
    std::thread thread;                         // guarded by mutex

    // The reader's thread only.
    ToolProcess process;
    /// A tool asked to end, not collected yet, and when it was asked.
    struct Leaving {
        pid_t pid;
        Clock::time_point since;
    };
    std::vector<Leaving> leaving;
    std::deque<ToolProcess> aheads; ///< the next tools, in order, for the files after the present one's
    LookPtr asking;                 ///< the file asked about now
    Scheduled asked;                ///< the present tool's times as it was asked about its file
    int waitedMs = 0;               ///< how long the last file that was not answered in time had
    double startMs = 150;           ///< about how long a tool takes to start
    double answerMs = 5;            ///< about how long it takes to answer about a file
    std::vector<LookPtr> waiting;   ///< files announced that no tool can read yet, in their order
    bool gathering = false;         ///< files are gathered for a tool to start at gatherUntil
    Clock::time_point gatherFrom{}; ///< when the tool became due
    Clock::time_point gatherUntil{};
    uint64_t lastId = 0;
    bool oneShot = false;
    std::atomic<pid_t> pidSeen{0}; // for processId(), any thread
};

Reader::Reader(QString toolPath, int timeoutMs)
    : impl_(std::make_unique<Impl>(std::move(toolPath), timeoutMs)) {}

Reader::~Reader() {
    stop();
}

Metadata Reader::read(const std::string& path) {
    const LookPtr file = lookAt(path);
    return file ? impl_->read(file, nullptr) : Metadata{};
}

Metadata Reader::read(const LookPtr& file, std::string* failure) {
    return impl_->read(file, failure);
}

void Reader::prepare(const std::vector<LookPtr>& files) {
    impl_->prepare(files);
}

void Reader::withdraw(const std::vector<LookPtr>& files) {
    impl_->withdraw(files);
}

void Reader::stop() {
    impl_->stop();
}

int Reader::processId() const {
    return int(impl_->pidSeen.load());
}

} // namespace app::Exif
