// The gate through which reader processes start threads (see ImageWorkerThreadGate.h). Every
// request costs the program its answer, whatever comes of it, so a reader's requests are bounded
// in number as well as its threads: a crafted file that asks without end, for threads that end at
// once or that the kernel refuses, is ended after twice as many as the largest photo asks for.

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

/// What a reader may ask, from what honest readers ask on their processors (worker::
/// readerProcessors): the HEIF reader decodes each tile of a picture on a thread of its own, four
/// at once, and the HEVC codec starts one more for each (a 50-megapixel phone photo of 192 tiles
/// asks 384 times, with 8 threads at once), the AV1 codec one for each processor instead (960
/// times, 20 at once); a picture of one tile asks at most 8 times, a JPEG 2000 picture once, other
/// formats never. They ask as fast as they decode (up to 350 times in a tenth of a second), so
/// only the total tells a flood from them. A codec that is refused a thread fails its picture, so
/// an honest reader is never refused. A reader ended at the total has cost the program a few
/// hundredths of a second.
constexpr sandbox::ThreadLimits readerThreads{.threads = 64, .refusals = 64, .requests = 2048};

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
