// The engine's side of the reader processes (see ImageWorkerProtocol.h): each file that the image
// library or Qt's plug-ins read is read in one of them, so that no fault of a reader can end the
// program. They are started on first need and kept for the next file, as many as there are reads
// at a time.

#include "ImageLibrary.h"

#include "ImageLibraryAbi.h"
#include "ImageWorkerProtocol.h"

#include "ci/core/Bitmap.h"
#include "ci/core/Memory.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
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
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#ifndef GW_IMAGELIB_WORKER_BUILD_PATH
#define GW_IMAGELIB_WORKER_BUILD_PATH ""
#endif

extern char** environ;

namespace ci::io::imagelib {

namespace {

using namespace worker;

constexpr const char* workerName = "gw_imagelib_worker";
constexpr int64_t kMB = int64_t(1) << 20;
/// Samples travel in parts of at most this size, so that the shared memory stays small.
constexpr size_t bandBytes = size_t(16) << 20;
/// A reader may take this much CPU time per byte it hands back (20 MB a second), on top of the
/// limit of every request; the wait for an answer grows twice as fast.
constexpr double bytesPerSecond = 20.0 * 1024 * 1024;

std::mutex limitsMutex;
WorkerLimits limits;
bool testHooks = false;

WorkerLimits currentLimits() {
    std::lock_guard lock(limitsMutex);
    return limits;
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

/// What a reader process may map for a file: what the budget leaves, but never so little that an
/// ordinary file cannot be opened.
int64_t memoryAllowance() {
    return std::max<int64_t>(512 * kMB, memory::limit() - memory::inUse());
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
        for (int sig :
             {SIGPIPE, SIGXCPU, SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL, SIGTERM, SIGINT, SIGHUP, SIGCHLD})
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
        std::vector<std::string> env;
        for (char** e = environ; e && *e; ++e)
            env.emplace_back(*e);
#ifdef GW_SANITIZED
        // The program's own sanitizer settings would have a reader's leaks reported and its
        // faults caught: they are answers here, and end the process by their signal as they
        // would without the sanitizers.
        for (const char* name : {"ASAN_OPTIONS=", "TSAN_OPTIONS="}) {
            auto it = std::find_if(env.begin(), env.end(),
                                   [&](const std::string& e) { return e.starts_with(name); });
            std::string extra =
                "handle_segv=0:handle_sigbus=0:handle_abort=0:handle_sigfpe=0:handle_sigill=0:";
            // The address space cannot be limited under AddressSanitizer: its allocator's is, to
            // what the budget leaves (as a reader process starts; see openDescriptor).
            // ThreadSanitizer counts its own maps there too: its readers have only a fixed bound.
            if (name[0] == 'A')
                extra += "mmap_limit_mb=" + std::to_string(memoryAllowance() / kMB + 256) +
                         ":detect_leaks=0:abort_on_error=0";
            else
                extra += "report_signal_unsafe=0";
            if (it == env.end())
                env.push_back(name + extra);
            else
                *it += ":" + extra;
        }
#endif
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

    /// A new reader process on `socket` and `memory`: its id, or -1.
    pid_t start(int socket, int memory, bool hooks) {
#ifdef GW_SANITIZED
        (void)socket, (void)memory, (void)hooks;
        return -1;
#else
        std::lock_guard lock(mutex_);
        if (pid_ < 0 && !launch())
            return -1;
        Fork request;
        request.testHooks = hooks ? 1 : 0;
        iovec io{&request, sizeof(request)};
        msghdr message{};
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))] = {};
        message.msg_control = control;
        message.msg_controllen = sizeof(control);
        cmsghdr* c = CMSG_FIRSTHDR(&message);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(2 * sizeof(int));
        const int fds[2] = {socket, memory};
        std::memcpy(CMSG_DATA(c), fds, sizeof(fds));
        Forked answer;
        // The first answer waits for the library to load.
        pollfd p{control_, POLLIN, 0};
        if (::sendmsg(control_, &message, MSG_NOSIGNAL) < 0 ||
            ::poll(&p, 1, int(currentLimits().answerSeconds * 1000)) != 1 ||
            ::recv(control_, &answer, sizeof(answer), 0) != ssize_t(sizeof(answer)) || answer.pid <= 0) {
            drop();
            return -1;
        }
        return answer.pid;
#endif
    }

  private:
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
        control_ = sockets[0];
        return true;
    }

    void drop() {
        ::close(control_);
        control_ = -1;
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }

    std::mutex mutex_;
    pid_t pid_ = -1;
    int control_ = -1;
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

