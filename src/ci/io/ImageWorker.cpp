// The engine's side of the reader processes (see ImageWorkerProtocol.h): each file that the image
// library or Qt's plug-ins read is read in a process of its own, confined, so that neither a fault
// of a reader nor the code of a crafted file can reach the program or the rest of a batch. Nothing a
// reader answers is trusted: every answer is checked here, in one place, before any of it is used,
// and a reader that answers wrongly fails its file and is ended.

#include "ImageLibrary.h"

#include "ImageLibraryAbi.h"
#include "ImageWorkerProtocol.h"

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
#include <set>
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
/// Samples travel in parts of at most this size, so that the shared memory stays small.
constexpr size_t bandBytes = size_t(16) << 20;
/// A reader may take this much CPU time per byte it hands back (20 MB a second), on top of the
/// limit of every request; the wait for an answer grows twice as fast.
constexpr double bytesPerSecond = 20.0 * 1024 * 1024;
/// The largest colour profile a file may carry: real ones take a few kilobytes, the largest a few
/// hundred.
constexpr size_t maxProfileBytes = size_t(4) << 20;
/// The most text an answer carries into a message.
constexpr size_t maxTextBytes = 2000;
/// Readers are copies of one starter and share its address layout: after this many, or after any
/// reader that ended otherwise than asked, the next reader is a copy of a new starter, so that no
/// batch of files can probe one layout without end. A new starter costs a third of a second of
/// loading, which it spends while the readers of the last one still work.
constexpr int readersPerStarter = 256;

std::mutex settingsMutex;
WorkerLimits limits;
uint32_t testHooks = 0; ///< Fork::hooks for the next reader

WorkerLimits currentLimits() {
    std::lock_guard lock(settingsMutex);
    return limits;
}

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

/// The budget bytes that a reader may map when it opens its file, a small part of the budget:
/// enough for any reader's header and bookkeeping, and for the library's buffer of a read (which
/// reserves 64 MB whatever it reads).
int64_t openShare() {
    return std::clamp<int64_t>(memory::limit() / 16, 128 * kMB, 256 * kMB);
}

/// The environment of a reader: what its libraries need to find their files and fonts, nothing
/// of the user's session (display, message bus, agents).
std::vector<std::string> readerEnvironment() {
    static const char* const kept[] = {"HOME",
                                       "LANG",
                                       "LANGUAGE",
                                       "LC_ALL",
                                       "LC_CTYPE",
                                       "LC_NUMERIC",
                                       "LC_MESSAGES",
                                       "XDG_CACHE_HOME",
                                       "XDG_CONFIG_HOME",
                                       "XDG_DATA_HOME",
                                       "XDG_DATA_DIRS",
                                       "FONTCONFIG_FILE",
                                       "FONTCONFIG_PATH",
                                       "LD_LIBRARY_PATH",
                                       "QT_PLUGIN_PATH"};
    std::vector<std::string> env;
    for (const char* name : kept)
        if (const char* value = std::getenv(name))
            env.push_back(std::string(name) + "=" + value);
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

std::string noMemoryReason() {
    return "The image could not be read: its reader needs more memory than the budget allows (limit " +
           memory::formatGB(memory::limit()) + ")";
}

const char* const answeredWrongly = "The image could not be read: its reader answered wrongly";

/// A reader's text as plain text for messages: printable characters and line ends of valid UTF-8,
/// no control characters (which a terminal or a label would act on), at most maxTextBytes.
std::string plainText(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size() && out.size() < maxTextBytes;) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (c == '\n' || (c >= 0x20 && c != 0x7F))
                out.push_back(char(c));
            else if (c == '\t')
                out.push_back(' ');
            ++i;
            continue;
        }
        const size_t length = c >= 0xF0 && c <= 0xF4  ? 4
                              : c >= 0xE0 && c < 0xF0 ? 3
                              : c >= 0xC2 && c < 0xE0 ? 2
                                                      : 0;
        bool valid = length > 0 && i + length <= text.size();
        uint32_t code = length == 2 ? c & 0x1F : length == 3 ? c & 0x0F : c & 0x07;
        for (size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3F);
        }
        valid = valid && (length != 3 || code >= 0x800) &&
                (length != 4 || (code >= 0x10000 && code <= 0x10FFFF)) &&
                !(code >= 0xD800 && code <= 0xDFFF) && !(code >= 0x80 && code < 0xA0) && code != 0x2028 &&
                code != 0x2029;
        if (valid)
            out.append(text, i, length);
        i += valid ? length : 1;
    }
    return out;
}

