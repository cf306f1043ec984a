// The metadata tool kept running between reads.
//
// The tool reads its arguments one per line from its standard input and answers each group that
// ends with "-executeN" with its output and a line "{readyN}". The reader's own thread starts the
// tool, writes the requests and reads the answers; callers hand it a path and wait. Because the
// tool is started by that thread and the kernel kills it when its starting thread ends
// (PR_SET_PDEATHSIG), a tool is never left behind, waiting for requests that will not come, by an
// application that ended without stopping it. The tool runs confined (Exif.h): what it can read is
// fixed when it starts, so a file outside the files it can read starts it again; its CPU time is
// bounded per file from here, by its soft limit, which it cannot change.

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
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace app::Exif {

namespace {

using Clock = std::chrono::steady_clock;

/// How long a tool that is asked to end may take before it is killed.
constexpr int kEndWaitMs = 1000;

/// A path that the tool's argument lines carry unchanged: every line is one argument, with its
/// end of line (and blanks at its start) taken off.
bool fitsOnALine(const std::string& path) {
    return !path.empty() && path.find_first_of("\r\n") == std::string::npos && path.front() == '/';
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

bool fits(const std::vector<ReadableFile>& files) {
    size_t bytes = 0;
    for (const ReadableFile& file : files)
        bytes += sizeof("--read") + file.path.size() + 1 + 2 * sizeof(char*);
    return files.size() <= kMaxFiles && bytes <= maxFileBytes();
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

} // namespace

struct Reader::Impl {
    struct Request {
        std::string path;
        Metadata answer;
        bool done = false;
    };

    /// One running tool: its process, the socket it reads its arguments from and the pipe it
    /// writes its answers to.
    struct Process {
        pid_t pid = 0;
        int input = -1;
        int output = -1;
    };

    /// How a request to the running tool ended.
    enum class Outcome { Answered, Died, TimedOut, Stopped, TooLong };

    Impl(QString toolPath, int timeoutMs) : tool(std::move(toolPath)), timeoutMs(timeoutMs) {
        wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }
    ~Impl() {
        if (wake >= 0)
            ::close(wake);
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
        std::lock_guard lock(mutex);
        if (stopping)
            return;
        if (!thread.joinable())
            thread = std::thread([this] { run(); });
        startWanted = true;
        plannedPaths = paths;
        changed.notify_all();
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
            std::vector<std::string> paths;
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return stopping || !queue.empty() || startWanted; });
                if (stopping) {
                    // Whoever still waits gets an empty answer.
                    for (auto& waiting : queue)
                        waiting->done = true;
                    queue.clear();
                    changed.notify_all();
                    break;
                }
                startNow = std::exchange(startWanted, false);
                paths = std::move(plannedPaths);
                plannedPaths.clear();
                if (!queue.empty()) {
                    request = queue.front();
                    queue.pop_front();
                }
            }
            if (startNow)
                plan(paths);
            if (!request)
                continue;
            Metadata answer;
            try {
                answer = answerFor(request->path);
            } catch (const std::exception&) {
                // Out of memory: no metadata for that file, and a tool that may be half-way
                // through its answer is not asked again.
                end(false);
            }
            std::lock_guard lock(mutex);
            request->answer = std::move(answer);
            request->done = true;
            changed.notify_all();
        }
        end(true);
    }

    /// `paths`, the files about to be read: the tool starts able to read them (as many as fit),
    /// unless it runs and can already.
    void plan(const std::vector<std::string>& paths) {
        if (oneShot)
            return;
        // Without Landlock the tool reads what its user can, whatever files it was given.
        if (!paths.empty() && sandbox::landlockVersion() > 0) {
            planned.clear();
            for (const std::string& path : paths)
                if (auto file = readableFile(path); file && !contains(planned, *file))
                    planned.push_back(std::move(*file));
        }
        std::vector<ReadableFile> wanted;
        for (const ReadableFile& file : planned) {
            wanted.push_back(file);
            if (!fits(wanted)) {
                wanted.pop_back();
                break;
            }
        }
        if (process.pid && std::all_of(wanted.begin(), wanted.end(),
                                       [&](const ReadableFile& file) { return contains(readable, file); }))
            return;
        end(true);
        start(wanted);
    }

    static bool contains(const std::vector<ReadableFile>& files, const ReadableFile& file) {
        return std::any_of(files.begin(), files.end(), [&](const ReadableFile& f) { return f.isSame(file); });
    }

    /// Whether the running tool can read `file` (nothing: no rule needed, or none to be had).
    bool canRead(const std::optional<ReadableFile>& file) const { return !file || contains(readable, *file); }

    /// The files of the running tool and `file`; when they are too many, `file` and those planned
    /// after it.
    std::vector<ReadableFile> filesWith(const std::optional<ReadableFile>& file) const {
        std::vector<ReadableFile> next = readable;
        if (canRead(file))
            return next;
        next.push_back(*file);
        if (fits(next))
            return next;
        next = {*file};
        const auto at = std::find_if(planned.begin(), planned.end(),
                                     [&](const ReadableFile& f) { return f.isSame(*file); });
        for (auto it = at == planned.end() ? at : std::next(at); it != planned.end(); ++it) {
            next.push_back(*it);
            if (!fits(next)) {
                next.pop_back();
                break;
            }
        }
        return next;
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
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (process.pid && (!canRead(file) || !limitCpu()))
                end(true);
            if (!process.pid && (!start(filesWith(file)) || !limitCpu()))
                return readExifMetadata(path, tool, timeoutMs);
            QByteArray output;
            switch (ask(*argument, output)) {
            case Outcome::Answered:
                answered = true;
                return decodeToolOutput(output);
            case Outcome::Stopped:
                end(false);
                return {};
            case Outcome::TimedOut:
                end(false);
                return failedRead(path, ToolFailure::NoAnswer, timeoutMs);
            case Outcome::TooLong:
                // Stopped where it is: the rest of its answer is not wanted.
                end(false);
                return failedRead(path, ToolFailure::OutputTooLong);
            case Outcome::Died: {
                // Its limits end it on that file's account: the file is not tried again.
                const int status = end(false);
                if (WIFSIGNALED(status) && WTERMSIG(status) == SIGXCPU)
                    return failedRead(path, ToolFailure::OutOfTime);
                // Perl ends with status 1 when an allocation fails.
                if (WIFEXITED(status) && WEXITSTATUS(status) == 1)
                    return failedRead(path, ToolFailure::OutOfMemory);
                if (!answered) {
                    // It never answered: not a tool that stays open. Run it once per read.
                    oneShot = true;
                    return readExifMetadata(path, tool, timeoutMs);
                }
                break; // started again for one more try: the file may not be what killed it
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

    /// Starts the tool, able to read `files`; false when it cannot be started.
    bool start(const std::vector<ReadableFile>& files) {
        readable = files;
        std::vector<std::string> paths;
        for (const ReadableFile& file : files)
            paths.push_back(file.path);
        const QStringList command =
            confinedCommand(tool, paths, 1 + kToolCpuSecondsPerFile, kToolCpuCeilingSeconds,
                            {"-stay_open", "True", "-@", "-"});
        if (command.isEmpty())
            return false;
        std::vector<std::string> strings;
        for (const QString& argument : command)
            strings.push_back(argument.toStdString());
        std::vector<char*> argv;
        for (std::string& string : strings)
            argv.push_back(string.data());
        argv.push_back(nullptr);
        int input[2], output[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, input) != 0)
            return false;
        if (::pipe2(output, O_CLOEXEC) != 0) {
            ::close(input[0]);
            ::close(input[1]);
            return false;
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
            return false;
        }
        process = {pid, input[0], output[0]};
        pidSeen = pid;
        return true;
    }

    /// Asks the running tool for the metadata of `path` and reads its answer into `output`.
    Outcome ask(const QString& path, QByteArray& output) {
        const std::string id = std::to_string(++lastId);
        // One argument a line.
        const std::string request = toolArguments(path).join('\n').toStdString() + "\n-execute" + id + "\n";
        const QByteArray marker = QByteArray::fromStdString("{ready" + id + "}\n");
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);

        for (size_t sent = 0; sent < request.size();) {
            // MSG_NOSIGNAL: a tool that has died must not take the application with it (SIGPIPE).
            const auto n = ::send(process.input, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return Outcome::Died;
            sent += size_t(n);
        }
        char buffer[65536];
        for (;;) {
            if (output.endsWith(marker)) {
                output.chop(marker.size());
                return Outcome::Answered;
            }
            pollfd fds[2] = {{process.output, POLLIN, 0}, {wake, POLLIN, 0}};
            const int ready = ::poll(fds, 2, remainingMs(deadline));
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready < 0)
                return Outcome::Died;
            if (fds[1].revents & POLLIN)
                return Outcome::Stopped;
            if (ready == 0)
                return Outcome::TimedOut;
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

    /// Ends the running tool: asks it to end when `gently` (waiting a little for it), else, or
    /// when it does not, kills it; then collects it. Its wait status.
    int end(bool gently) {
        if (!process.pid)
            return 0;
        bool ended = false;
        if (gently) {
            static const char bye[] = "-stay_open\nFalse\n";
            if (::send(process.input, bye, sizeof bye - 1, MSG_NOSIGNAL) == ssize_t(sizeof bye - 1)) {
                // It has gone when its end of the answers pipe closes.
                const auto deadline = Clock::now() + std::chrono::milliseconds(kEndWaitMs);
                char buffer[4096];
                for (;;) {
                    pollfd fd{process.output, POLLIN, 0};
                    const int ready = ::poll(&fd, 1, remainingMs(deadline));
                    if (ready < 0 && errno == EINTR)
                        continue;
                    if (ready <= 0)
                        break;
                    const auto n = ::read(process.output, buffer, sizeof buffer);
                    if (n < 0 && errno == EINTR)
                        continue;
                    if (n <= 0) {
                        ended = true;
                        break;
                    }
                }
            }
        }
        if (!ended)
            ::kill(process.pid, SIGKILL);
        ::close(process.input);
        ::close(process.output);
        int status = 0;
        while (::waitpid(process.pid, &status, 0) < 0 && errno == EINTR) {
        }
        process = {};
        pidSeen = 0;
        return status;
    }

    const QString tool;
    const int timeoutMs;
    int wake = -1;

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::shared_ptr<Request>> queue; // guarded by mutex
    bool stopping = false;                      // guarded by mutex
    bool startWanted = false;                   // guarded by mutex
    std::vector<std::string> plannedPaths;      // guarded by mutex
    std::thread thread;                         // guarded by mutex

    // The reader's thread only.
    Process process;
    std::vector<ReadableFile> readable; ///< what the tool (last started) can read
    std::vector<ReadableFile> planned;  ///< the files about to be read, in their order
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

void Reader::stop() {
    impl_->stop();
}

int Reader::processId() const {
    return int(impl_->pidSeen.load());
}

} // namespace app::Exif
