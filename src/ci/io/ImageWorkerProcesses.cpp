// How reader processes are started, limited and ended (see ImageWorkerProcesses.h).

#include "ImageWorkerProcesses.h"
#include "ImageWorkerThreadGate.h"

#include "ImageLibraryAbi.h"

#include "ci/core/Bitmap.h"
#include "ci/core/Console.h"
#include "ci/core/Memory.h"
#include "sandbox/Sandbox.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#ifndef GW_IMAGELIB_WORKER_BUILD_PATH
#define GW_IMAGELIB_WORKER_BUILD_PATH ""
#endif

namespace ci::io::imagelib {

namespace {

using namespace worker;
using Clock = std::chrono::steady_clock;

constexpr const char* workerName = "gw_imagelib_worker";
constexpr int64_t kMB = int64_t(1) << 20;
/// Readers are copies of one starter and share its address layout: after this many, or after any
/// reader that ended otherwise than asked, the next reader is a copy of a new starter, so that no
/// batch of files can probe one layout without end. A new starter costs a third of a second of
/// loading, which it spends while the readers of the last one still work.
constexpr int readersPerStarter = 256;

std::mutex settingsMutex;
WorkerLimits limits;
uint32_t testHooks = 0; ///< Fork::hooks for the next reader

uint32_t currentHooks() {
    std::lock_guard lock(settingsMutex);
    return testHooks;
}

std::string directoryOf(const std::string& file) {
    const size_t slash = file.rfind('/');
    return slash == std::string::npos ? std::string() : file.substr(0, slash + 1);
}

/// Where the reader program is: beside the program or library that holds this code, then where the
/// build put it; empty when nowhere.
const std::string& workerPath() {
    static const std::string path = [] {
        std::vector<std::string> paths;
        Dl_info info{};
        if (dladdr(reinterpret_cast<void*>(&workerPath), &info) && info.dli_fname && info.dli_fname[0] == '/')
            paths.push_back(directoryOf(info.dli_fname) + workerName);
        char exe[PATH_MAX];
        if (const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof(exe) - 1); n > 0) {
            exe[n] = '\0';
            paths.push_back(directoryOf(exe) + workerName);
        }
        if (std::strlen(GW_IMAGELIB_WORKER_BUILD_PATH) > 0)
            paths.emplace_back(GW_IMAGELIB_WORKER_BUILD_PATH);
        for (const std::string& p : paths)
            if (::access(p.c_str(), X_OK) == 0)
                return p;
        return std::string();
    }();
    return path;
}

/// Runs jobs on one thread that lives as long as the process: a process started from a thread
/// that ends would be killed with it (the parent death signal follows the thread that started it).
class Spawner {
  public:
    static Spawner& get() {
        // Never destroyed: the thread waits on it until the process ends.
        static Spawner* const spawner = new Spawner;
        return *spawner;
    }
    template <class F> auto run(F f) -> decltype(f()) {
        // Shared with the job, which may still be finishing when the answer is taken.
        auto answer = std::make_shared<std::promise<decltype(f())>>();
        auto result = answer->get_future();
        {
            std::lock_guard lock(mutex_);
            jobs_.emplace_back([answer, f = std::move(f)]() mutable { answer->set_value(f()); });
        }
        wake_.notify_one();
        return result.get();
    }