/// Whether a format name that a reader answered is one: a short word of lower-case letters and
/// digits.
bool isFormatName(const char (&format)[32]) {
    const size_t n = strnlen(format, sizeof(format));
    if (n == 0 || n == sizeof(format))
        return false;
    return std::all_of(format, format + n,
                       [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); });
}

/// Whether the header a reader answered is one a picture can have: every size within reach of the
/// picture's own arithmetic, the rows' and the whole picture's bytes as its channels make them.
bool isPlausible(const Spec& s) {
    constexpr int64_t maxSide = int64_t(1) << 30;
    if (s.width <= 0 || s.height <= 0 || s.width > maxSide || s.height > maxSide || s.nchannels <= 0 ||
        s.nchannels > 1024 || s.depth <= 0 || s.deep < 0 || s.deep > 1 || s.tileWidth < 0 ||
        s.base < GW_IMG_8BIT || s.base > GW_IMG_OTHER || s.unassociatedAlpha < 0 || s.unassociatedAlpha > 1 ||
        s.alphaChannel < -1 || s.alphaChannel > 1024 || s.namedAlpha < -1 || s.namedAlpha >= s.nchannels)
        return false;
    // Every row of the data window, which may start above the origin, has a number.
    if (int64_t(s.y) + s.height > INT32_MAX)
        return false;
    // A sample takes one to eight bytes, as stored.
    const int64_t samples = int64_t(s.width) * s.nchannels;
    if (s.scanlineBytes < samples || s.scanlineBytes > samples * 8)
        return false;
    const std::optional<int64_t> image = checkedMul(s.scanlineBytes, int64_t(s.height));
    return image && checkedMul(*image, s.depth) == s.imageBytes;
}

/// The memory file that a reader's samples come through. It is sealed against shrinking, so that
/// no reader can pull it away under the program's map of it (a read past its end would end the
/// program with SIGBUS); only the program grows it.
class SharedMemory {
  public:
    SharedMemory() = default;
    SharedMemory(SharedMemory&& other) noexcept { *this = std::move(other); }
    SharedMemory& operator=(SharedMemory&& other) noexcept {
        std::swap(fd_, other.fd_);
        std::swap(size_, other.size_);
        std::swap(map_, other.map_);
        return *this;
    }
    ~SharedMemory() {
        if (map_)
            ::munmap(map_, size_);
        if (fd_ >= 0)
            ::close(fd_);
    }

    /// A new one; false with errno set when it cannot be made.
    bool make() {
        fd_ = ::memfd_create("gw-image-samples", MFD_CLOEXEC | MFD_ALLOW_SEALING);
        return fd_ >= 0 && ::fcntl(fd_, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_SEAL) == 0;
    }
    int fd() const { return fd_; }
    size_t size() const { return size_; }

    /// Makes it hold at least `bytes`; false when it cannot.
    bool grow(size_t bytes) {
        if (bytes <= size_)
            return true;
        if (::ftruncate(fd_, off_t(bytes)) != 0)
            return false;
        void* map = ::mmap(nullptr, bytes, PROT_READ, MAP_SHARED, fd_, 0);
        if (map == MAP_FAILED)
            return false;
        if (map_)
            ::munmap(map_, size_);
        map_ = static_cast<uint8_t*>(map);
        size_ = bytes;
        return true;
    }

    /// Its first `bytes` into `out`.
    bool copy(void* out, size_t bytes) const {
        if (bytes > size_ || !map_)
            return false;
        std::memcpy(out, map_, bytes);
        return true;
    }

  private:
    int fd_ = -1;
    size_t size_ = 0;
    uint8_t* map_ = nullptr;
};