std::string noMemoryReason() {
    return "The image could not be read: its reader needs more memory than the budget allows (limit " +
           memory::formatGB(memory::limit()) + ")";
}

/// A reader process and the shared memory its samples come through.
class Worker {
  public:
    /// A new process, or null with the reason in `error`.
    static std::unique_ptr<Worker> start(std::string& error) {
        const std::string& path = workerPath();
        if (path.empty()) {
            error = std::string("The image reader ") + workerName + " was not found beside the program";
            return nullptr;
        }
        int sockets[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sockets) != 0) {
            error = std::string("The image reader could not be started: ") + std::strerror(errno);
            return nullptr;
        }
        const int memory = ::memfd_create("gw-image-samples", MFD_CLOEXEC);
        if (memory < 0) {
            error = std::string("The image reader could not be started: ") + std::strerror(errno);
            ::close(sockets[0]);
            ::close(sockets[1]);
            return nullptr;
        }
        auto worker = std::unique_ptr<Worker>(new Worker(sockets[0], memory));
        const int child = sockets[1];
        bool hooks;
        {
            std::lock_guard lock(limitsMutex);
            hooks = testHooks;
        }
        pid_t pid = Starter::get().start(child, memory, hooks);
        int status = 0;
        if (pid < 0) {
            std::vector<const char*> arguments;
            if (hooks)
                arguments.push_back("--test-hooks");
            status = spawn(arguments, child, memory, pid);
        }
        ::close(child);
        if (status != 0) {
            error = std::string("The image reader could not be started: ") + std::strerror(status);
            return nullptr;
        }
        worker->pid_ = pid;
        return worker;
    }

    ~Worker() {
        if (map_)
            ::munmap(map_, mapped_);
        ::close(socket_);
        ::close(memory_);
        if (pid_ > 0) {
            // Idle or failed, it holds nothing worth waiting for.
            ::kill(pid_, SIGKILL);
            reap();
        }
    }

    bool alive() const { return failure_.empty(); }
    /// Whether a process that has been asked nothing is still there: it never writes unasked, so
    /// anything to read is its end.
    bool idleAndAlive() {
        pollfd p{socket_, POLLIN, 0};
        return alive() && ::poll(&p, 1, 0) == 0;
    }
    const std::string& failure() const { return failure_; }

    /// Sends the request (with the descriptor `fd` when it is one) and waits up to `seconds` for the
    /// answer. False when the process has ended or stopped answering: failure() says how.
    bool call(const Request& request, int fd, double seconds, Reply& reply, std::string& text) {
        if (!send(request, fd))
            return false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        std::vector<char> packet(maxMessage);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{socket_, POLLIN, 0};
            const int ready = ::poll(&p, 1, int(std::clamp<int64_t>(left.count(), 0, INT_MAX)));
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready == 0) {
                ::kill(pid_, SIGKILL);
                ended(true);
                return false;
            }
            const ssize_t n = ::recv(socket_, packet.data(), packet.size(), 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < ssize_t(sizeof(Reply))) {
                ended(false);
                return false;
            }
            std::memcpy(&reply, packet.data(), sizeof(Reply));
            text.assign(packet.data() + sizeof(Reply), size_t(n) - sizeof(Reply));
            return true;
        }
    }

    /// A request without an answer.
    void post(const Request& request) {
        if (alive())
            send(request, -1);
    }

    /// The first `bytes` of the shared memory, grown to hold them when `grow`; null when it
    /// cannot be mapped or is shorter.
    const uint8_t* shared(size_t bytes, bool grow) {
        struct stat st {};
        if (::fstat(memory_, &st) != 0)
            return nullptr;
        if (grow && size_t(st.st_size) < bytes) {
            if (::ftruncate(memory_, off_t(bytes)) != 0 || ::fstat(memory_, &st) != 0)
                return nullptr;
        }
        if (!remap(size_t(st.st_size)))
            return nullptr;
        return mapped_ >= bytes ? map_ : nullptr;
    }

    /// Gives back the shared memory of a large read while the process waits for its next file.
    void trim() {
        struct stat st {};
        if (::fstat(memory_, &st) == 0 && size_t(st.st_size) > bandBytes * 2 &&
            ::ftruncate(memory_, off_t(bandBytes)) == 0)
            remap(bandBytes);
    }

  private:
    Worker(int socket, int memory) : socket_(socket), memory_(memory) {}

    bool send(const Request& request, int fd) {
        iovec io{const_cast<Request*>(&request), sizeof(Request)};
        msghdr message{};
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        if (fd >= 0) {
            message.msg_control = control;
            message.msg_controllen = sizeof(control);
            cmsghdr* c = CMSG_FIRSTHDR(&message);
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_RIGHTS;
            c->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(c), &fd, sizeof(int));
        }
        for (;;) {
            if (::sendmsg(socket_, &message, MSG_NOSIGNAL) >= 0)
                return true;
            if (errno != EINTR)
                break;
        }
        ended(false);
        return false;
    }

    /// Notes how the process ended (killed when it stopped answering).
    void ended(bool unanswered) {
        if (!alive())
            return;
        if (!unanswered) {
            // Its end of the socket is closed when it has ended, or is ending: a moment's wait.
            ::kill(pid_, SIGKILL);
        }
        failure_ = endedReason(reap(), unanswered);
    }

    int reap() {
        int status = 0;
        const pid_t pid = pid_;
        pid_ = -1;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return status;
    }

    bool remap(size_t size) {
        if (size == mapped_)
            return true;
        if (map_)
            ::munmap(map_, mapped_);
        map_ = nullptr;
        mapped_ = 0;
        if (size == 0)
            return true;
        void* map = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, memory_, 0);
        if (map == MAP_FAILED)
            return false;
        map_ = static_cast<uint8_t*>(map);
        mapped_ = size;
        return true;
    }

    pid_t pid_ = -1;
    int socket_;
    int memory_;
    uint8_t* map_ = nullptr;
    size_t mapped_ = 0;
    std::string failure_;
};