  private:
    Spawner() {
        std::thread([this] {
            for (;;) {
                std::function<void()> job;
                {
                    std::unique_lock lock(mutex_);
                    wake_.wait(lock, [this] { return !jobs_.empty(); });
                    job = std::move(jobs_.front());
                    jobs_.pop_front();
                }
                job();
            }
        }).detach();
    }
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
};

/// The environment of a reader: that of every process that parses files (what its libraries need
/// to find their files and fonts, nothing of the user's session), and Qt's plug-ins' path.
std::vector<std::string> readerEnvironment() {
    std::vector<std::string> env = sandbox::environment({"QT_PLUGIN_PATH"});
    // Plug-ins that draw (SVG) need a Qt application, never a screen. The library reads on the
    // reader's one thread: a reader starts no threads, whose stacks and heaps its limit would count.
    env.emplace_back("QT_QPA_PLATFORM=offscreen");
    env.emplace_back("OPENIMAGEIO_THREADS=1");
#ifdef GW_SANITIZED
    // The program's own sanitizer settings would have a reader's leaks reported and its faults
    // caught: they are answers here, and end the process by their signal as they would without the
    // sanitizers. The address space cannot be limited under AddressSanitizer: its allocator's is,
    // to the budget (a reader process starts afresh for each file there). ThreadSanitizer counts
    // its own maps there too: its readers have only a fixed bound.
    for (const char* name : {"ASAN_OPTIONS", "TSAN_OPTIONS", "UBSAN_OPTIONS"}) {
        std::string value = std::getenv(name) ? std::getenv(name) : "";
        std::string extra = "handle_segv=0:handle_sigbus=0:handle_abort=0:handle_sigfpe=0:handle_sigill=0";
        if (name[0] == 'A')
            extra += ":mmap_limit_mb=" + std::to_string(memory::limit() / kMB + 256) +
                     ":detect_leaks=0:abort_on_error=0";
        else if (name[0] == 'T')
            extra += ":report_signal_unsafe=0";
        else
            extra.clear();
        value += (value.empty() || extra.empty() ? "" : ":") + extra;
        if (!value.empty())
            env.push_back(std::string(name) + "=" + value);
    }
#endif
    return env;
}

/// Starts the reader program on the long-lived thread, with `socket` as its descriptor 3 and
/// `memory` (when one) as 4; 0 with `pid` set, else the error number.
int spawn(const std::vector<const char*>& arguments, int socket, int memory, pid_t& pid) {
    return Spawner::get().run([&] {
        const std::string& path = workerPath();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        // Out of the way of descriptors 3 and 4 first, which either may be now.
        const int highSocket = ::fcntl(socket, F_DUPFD_CLOEXEC, 10);
        const int highMemory = memory >= 0 ? ::fcntl(memory, F_DUPFD_CLOEXEC, 10) : -1;
        posix_spawn_file_actions_adddup2(&actions, highSocket, socketFd);
        if (highMemory >= 0)
            posix_spawn_file_actions_adddup2(&actions, highMemory, sharedFd);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        for (int sig : {SIGPIPE, SIGXCPU, SIGXFSZ, SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL, SIGTERM, SIGINT,
                        SIGHUP, SIGCHLD})
            sigaddset(&defaults, sig);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

        const std::string parent = std::to_string(::getpid());
        std::vector<char*> argv = {const_cast<char*>(path.c_str()), const_cast<char*>("--parent"),
                                   const_cast<char*>(parent.c_str())};
        for (const char* a : arguments)
            argv.push_back(const_cast<char*>(a));
        argv.push_back(nullptr);
        std::vector<std::string> env = readerEnvironment();
        std::vector<char*> envp;
        for (std::string& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);

        const int status = ::posix_spawn(&pid, path.c_str(), &actions, &attributes, argv.data(), envp.data());
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
        ::close(highSocket);
        if (highMemory >= 0)
            ::close(highMemory);
        return status;
    });
}

/// The reader processes alive now, and the starter: ids the starter cannot name as a new reader.
/// Never destroyed: the thread that waits for ended readers uses them until the process ends.
struct Known {
    std::mutex mutex;
    std::set<pid_t> pids;
};
Known& knownProcesses() {
    static Known* const known = new Known;
    return *known;
}

void remember(pid_t pid) {
    Known& known = knownProcesses();
    std::lock_guard lock(known.mutex);
    known.pids.insert(pid);
}
void forget(pid_t pid) {
    Known& known = knownProcesses();
    std::lock_guard lock(known.mutex);
    known.pids.erase(pid);
}

/// Whether `pid` may be taken for a new reader: a child of this process that has not been waited
/// for (so that its id cannot have gone to another process), and none of the known ones.
bool isNewChild(pid_t pid) {
    if (pid <= 0)
        return false;
    {
        Known& known = knownProcesses();
        std::lock_guard lock(known.mutex);
        if (known.pids.count(pid))
            return false;
    }
    siginfo_t info{};
    return ::waitid(P_PID, id_t(pid), &info, WEXITED | WSTOPPED | WCONTINUED | WNOHANG | WNOWAIT) == 0;
}

/// Ends a child process and waits for it; its exit status.
int endProcess(pid_t pid) {
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    forget(pid);
    return status;
}

/// The starter process (see ImageLibWorker.cpp), started with the first reader process: it loads
/// the library once, and each reader process after it is a copy of it, ready at once. Without it
/// (under the sanitizers, whose runtimes do not survive such a copy, or when it fails), each reader
/// process starts the program anew.
class Starter {
  public:
    static Starter& get() {
        static Starter* const starter = new Starter;
        return *starter;
    }