/// Shared memories whose readers have ended, kept for the next readers: their pages, there
/// already, cost a reader nothing to write again, where a new memory's cost as much as a fast read.
/// Only the memory of a reader that has been waited for comes back, so no reader sees another's;
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

    void give(SharedMemory memory) {
        std::lock_guard lock(mutex_);
        if (memory.size() > bandBytes ||
            kept_.size() >= std::max<size_t>(2, std::thread::hardware_concurrency()))
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

void renewReaders();

/// What an answer must fit besides its request: for an open, the reader asked for ("" for Qt's
/// plug-ins); for a read, the bytes asked for.
struct Expected {
    std::string format;
    size_t bytes = 0;
};

/// The formats of the image library, which Qt's plug-ins never answer for.
bool isLibraryFormat(const std::string& format) {
    static const std::set<std::string> library = {"jpeg", "jpg",  "png", "gif", "bmp", "tif",
                                                  "tiff", "webp", "pbm", "pgm", "ppm", "tga"};
    return library.count(format) > 0;
}

/// The one place where every value of an answer is checked, before any of it is used: whether
/// `reply` is an answer an honest reader can give to `request`. For an open: a known status; a
/// header that a picture can have, of the reader asked for, with a profile of the size profiles
/// have. For a read: all the samples asked for, or none. The text is made plain by the caller.
bool isHonest(const Request& request, const Reply& reply, const Expected& expected) {
    switch (request.op) {
    case Open:
        if (reply.status == Ok) {
            const Spec& s = reply.spec;
            if (!isFormatName(s.format))
                return false;
            const std::string answered(s.format, strnlen(s.format, sizeof(s.format)));
            const bool named =
                expected.format.empty() ? !isLibraryFormat(answered) : answered == expected.format;
            return named && isPlausible(s) && reply.iccSize <= maxProfileBytes;
        }
        if (reply.status == NoMemory)
            return reply.spec.width >= 0 && reply.spec.height >= 0;
        return reply.status == Failed || (reply.status == NoReader && expected.format.empty());
    case ReadScanlines:
    case ReadImage:
        return reply.status == Failed || reply.status == NoMemory ||
               (reply.status == Ok && reply.bytes == expected.bytes);
    case TakeErrors:
        return reply.status == Ok && (reply.any == 0 || reply.any == 1);
    case Close:
        return reply.status == Ok;
    default:
        return false;
    }
}

/// A reader process, with the shared memory its samples come through and the part of the memory
/// budget it holds. It reads one file and ends with it.
class Worker {
  public:
    /// A new process, or null with the reason in `error`.
    static std::unique_ptr<Worker> start(std::string& error);

    /// A new process started now, for readers that obey `hooks`; null with the reason in `error`.
    static std::unique_ptr<Worker> startNow(uint32_t hooks, std::string& error) {
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

    ~Worker() {
        ::close(socket_);
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

    bool alive() const {
        return failure_.empty();
    }
    const std::string& failure() const {
        return failure_;
    }

    /// When the whole file must be read.
    void setDeadline(Clock::time_point deadline) {
        deadline_ = deadline;
    }

    /// Ends the process for an answer that no honest reader gives.
    void answeredWrongly() {
        if (!alive())
            return;
        kill();
        failure_ = imagelib::answeredWrongly;
    }

    /// Sends the request (with the descriptor `fd` when it is one) and waits up to `seconds`, and
    /// never past the file's deadline, for the answer, whose text comes as plain text. False when
    /// the process has ended, stopped answering or answered as no reader does (isHonest), which
    /// ends it: failure() says how.
    bool call(const Request& request, int fd, double seconds, Reply& reply, std::string& text,
              const Expected& expected = {}) {
        if (!alive() || !send(request, fd))
            return false;
        const auto deadline =
            std::min(deadline_, Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                   std::chrono::duration<double>(std::max(seconds, 0.0))));
        std::vector<char> packet(maxMessage);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd p{socket_, POLLIN, 0};
            const int ready = ::poll(&p, 1, int(std::clamp<int64_t>(left.count(), 0, INT_MAX)));
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready == 0) {
                kill();
                failure_ = deadline == deadline_ && deadline_ != Clock::time_point::max()
                               ? "The image could not be read: its reader took too long"
                               : endedReason(0, true);
                return false;
            }
            iovec io{packet.data(), packet.size()};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))] = {};
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
            const cmsghdr* c = CMSG_FIRSTHDR(&message);
            ucred sender{};
            if (c && c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS &&
                c->cmsg_len == CMSG_LEN(sizeof(ucred)))
                std::memcpy(&sender, CMSG_DATA(c), sizeof(ucred));
            // Only the process itself answers, in whole packets, with nothing but words.
            if (sender.pid != pid_ || size_t(n) < sizeof(Reply) ||
                (message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) ||
                CMSG_NXTHDR(&message, const_cast<cmsghdr*>(c))) {
                answeredWrongly();
                return false;
            }
            std::memcpy(&reply, packet.data(), sizeof(Reply));
            if (!isHonest(request, reply, expected)) {
                answeredWrongly();
                return false;
            }
            text = plainText(std::string(packet.data() + sizeof(Reply), size_t(n) - sizeof(Reply)));
            return true;
        }
    }

    /// Makes the shared memory hold `bytes`, for the answer to come; false when it cannot.
    bool sizeShared(size_t bytes) {
        return memory_.grow(bytes);
    }

    /// Copies the first `bytes` of the shared memory into `out`; false when it holds fewer.
    bool readShared(void* out, size_t bytes) const {
        return memory_.copy(out, bytes);
    }

    /// Lets the process take `cpuSeconds` more CPU time and map `memory` bytes of the budget in
    /// all (waiting for the budget to have them until the file's deadline): its soft limits raised
    /// from outside, up to the hard ones it set before it read its file. False when the budget
    /// never had the memory.
    bool allow(double cpuSeconds, int64_t memory) {
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
    int64_t share() const {
        return share_;
    }

    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

  private:
    Worker(int socket, SharedMemory memory) : socket_(socket), memory_(std::move(memory)) {}

    /// A worker without a process yet: its socket (whose other end, for the process, is `child`)
    /// and its shared memory. Null with the reason in `error`.
    static std::unique_ptr<Worker> make(int& child, std::string& error) {
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

    /// Says once on the console when the kernel has no Landlock: readers then run with the rest
    /// of their confinement, and may read what the user may.
    static void noteConfinement() {
        static std::once_flag once;
        std::call_once(once, [] {
            if (sandbox::landlockVersion() == 0)
                console("Image readers run without Landlock, which this kernel does not offer: their system "
                        "calls and limits are confined, the files they may read are not");
        });
    }

    void raise(int resource, uint64_t by) {
        rlimit now{};
        if (::prlimit(pid_, __rlimit_resource(resource), nullptr, &now) != 0 || now.rlim_cur == RLIM_INFINITY)
            return;
        rlimit next = now;
        next.rlim_cur = std::min<uint64_t>(now.rlim_max, now.rlim_cur + by);
        ::prlimit(pid_, __rlimit_resource(resource), &next, nullptr);
    }

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
        ended();
        return false;
    }

    /// Notes how the process ended, or is ending: its end of the socket has closed.
    void ended() {
        if (!alive())
            return;
        const pid_t pid = std::exchange(pid_, -1);
        failure_ = endedReason(endProcess(pid), false);
        ended_ = abnormal_ = true;
    }

    /// Ends the process now; what it did is the caller's to say.
    void kill() {
        if (pid_ > 0) {
            endProcess(std::exchange(pid_, -1));
            ended_ = true;
        }
        abnormal_ = true;
    }

    pid_t pid_ = -1;
    int socket_;
    SharedMemory memory_;
    int64_t share_ = 0;
    Clock::time_point deadline_ = Clock::time_point::max();
    bool abnormal_ = false;
    bool ended_ = false; ///< its process has been waited for
    std::string failure_;
};

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

