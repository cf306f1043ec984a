// The gate through which reader processes start threads (see ImageWorkerThreadGate.h). Every
// request costs the program a look at its reader, whatever comes of it, so a reader's requests are
// bounded in number and pace as well as its threads: a crafted file that asks without end, for
// threads that end at once or that the kernel refuses, costs the program a fraction of a second.

#include "ImageWorkerThreadGate.h"

#include "sandbox/Sandbox.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ci::io::imagelib {

namespace {

/// What a reader may ask. At most 64 threads at once: the codecs of HEIF start one for each
/// processor it may use (at most worker::maxProcessors) and a few more for the tiles of a picture.
/// A codec that is refused a thread goes on without it, so an honest reader is refused at most
/// about once for each thread it would start. The codecs start theirs for a picture and again for
/// each of its tiles (a HEIF photo asks once or twice, an AVIF photo once for each processor, a
/// picture of hundreds of tiles a few thousand times at most, in seconds). Each request costs the
/// program about 50 µs: a reader that floods is ended within its burst, in a twentieth of a
/// second, and one that keeps to the pace within its total, in under half a second.
constexpr sandbox::ThreadLimits readerThreads{
    .threads = 64, .refusals = 64, .requests = 8192, .burst = 1024, .perSecond = 1024};

/// Answers the readers' requests for threads (sandbox::answerThread), on a thread of its own: a
/// reader starts a thread only when this lets it, within readerThreads, and is ended past them. A
/// reader's listener is dropped once the reader has ended.
class ThreadGate {
  public:
    static ThreadGate& get() {
        // Never destroyed: its thread waits on it until the process ends.
        static ThreadGate* const gate = new ThreadGate;
        return *gate;
    }

    /// Takes `listener` and answers from now on the requests that come through it.
    void watch(int listener) {
        {
            std::lock_guard lock(mutex_);
            added_.push_back(listener);
        }
        const uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(wake_, &one, sizeof one);
    }

  private:
    ThreadGate() : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        std::thread([this] { run(); }).detach();
    }

    struct Listener {
        int fd;
        sandbox::ThreadRequests requests;
    };

    [[noreturn]] void run() {
        std::vector<Listener> listeners;
        std::vector<pollfd> fds;
        for (;;) {
            fds.assign(1, pollfd{wake_, POLLIN, 0});
            for (const Listener& listener : listeners)
                fds.push_back(pollfd{listener.fd, POLLIN, 0});
            if (::poll(fds.data(), fds.size(), -1) < 0)
                continue;
            std::vector<Listener> kept;
            for (size_t i = 1; i < fds.size(); ++i) {
                Listener& listener = listeners[i - 1];
                const bool asked = fds[i].revents & POLLIN;
                if ((asked && !sandbox::answerThread(listener.fd, readerThreads, listener.requests)) ||
                    (!asked && (fds[i].revents & (POLLHUP | POLLERR | POLLNVAL))))
                    ::close(listener.fd);
                else
                    kept.push_back(std::move(listener));
            }
            listeners = std::move(kept);
            if (fds[0].revents & POLLIN) {
                uint64_t count = 0;
                [[maybe_unused]] const auto n = ::read(wake_, &count, sizeof count);
                std::lock_guard lock(mutex_);
                for (const int fd : added_)
                    listeners.push_back(Listener{fd, {}});
                added_.clear();
            }
        }
    }

    const int wake_;
    std::mutex mutex_;
    std::vector<int> added_;
};

} // namespace

bool isThreadListener(int fd) {
    if (fd < 0)
        return false;
    char target[64] = {};
    const std::string name = "/proc/self/fd/" + std::to_string(fd);
    return ::readlink(name.c_str(), target, sizeof(target) - 1) > 0 &&
           std::strcmp(target, "anon_inode:seccomp notify") == 0;
}

void gateThreads(int listener) {
    ThreadGate::get().watch(listener);
}

} // namespace ci::io::imagelib