/// The processes waiting for a file.
class Pool {
  public:
    static Pool& get() {
        // Never destroyed: a decode may still be running while the process exits. The processes
        // end when the program does, by the end of their socket or the parent death signal.
        static Pool* const pool = new Pool;
        return *pool;
    }

    std::unique_ptr<Worker> acquire(std::string& error) {
        for (;;) {
            std::unique_ptr<Worker> worker;
            {
                std::lock_guard lock(mutex_);
                if (idle_.empty())
                    break;
                worker = std::move(idle_.back().worker);
                idle_.pop_back();
            }
            // One that ended while it waited (killed from outside) must not fail the next file.
            if (worker->idleAndAlive())
                return worker;
        }
        return Worker::start(error);
    }

    void release(std::unique_ptr<Worker> worker) {
        if (!worker || !worker->alive())
            return;
        Request forget;
        forget.op = Destroy;
        worker->post(forget);
        worker->trim();
        std::lock_guard lock(mutex_);
        if (idle_.size() >= maxIdle())
            return;
        idle_.push_back(Idle{std::move(worker), std::chrono::steady_clock::now()});
        if (!watching_) {
            watching_ = true;
            std::thread([this] { endIdle(); }).detach();
        }
    }

    void clear() {
        std::vector<Idle> gone;
        std::lock_guard lock(mutex_);
        gone.swap(idle_);
    }

  private:
    static size_t maxIdle() { return std::max<size_t>(2, std::thread::hardware_concurrency()); }
    /// How long a process waits for another file before it ends, giving back what it holds.
    static constexpr std::chrono::seconds idleTime{30};

    struct Idle {
        std::unique_ptr<Worker> worker;
        std::chrono::steady_clock::time_point since;
    };

    [[noreturn]] void endIdle() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait_for(lock, idleTime / 3);
            std::vector<Idle> gone;
            const auto now = std::chrono::steady_clock::now();
            for (auto it = idle_.begin(); it != idle_.end();)
                if (now - it->since >= idleTime) {
                    gone.push_back(std::move(*it));
                    it = idle_.erase(it);
                } else {
                    ++it;
                }
            lock.unlock();
            gone.clear();
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    bool watching_ = false;
    std::vector<Idle> idle_; ///< the most recently used last
};

double cpuFor(size_t bytes, const WorkerLimits& l) {
    return l.cpuSeconds + double(bytes) / bytesPerSecond;
}
double waitFor(size_t bytes, const WorkerLimits& l) {
    return l.answerSeconds + 2 * double(bytes) / bytesPerSecond;
}

size_t sampleSize(ReadType type) {
    switch (type) {
    case ReadType::U8:
        return 1;
    case ReadType::U16:
        return 2;
    case ReadType::F32:
        return 4;
    case ReadType::Native:
        break;
    }
    return 0;
}