std::unique_ptr<Worker> Worker::start(std::string& error) {
    const uint32_t hooks = currentHooks();
    if (std::unique_ptr<Worker> spare = Spare::get().take(hooks))
        return spare;
    return startNow(hooks, error);
}

/// The next reader is a copy of a new starter.
void renewReaders() {
    Spare::get().clear();
    Starter::get().renew();
}

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

/// The header of a checked answer (isPlausible), as the decoder takes it.
PictureSpec pictureSpec(const Spec& s, std::vector<uint8_t> icc) {
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
    // A value the EXIF standard does not define leaves the picture as stored.
    spec.orientation = s.orientation >= 1 && s.orientation <= 8 ? s.orientation : 1;
    spec.scanlineBytes = s.scanlineBytes;
    spec.imageBytes = s.imageBytes;
    spec.iccProfile = std::move(icc);
    return spec;
}

/// A file open in a reader process, which reads it alone and ends with it.
class WorkerInput final : public PictureInput {
  public:
    WorkerInput(std::unique_ptr<Worker> worker, PictureSpec spec, std::string format)
        : worker_(std::move(worker)), spec_(std::move(spec)), format_(std::move(format)) {}

    const PictureSpec& spec() const override { return spec_; }
    std::string formatName() const override { return format_; }

    bool readScanlines(int y0, int y1, int channels, ReadType type, void* data) override {
        const size_t row = rowBytes(channels, type);
        if (row == 0 || y0 < spec_.y || y1 > spec_.y + spec_.height || y1 < y0)
            return false;
        const int band = int(std::clamp<size_t>(bandBytes / row, 1, size_t(std::max(y1 - y0, 1))));
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
        if (row == 0 || row > SIZE_MAX / size_t(spec_.height))
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
        if (channels <= 0 || channels > spec_.nchannels)
            return 0;
        if (type == ReadType::Native)
            return channels == spec_.nchannels ? size_t(spec_.scanlineBytes) : 0;
        return size_t(spec_.width) * size_t(channels) * sampleSize(type);
    }