    /// A new reader process on `socket` and `memory`: its id, or -1 with errno set. A starter
    /// that fails or answers wrongly is ended, and a new one asked once more.
    pid_t start(int socket, int memory, uint32_t hooks) {
        std::lock_guard lock(mutex_);
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (pid_ < 0 && !launch())
                return -1;
            if (const pid_t pid = fork(socket, memory, hooks); pid > 0) {
                remember(pid);
                if (++started_ >= readersPerStarter)
                    replace();
                return pid;
            }
            drop();
        }
        errno = ECHILD;
        return -1;
    }

    /// The next reader is a copy of a new starter.
    void renew() {
        std::lock_guard lock(mutex_);
        if (pid_ > 0)
            replace();
    }

  private:
    /// Asks the starter for a copy of itself on `socket` and `memory`: its id, or -1.
    pid_t fork(int socket, int memory, uint32_t hooks) {
        Fork request;
        request.hooks = hooks;
        const int fds[2] = {socket, memory};
        Forked answer;
        // The first answer waits for the library to load.
        pollfd p{control_, POLLIN, 0};
        if (!sendPacket(control_, &request, sizeof(request), fds, 2) ||
            ::poll(&p, 1, int(currentLimits().answerSeconds * 1000)) != 1 ||
            ::recv(control_, &answer, sizeof(answer), 0) != ssize_t(sizeof(answer)) ||
            !isNewChild(answer.pid))
            return -1;
        return answer.pid;
    }

    bool launch() {
        int sockets[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sockets) != 0)
            return false;
        pid_t pid = -1;
        const int status = spawn({"--starter"}, sockets[1], -1, pid);
        ::close(sockets[1]);
        if (status != 0) {
            ::close(sockets[0]);
            return false;
        }
        pid_ = pid;
        remember(pid);
        control_ = sockets[0];
        started_ = 0;
        return true;
    }

    void drop() {
        ::close(control_);
        control_ = -1;
        endProcess(pid_);
        pid_ = -1;
    }

    /// A new starter, loading the library while the last one's readers work.
    void replace() {
        drop();
        launch();
    }

    std::mutex mutex_;
    pid_t pid_ = -1;
    int control_ = -1;
    int started_ = 0;
};

/// The words for a reader process that has ended.
std::string endedReason(int status, bool unanswered) {
    const std::string prefix = "The image could not be read: its reader ";
    if (unanswered)
        return prefix + "stopped answering";
    if (WIFSIGNALED(status)) {
        const int sig = WTERMSIG(status);
        if (sig == SIGXCPU)
            return prefix + "took too long (signal " + std::to_string(sig) + ")";
        return prefix + "stopped (signal " + std::to_string(sig) + ")";
    }
    if (WIFEXITED(status))
        return prefix + "stopped (exit status " + std::to_string(WEXITSTATUS(status)) + ")";
    return prefix + "stopped";
}