int typeCode(ReadType type) {
    switch (type) {
    case ReadType::U8:
        return GW_READ_U8;
    case ReadType::U16:
        return GW_READ_U16;
    case ReadType::F32:
        return GW_READ_F32;
    case ReadType::Native:
        break;
    }
    return GW_READ_NATIVE;
}

PictureSpec pictureSpec(const Spec& s) {
    PictureSpec spec;
    spec.width = s.width;
    spec.height = s.height;
    spec.nchannels = s.nchannels;
    spec.depth = s.depth;
    spec.deep = s.deep != 0;
    spec.tileWidth = s.tileWidth;
    spec.y = s.y;
    spec.z = s.z;
    spec.base = s.base == GW_IMG_8BIT    ? StoredBase::U8
                : s.base == GW_IMG_16BIT ? StoredBase::U16
                : s.base == GW_IMG_FLOAT ? StoredBase::Float
                                         : StoredBase::Other;
    spec.alphaChannel = s.alphaChannel;
    spec.namedAlpha = s.namedAlpha;
    spec.unassociatedAlpha = s.unassociatedAlpha != 0;
    spec.orientation = s.orientation;
    spec.scanlineBytes = s.scanlineBytes;
    spec.imageBytes = s.imageBytes;
    return spec;
}

/// A file open in a reader process, which it holds until destroyed.
class WorkerInput final : public PictureInput {
  public:
    WorkerInput(std::unique_ptr<Worker> worker, const Reply& reply, std::vector<uint8_t> icc)
        : worker_(std::move(worker)), spec_(pictureSpec(reply.spec)) {
        spec_.iccProfile = std::move(icc);
        format_.assign(reply.spec.format, strnlen(reply.spec.format, sizeof(reply.spec.format)));
    }
    ~WorkerInput() override { Pool::get().release(std::move(worker_)); }

    const PictureSpec& spec() const override { return spec_; }
    std::string formatName() const override { return format_; }

    bool readScanlines(int y0, int y1, int channels, ReadType type, void* data) override {
        const size_t row = rowBytes(channels, type);
        if (row == 0 || y1 <= y0)
            return y1 == y0 && row != 0;
        const int band = int(std::clamp<size_t>(bandBytes / row, 1, size_t(y1 - y0)));
        auto* out = static_cast<uint8_t*>(data);
        for (int y = y0; y < y1; y += band) {
            const int end = std::min(y1, y + band);
            Request request;
            request.op = ReadScanlines;
            request.y0 = y;
            request.y1 = end;
            if (!read(request, channels, type, row * size_t(end - y), out))
                return false;
            out += row * size_t(end - y);
        }
        return true;
    }

    bool readImage(int channels, ReadType type, void* data) override {
        const size_t row = rowBytes(channels, type);
        if (row == 0 || spec_.height <= 0 || row > SIZE_MAX / size_t(spec_.height))
            return false;
        Request request;
        request.op = ReadImage;
        return read(request, channels, type, row * size_t(spec_.height), static_cast<uint8_t*>(data));
    }

    std::string takeErrors() override {
        if (!pending_.empty())
            return std::exchange(pending_, std::string());
        if (!worker_->alive())
            return {};
        Request request;
        request.op = TakeErrors;
        Reply reply;
        std::string text;
        if (!worker_->call(request, -1, currentLimits().answerSeconds, reply, text))
            return worker_->failure();
        return reply.any ? text : std::string();
    }

    void close() override {
        if (!worker_->alive())
            return;
        Request request;
        request.op = Close;
        Reply reply;
        std::string text;
        if (!worker_->call(request, -1, currentLimits().answerSeconds, reply, text))
            pending_ = worker_->failure();
    }

  private:
    size_t rowBytes(int channels, ReadType type) const {
        if (channels <= 0 || channels > spec_.nchannels || spec_.width <= 0)
            return 0;
        if (type == ReadType::Native)
            return channels == spec_.nchannels ? size_t(std::max<int64_t>(spec_.scanlineBytes, 0)) : 0;
        return size_t(spec_.width) * size_t(channels) * sampleSize(type);
    }

    bool read(Request& request, int channels, ReadType type, size_t bytes, uint8_t* out) {
        if (!worker_->alive())
            return false;
        const WorkerLimits l = currentLimits();
        request.channels = channels;
        request.type = typeCode(type);
        request.cpuSeconds = uint32_t(std::ceil(cpuFor(bytes, l)));
        if (!worker_->shared(bytes, true)) {
            pending_ = noMemoryReason();
            return false;
        }
        Reply reply;
        std::string text;
        if (!worker_->call(request, -1, waitFor(bytes, l), reply, text)) {
            pending_ = worker_->failure();
            return false;
        }
        if (reply.status == NoMemory) {
            pending_ = noMemoryReason();
            return false;
        }
        if (reply.status != Ok)
            return false; // the reader's errors say why
        const uint8_t* samples = worker_->shared(bytes, false);
        if (reply.bytes != bytes || !samples) {
            pending_ = "The image could not be read: its reader gave back too few samples";
            return false;
        }
        std::memcpy(out, samples, bytes);
        return true;
    }