    /// One read of `bytes` of samples into `out`, which holds that many.
    bool read(Request& request, int channels, ReadType type, size_t bytes, uint8_t* out) {
        if (!worker_->alive())
            return false;
        const WorkerLimits l = currentLimits();
        request.channels = channels;
        request.type = typeCode(type);
        // A reader may hold a copy of the picture as stored beside the samples it hands back.
        const int64_t memory = saturatingAdd(saturatingAdd(openShare(), spec_.imageBytes), int64_t(bytes));
        if (!worker_->sizeShared(bytes) || !worker_->allow(cpuFor(bytes, l), memory)) {
            pending_ = noMemoryReason();
            return false;
        }
        Reply reply;
        std::string text;
        if (!worker_->call(request, -1, waitFor(bytes, l), reply, text, Expected{{}, bytes})) {
            pending_ = worker_->failure();
            return false;
        }
        if (reply.status == NoMemory) {
            pending_ = noMemoryReason();
            return false;
        }
        if (reply.status == Failed)
            return false; // the reader's errors say why
        if (!worker_->readShared(out, bytes)) {
            worker_->answeredWrongly();
            pending_ = worker_->failure();
            return false;
        }
        return true;
    }

    std::unique_ptr<Worker> worker_;
    PictureSpec spec_;
    std::string format_;
    std::string pending_; ///< why the last request failed, when the reader cannot say
};

/// Opens the file on `fd` in a new reader process: `format` names the library's reader, or is
/// empty for Qt's plug-ins with `extension` the file's.
Opened openDescriptor(int fd, const std::string& format, const std::string& extension) {
    const WorkerLimits l = currentLimits();
    // Qt's plug-ins decode the whole picture as they open it.
    const double share = format.empty() ? 4 : 1;
    const auto startedAt = Clock::now();
    std::string error;
    std::unique_ptr<Worker> worker = Worker::start(error);
    if (!worker)
        return Opened{nullptr, error, false};
    worker->setDeadline(startedAt + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(l.answerSeconds * share)));
    if (!worker->sizeShared(maxProfileBytes) || !worker->allow(0, openShare()))
        return Opened{nullptr, noMemoryReason(), false};

    Request request;
    request.op = Open;
    std::strncpy(request.format, format.c_str(), sizeof(request.format) - 1);
    if (format.empty())
        std::strncpy(request.extension, extension.c_str(), sizeof(request.extension) - 1);
    request.cpuSeconds = uint32_t(std::ceil(l.cpuSeconds * share));
    request.cpuCeiling = uint32_t(std::ceil(l.cpuSeconds * 8 + 4 * double(memory::limit()) / bytesPerSecond));
    request.memoryAllowance = uint64_t(worker->share());
    request.memoryCeiling = uint64_t(memory::limit());
    Reply reply;
    std::string text;
    if (!worker->call(request, fd, l.answerSeconds * share, reply, text, Expected{format, 0}))
        return Opened{nullptr, worker->failure(), false};

    if (reply.status == Ok) {
        const Spec& s = reply.spec;
        std::vector<uint8_t> icc;
        if (reply.iccSize > 0) {
            if (std::string refused = memory::admit(int64_t(reply.iccSize)); !refused.empty())
                return Opened{nullptr, "The image's colour profile does not fit in memory: " + refused,
                              false};
            icc.resize(size_t(reply.iccSize));
            if (!worker->readShared(icc.data(), icc.size())) {
                worker->answeredWrongly();
                return Opened{nullptr, worker->failure(), false};
            }
        }
        // The whole file, however its reads are spread: its open's time and its samples'.
        worker->setDeadline(startedAt +
                            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                                l.answerSeconds * share + 2 * double(s.imageBytes) / bytesPerSecond)));
        return Opened{
            std::make_unique<WorkerInput>(std::move(worker), pictureSpec(s, std::move(icc)),
                                          std::string(s.format, strnlen(s.format, sizeof(s.format)))),
            {},
            false};
    }
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
    Opened opened = openDescriptor(fd, format, format.empty() ? extensionOf(path) : std::string());
    ::close(fd);
    return opened;
}

Opened openData(const std::vector<uint8_t>& bytes, const std::string& format) {
    // Sealed once written: the reader reads the data and can change none of it.
    const int fd = ::memfd_create("gw-image-data", MFD_CLOEXEC | MFD_ALLOW_SEALING);
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
    ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
    Opened opened = openDescriptor(fd, format, std::string());
    ::close(fd);
    return opened;
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