/// Shared memories whose readers have ended, kept for the next readers: their pages, there
/// already, cost a reader nothing to write again, where a new memory's cost as much as a fast read.
/// Only the memory of a reader that has been waited for comes back, cleared on the thread that
/// waited for it, so no reader sees another's;
/// one larger than a band is not kept, and a kept one ends after a while unused.
class Memories {
  public:
    static Memories& get() {
        // Never destroyed: its thread waits on it until the process ends.
        static Memories* const memories = new Memories;
        return *memories;
    }

    /// A shared memory; one that is not valid (fd() < 0) with errno set when none can be made.
    SharedMemory take() {
        {
            std::lock_guard lock(mutex_);
            if (!kept_.empty()) {
                SharedMemory last = std::move(kept_.back().memory);
                kept_.pop_back();
                return last;
            }
        }
        SharedMemory memory;
        if (!memory.make())
            return SharedMemory();
        return memory;
    }

    /// Keeps the memory of an ended reader for the next, cleared: what a reader finds in its
    /// memory before it writes is nothing of another file's.
    void give(SharedMemory memory) {
        if (memory.size() > bandBytes)
            return;
        memory.clear();
        std::lock_guard lock(mutex_);
        if (kept_.size() >= std::max<size_t>(2, std::thread::hardware_concurrency()))
            return;
        kept_.push_back(Kept{std::move(memory), Clock::now()});
        if (!watching_) {
            watching_ = true;
            std::thread([this] { endUnused(); }).detach();
        }
    }

  private:
    static constexpr std::chrono::seconds unusedTime{30};

    struct Kept {
        SharedMemory memory;
        Clock::time_point since;
    };

    [[noreturn]] void endUnused() {
        for (;;) {
            std::this_thread::sleep_for(unusedTime / 3);
            std::vector<Kept> unused;
            std::lock_guard lock(mutex_);
            const auto now = Clock::now();
            for (auto it = kept_.begin(); it != kept_.end();)
                if (now - it->since >= unusedTime) {
                    unused.push_back(std::move(*it));
                    it = kept_.erase(it);
                } else {
                    ++it;
                }
        }
    }

    std::mutex mutex_;
    bool watching_ = false;
    std::vector<Kept> kept_; ///< the most recently used last
};

/// Ends reader processes, which are waited for on a thread of its own (taking down a process that
/// has mapped a few hundred libraries takes milliseconds, which the next file need not wait), and
/// then gives their memory to the next readers.
class Reaper {
  public:
    static Reaper& get() {
        // Never destroyed: its thread waits on it until the process ends.
        static Reaper* const reaper = new Reaper;
        return *reaper;
    }

    void end(pid_t pid, SharedMemory memory) {
        ::kill(pid, SIGKILL);
        {
            std::lock_guard lock(mutex_);
            ending_.push_back(Ending{pid, std::move(memory)});
        }
        wake_.notify_one();
    }

  private:
    Reaper() {
        std::thread([this] {
            for (;;) {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return !ending_.empty(); });
                Ending next = std::move(ending_.front());
                ending_.pop_front();
                lock.unlock();
                while (::waitpid(next.pid, nullptr, 0) < 0 && errno == EINTR) {
                }
                forget(next.pid);
                Memories::get().give(std::move(next.memory));
            }
        }).detach();
    }

    struct Ending {
        pid_t pid;
        SharedMemory memory;
    };
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Ending> ending_;
};

/// Says once on the console when the kernel has no Landlock: readers then run with the rest of
/// their confinement, and may read what the user may.
void noteConfinement() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (sandbox::landlockVersion() == 0)
            console("Image readers run without Landlock, which this kernel does not offer: their system "
                    "calls and limits are confined, the files they may read are not");
    });
}

void renewReaders();

} // namespace

SharedMemory& SharedMemory::operator=(SharedMemory&& other) noexcept {
    std::swap(fd_, other.fd_);
    std::swap(size_, other.size_);
    std::swap(map_, other.map_);
    std::swap(written_, other.written_);
    return *this;
}

