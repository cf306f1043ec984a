// The metadata tool kept running between reads.
//
// The tool reads its arguments one per line from its standard input and answers each group that
// ends with "-executeN" with its output and a line "{readyN}". The reader's own thread starts the
// tool, writes the requests and reads the answers; callers hand it a path and wait. Because the
// tool is started by that thread and the kernel kills it when its starting thread ends
// (PR_SET_PDEATHSIG), a tool is never left behind, waiting for requests that will not come, by an
// application that ended without stopping it.

#include "app/Exif.h"

#include <QFile>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

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

    void prepare() {
        if (tool.isEmpty())
            return;
        std::lock_guard lock(mutex);
        if (stopping)
            return;
        if (!thread.joinable())
            thread = std::thread([this] { run(); });
        startWanted = true;
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
                startWanted = false;
                if (!queue.empty()) {
                    request = queue.front();
                    queue.pop_front();
                }
            }
            if (!request) {
                // Asked to be ready: the tool starts now, while the files are being opened.
                if (!process.pid && !oneShot)
                    start();
                continue;
            }
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

    Metadata answerFor(const std::string& path) {
        // Paths that cannot be written as one argument line, and tools that cannot stay open,
        // get a run of their own, with the path as a real argument.
        const auto argument = toolArgument(path);
        if (!argument)
            return {};
        const std::string absolute = argument->toStdString();
        if (oneShot || !fitsOnALine(absolute))
            return readExifMetadata(path, tool, timeoutMs);
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (!process.pid && !start())
                return readExifMetadata(path, tool, timeoutMs);
            QByteArray output;
            switch (ask(*argument, output)) {
            case Outcome::Answered:
                answered = true;
                return decodeToolOutput(output);
            case Outcome::TimedOut:
            case Outcome::Stopped:
                end(false);
                return {};
            case Outcome::TooLong:
                // Stopped where it is: the rest of its answer is not wanted.
                end(false);
                return outputTooLong(path);
            case Outcome::Died:
                end(false);
                if (!answered) {
                    // It never answered: not a tool that stays open. Run it once per read.
                    oneShot = true;
                    return readExifMetadata(path, tool, timeoutMs);
                }
                break; // started again for one more try: the file may not be what killed it
            }
        }
        return {};
    }

    /// Starts the tool; false when it cannot be started.
    bool start() {
        const QByteArray program = QFile::encodeName(tool);
        int input[2], output[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, input) != 0)
            return false;
        if (::pipe2(output, O_CLOEXEC) != 0) {
            ::close(input[0]);
            ::close(input[1]);
            return false;
        }
        const char* argv[] = {program.constData(), "-stay_open", "True", "-@", "-", nullptr};
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
            ::execv(argv[0], const_cast<char* const*>(argv));
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
    /// when it does not, kills it; then collects it.
    void end(bool gently) {
        if (!process.pid)
            return;
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
        while (::waitpid(process.pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        process = {};
        pidSeen = 0;
    }

    const QString tool;
    const int timeoutMs;
    int wake = -1;

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::shared_ptr<Request>> queue; // guarded by mutex
    bool stopping = false;                      // guarded by mutex
    bool startWanted = false;                   // guarded by mutex
    std::thread thread;                         // guarded by mutex

    // The reader's thread only.
    Process process;
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

void Reader::prepare() {
    impl_->prepare();
}

void Reader::stop() {
    impl_->stop();
}

int Reader::processId() const {
    return int(impl_->pidSeen.load());
}

} // namespace app::Exif