    std::unique_ptr<Worker> worker_;
    PictureSpec spec_;
    std::string format_;
    std::string pending_; ///< why the last request failed, when the reader cannot say
};

/// Opens the file on `fd` in a reader process: `format` names the library's reader, or is empty
/// for Qt's plug-ins with `name` the file's extension; otherwise `name` is what messages call it.
Opened openDescriptor(int fd, const std::string& format, const std::string& name) {
    std::string error;
    std::unique_ptr<Worker> worker = Pool::get().acquire(error);
    if (!worker)
        return Opened{nullptr, error, false};
    const WorkerLimits l = currentLimits();
    Request request;
    request.op = Open;
    std::strncpy(request.format, format.c_str(), sizeof(request.format) - 1);
    std::strncpy(request.name, name.c_str(), sizeof(request.name) - 1);
    // Qt's plug-ins decode the whole picture as they open it.
    const double share = format.empty() ? 4 : 1;
    request.cpuSeconds = uint32_t(std::ceil(l.cpuSeconds * share));
    request.memoryAllowance = uint64_t(memoryAllowance());
    Reply reply;
    std::string text;
    if (!worker->call(request, fd, l.answerSeconds * share, reply, text))
        return Opened{nullptr, worker->failure(), false};
    if (reply.status == Ok) {
        std::vector<uint8_t> icc;
        if (reply.iccSize > 0) {
            const uint8_t* bytes = worker->shared(size_t(reply.iccSize), false);
            if (!bytes)
                return Opened{nullptr, "The image could not be read: its colour profile did not arrive",
                              false};
            icc.assign(bytes, bytes + reply.iccSize);
        }
        return Opened{std::make_unique<WorkerInput>(std::move(worker), reply, std::move(icc)), {}, false};
    }
    Pool::get().release(std::move(worker));
    if (reply.status == NoReader)
        return Opened{nullptr, text, true};
    if (reply.status == NoMemory) {
        const int64_t w = reply.spec.width, h = reply.spec.height;
        if (w > 0 && h > 0) {
            std::string refused =
                memory::admit(saturatingAdd(Bitmap::bytesFor(IRect{0, 0, w, h}), saturatingMul(w * 8, h)));
            return Opened{nullptr,
                          "The image is too large (" + std::to_string(w) + " x " + std::to_string(h) +
                              " pixels): " +
                              (refused.empty() ? "its reader needs more memory than it may take" : refused),
                          false};
        }
        return Opened{nullptr, noMemoryReason(), false};
    }
    return Opened{nullptr, text.empty() ? "The file could not be opened as " + format : text, false};
}

} // namespace

std::string extensionOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return {};
    std::string ext = path.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return ext;
}

Opened openFile(const std::string& path, const std::string& format) {
    // Never blocks on a pipe or device, should one take the file's place.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return Opened{nullptr, "The file cannot be read: " + path + ": " + std::strerror(errno), false};
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return Opened{nullptr, "The file is not a regular file (a device, pipe or socket): " + path, false};
    }
    Opened opened = openDescriptor(fd, format, format.empty() ? extensionOf(path) : path);
    ::close(fd);
    return opened;
}

Opened openData(const std::vector<uint8_t>& bytes, const std::string& format) {
    const int fd = ::memfd_create("gw-image-data", MFD_CLOEXEC);
    if (fd < 0)
        return Opened{nullptr,
                      std::string("The image data could not be handed over: ") + std::strerror(errno), false};
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ::close(fd);
            return Opened{nullptr, "The image data could not be handed over", false};
        }
        done += size_t(n);
    }
    Opened opened = openDescriptor(fd, format, format.empty() ? std::string() : "data");
    ::close(fd);
    return opened;
}

void setWorkerLimits(const WorkerLimits& l) {
    std::lock_guard lock(limitsMutex);
    limits = l;
}

void setWorkerTestHooks(bool on) {
    {
        std::lock_guard lock(limitsMutex);
        testHooks = on;
    }
    Pool::get().clear();
}

} // namespace ci::io::imagelib