SharedMemory::~SharedMemory() {
    if (map_)
        ::munmap(map_, size_);
    if (fd_ >= 0)
        ::close(fd_);
}

bool SharedMemory::make() {
    fd_ = ::memfd_create("gw-image-samples", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    return fd_ >= 0 && ::fcntl(fd_, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_SEAL) == 0;
}

bool SharedMemory::grow(size_t bytes) {
    if (bytes <= size_)
        return true;
    if (::ftruncate(fd_, off_t(bytes)) != 0)
        return false;
    void* map = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (map == MAP_FAILED)
        return false;
    if (map_)
        ::munmap(map_, size_);
    map_ = static_cast<uint8_t*>(map);
    size_ = bytes;
    return true;
}

void SharedMemory::clear() {
    if (map_)
        std::memset(map_, 0, written_);
    written_ = 0;
}

bool SharedMemory::copy(void* out, size_t bytes) const {
    if (bytes > size_ || !map_)
        return false;
    std::memcpy(out, map_, bytes);
    return true;
}

std::unique_ptr<Worker> Worker::startNow(uint32_t hooks, std::string& error) {
    const std::string& path = workerPath();
    if (path.empty()) {
        error = std::string("The image reader ") + workerName + " was not found beside the program";
        return nullptr;
    }
    noteConfinement();
    int child = -1;
    std::unique_ptr<Worker> worker = make(child, error);
    if (!worker)
        return nullptr;
    pid_t pid = -1;
#ifdef GW_SANITIZED
    // Started afresh: the sanitizers' runtimes do not survive a copy of the starter.
    std::vector<const char*> arguments;
    if (hooks & hookFaults)
        arguments.push_back("--test-hooks");
    const int status = spawn(arguments, child, worker->memory_.fd(), pid);
    if (status == 0)
        remember(pid);
    else
        errno = status;
#else
    pid = Starter::get().start(child, worker->memory_.fd(), hooks);
#endif
    ::close(child);
    if (pid <= 0) {
        error = std::string("The image reader could not be started: ") + std::strerror(errno);
        return nullptr;
    }
    worker->pid_ = pid;
    return worker;
}

Worker::~Worker() {
    ::close(socket_);
    if (file_ >= 0)
        ::close(file_);
    // Its file is read, or failed: nothing it holds is worth waiting for. Its memory goes to
    // another reader only once it has ended.
    if (pid_ > 0)
        Reaper::get().end(std::exchange(pid_, -1), std::move(memory_));
    else if (ended_)
        Memories::get().give(std::move(memory_));
    memory::release(share_);
    if (abnormal_)
        renewReaders();
}

void Worker::answeredWrongly() {
    if (!alive())
        return;
    kill();
    failure_ = imagelib::answeredWrongly;
}

bool Worker::call(const Request& request, int fd, double seconds, Reply& reply, std::string& text,
                  const Expected& expected) {
    if (!alive() || !send(request, fd))
        return false;
    auto deadline =
        std::min(deadline_, Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                               std::chrono::duration<double>(std::max(seconds, 0.0))));
    std::vector<char> packet(maxMessage);
    bool confined = false;
    for (;;) {
        // Whole milliseconds, rounded up: a wait that ends early only polls again.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{socket_, POLLIN, 0};
        const int ready = ::poll(&p, 1, int(std::clamp<int64_t>(left.count(), 0, INT_MAX)));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0 && Clock::now() < deadline)
            continue;
        if (ready == 0) {
            // A large file on a slow disk or share: more time while the medium delivers it, looked
            // at again five times a second.
            if (const auto allowed = mediumAllows(); allowed > Clock::now()) {
                deadline = std::min(allowed, Clock::now() + std::chrono::milliseconds(200));
                if (deadline_ != Clock::time_point::max())
                    deadline_ = std::max(deadline_, deadline);
                continue;
            }
        }
        if (ready == 0) {
            kill();
            failure_ = deadline == deadline_ && deadline_ != Clock::time_point::max()
                           ? "The image could not be read: its reader took too long"
                           : endedReason(0, true);
            return false;
        }
        iovec io{packet.data(), packet.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(sizeof(int))] = {};
        msghdr message{};
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof(control);
        const ssize_t n = ::recvmsg(socket_, &message, MSG_CMSG_CLOEXEC);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ended();
            return false;
        }
        ucred sender{};
        int descriptor = -1;
        bool other = false;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS &&
                c->cmsg_len == CMSG_LEN(sizeof(ucred)) && sender.pid == 0)
                std::memcpy(&sender, CMSG_DATA(c), sizeof(ucred));
            else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS &&
                     c->cmsg_len == CMSG_LEN(sizeof(int)) && descriptor < 0)
                std::memcpy(&descriptor, CMSG_DATA(c), sizeof(int));
            else
                other = true;
        }
        if (size_t(n) >= sizeof(Reply))
            std::memcpy(&reply, packet.data(), sizeof(Reply));
        // Only the process itself answers, in whole packets, with nothing but words; but for the
        // listener of its threads, which it hands over once it is confined, before it has read a
        // byte of its file.
        const bool confinement = request.op == Open && !confined && size_t(n) >= sizeof(Reply) &&
                                 reply.status == Confined && isThreadListener(descriptor);
        if (sender.pid != pid_ || size_t(n) < sizeof(Reply) ||
            (message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) || other || (descriptor >= 0 && !confinement)) {
            if (descriptor >= 0)
                ::close(descriptor);
            answeredWrongly();
            return false;
        }
        if (request.op == Open && !confined && reply.status == Confined) {
            confined = true;
            if (descriptor >= 0)
                gateThreads(descriptor);
            continue;
        }
        // A reader says that it is confined before it answers with what it read.
        if (!isHonest(request, reply, expected) ||
            (request.op == Open && reply.status != Failed && !confined)) {
            answeredWrongly();
            return false;
        }
        text = plainText(std::string(packet.data() + sizeof(Reply), size_t(n) - sizeof(Reply)));
        return true;
    }
}

bool Worker::allow(double cpuSeconds, int64_t memory) {
    if (memory > share_) {
        while (!memory::tryAcquire(memory - share_)) {
            if (memory > memory::limit() || Clock::now() >= deadline_)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        raise(RLIMIT_AS, uint64_t(memory - share_));
        share_ = memory;
    }
    if (cpuSeconds > 0)
        raise(RLIMIT_CPU, uint64_t(std::ceil(cpuSeconds)));
    return true;
}

void Worker::watchReading(int fd) {
    if (file_ < 0)
        file_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
}

ReaderClock::time_point Worker::mediumAllows() {
    if (file_ < 0 || !alive())
        return {};
    if (!reading_) {
        // The first deadline passed: from now on the file's medium sets the pace.
        waitingSince_ = Clock::now();
        reading_ = ReadThrough::start(file_);
        if (!reading_)
            return {};
    }
    return reading_->allowance(waitingSince_);
}

/// A worker without a process yet: its socket (whose other end, for the process, is `child`)
/// and its shared memory. Null with the reason in `error`.
std::unique_ptr<Worker> Worker::make(int& child, std::string& error) {
    int sockets[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sockets) != 0) {
        error = std::string("The image reader could not be started: ") + std::strerror(errno);
        return nullptr;
    }
    // Each answer then carries the id of the process that sent it, as the kernel knows it.
    const int on = 1;
    ::setsockopt(sockets[0], SOL_SOCKET, SO_PASSCRED, &on, sizeof(on));
    SharedMemory memory = Memories::get().take();
    if (memory.fd() < 0) {
        error = std::string("The image reader could not be started: ") + std::strerror(errno);
        ::close(sockets[0]);
        ::close(sockets[1]);
        return nullptr;
    }
    child = sockets[1];
    return std::unique_ptr<Worker>(new Worker(sockets[0], std::move(memory)));
}

void Worker::raise(int resource, uint64_t by) {
    rlimit now{};
    if (::prlimit(pid_, __rlimit_resource(resource), nullptr, &now) != 0 || now.rlim_cur == RLIM_INFINITY)
        return;
    rlimit next = now;
    next.rlim_cur = std::min<uint64_t>(now.rlim_max, now.rlim_cur + by);
    ::prlimit(pid_, __rlimit_resource(resource), &next, nullptr);
}

bool Worker::send(const Request& request, int fd) {
    if (sendPacket(socket_, &request, sizeof(Request), &fd, fd >= 0 ? 1 : 0))
        return true;
    ended();
    return false;
}

/// Notes how the process ended, or is ending: its end of the socket has closed.
void Worker::ended() {
    if (!alive())
        return;
    const pid_t pid = std::exchange(pid_, -1);
    failure_ = endedReason(endProcess(pid), false);
    ended_ = abnormal_ = true;
}

/// Ends the process now; what it did is the caller's to say.
void Worker::kill() {
    if (pid_ > 0) {
        endProcess(std::exchange(pid_, -1));
        ended_ = true;
    }
    abnormal_ = true;
}

namespace {

/// One reader started ahead of its file, so that a file need not wait for its reader to start: a
/// reader that has been given no file yet, and so knows nothing of any.
class Spare {
  public:
    static Spare& get() {
        // Never destroyed: its thread waits on it until the process ends.
        static Spare* const spare = new Spare;
        return *spare;
    }

    /// The spare reader when it obeys `hooks`, null when there is none; another is started.
    std::unique_ptr<Worker> take(uint32_t hooks) {
        std::unique_ptr<Worker> taken;
        {
            std::lock_guard lock(mutex_);
            if (ready_ && hooks_ == hooks)
                taken = std::move(ready_);
            wanted_ = true;
        }
        wake_.notify_one();
        return taken;
    }

    /// Ends the spare reader: the next reader must not be a copy of the present starter, or must
    /// obey other hooks.
    void clear() {
        std::unique_ptr<Worker> gone;
        std::lock_guard lock(mutex_);
        gone = std::move(ready_);
        ++generation_;
    }

  private:
    Spare() {
        std::thread([this] {
            for (;;) {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return wanted_ && !ready_; });
                wanted_ = false;
                const uint64_t generation = generation_;
                lock.unlock();
                const uint32_t hooks = currentHooks();
                std::string error;
                std::unique_ptr<Worker> worker = Worker::startNow(hooks, error);
                lock.lock();
                if (generation == generation_) {
                    ready_ = std::move(worker);
                    hooks_ = hooks;
                } else {
                    lock.unlock(); // ended outside the lock
                    worker.reset();
                }
            }
        }).detach();
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::unique_ptr<Worker> ready_;
    uint32_t hooks_ = 0;
    bool wanted_ = false;
    uint64_t generation_ = 0;
};

/// The next reader is a copy of a new starter.
void renewReaders() {
    Spare::get().clear();
    Starter::get().renew();
}

} // namespace

std::unique_ptr<Worker> Worker::start(std::string& error) {
    const uint32_t hooks = currentHooks();
    if (std::unique_ptr<Worker> spare = Spare::get().take(hooks))
        return spare;
    return startNow(hooks, error);
}

WorkerLimits currentLimits() {
    std::lock_guard lock(settingsMutex);
    return limits;
}

int64_t openShare() {
    return std::clamp<int64_t>(memory::limit() / 16, 128 * kMB, 256 * kMB);
}

void setWorkerLimits(const WorkerLimits& l) {
    std::lock_guard lock(settingsMutex);
    limits = l;
}

void setWorkerTestHooks(bool on, bool lyingStarter) {
    {
        std::lock_guard lock(settingsMutex);
        testHooks = (on ? hookFaults : 0) | (lyingStarter ? hookLyingStarter : 0);
    }
    renewReaders();
}

} // namespace ci::io::imagelib
