#include "ReadThrough.h"

#include "PictureFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace ci::io {

namespace {

using Clock = ReadThrough::Clock;

/// What is asked of the medium at a time: large enough that a share's time for a request is a
/// small part of it, small enough that a slow one delivers one often.
constexpr size_t kPartBytes = size_t(256) << 10;

} // namespace

struct ReadThrough::State {
    FileIdentity file;
    Clock::time_point started;
    std::atomic<bool> givenUp{false};
    mutable std::mutex mutex;
    Clock::time_point lastDelivered; // guarded by mutex
    Clock::time_point endedAt;       // guarded by mutex
    bool ended = false;              // guarded by mutex
};

namespace {

/// The reads going on, by file, and when each medium last delivered to one of them.
struct Reads {
    std::mutex mutex;
    std::map<std::pair<uint64_t, uint64_t>, std::weak_ptr<ReadThrough>> byFile;
    std::map<uint64_t, Clock::time_point> deliveredByDevice;
    int threads = 0;

    static Reads& get() {
        static Reads* reads = new Reads(); // outlives the threads still reading at exit
        return *reads;
    }

    void delivered(uint64_t device, Clock::time_point at) {
        std::lock_guard lock(mutex);
        Clock::time_point& last = deliveredByDevice[device];
        last = std::max(last, at);
    }

    Clock::time_point lastDelivered(uint64_t device) {
        std::lock_guard lock(mutex);
        const auto it = deliveredByDevice.find(device);
        return it == deliveredByDevice.end() ? Clock::time_point{} : it->second;
    }
};

/// Reads the file open on `fd` to its end, or until no one waits on it; closes `fd`.
void readToTheEnd(int fd, const std::shared_ptr<ReadThrough::State>& state) {
    // Opened anew, as an honest reader opens it: on a share the open waits in the same queue.
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const int own = ::open(self.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    ::close(fd);
    Reads& reads = Reads::get();
    if (own >= 0) {
        reads.delivered(state->file.device, Clock::now());
        {
            std::lock_guard lock(state->mutex);
            state->lastDelivered = Clock::now();
        }
        std::vector<char> part(kPartBytes);
        for (off_t at = 0; !state->givenUp.load();) {
            const ssize_t n = ::pread(own, part.data(), part.size(), at);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            at += n;
            const auto now = Clock::now();
            reads.delivered(state->file.device, now);
            std::lock_guard lock(state->mutex);
            state->lastDelivered = now;
        }
        ::close(own);
    }
    std::lock_guard lock(state->mutex);
    state->ended = true;
    state->endedAt = Clock::now();
}

} // namespace

std::shared_ptr<ReadThrough> ReadThrough::start(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return nullptr;
    const FileIdentity file{uint64_t(st.st_dev), uint64_t(st.st_ino)};
    Reads& reads = Reads::get();
    std::lock_guard lock(reads.mutex);
    std::erase_if(reads.byFile, [](const auto& entry) { return entry.second.expired(); });
    if (const auto it = reads.byFile.find({file.device, file.inode}); it != reads.byFile.end())
        if (std::shared_ptr<ReadThrough> going = it->second.lock(); going && !going->ended())
            return going;
    if (reads.threads >= maxReads)
        return nullptr;
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0)
        return nullptr;
    auto state = std::make_shared<State>();
    state->file = file;
    state->started = state->lastDelivered = Clock::now();
    try {
        std::thread([copy, state] {
            readToTheEnd(copy, state);
            Reads& reads = Reads::get();
            std::lock_guard lock(reads.mutex);
            --reads.threads;
        }).detach();
    } catch (const std::system_error&) {
        ::close(copy);
        return nullptr;
    }
    ++reads.threads;
    std::shared_ptr<ReadThrough> read(new ReadThrough(state));
    reads.byFile[{file.device, file.inode}] = read;
    return read;
}

Clock::time_point ReadThrough::allowance(Clock::time_point since) const {
    std::unique_lock lock(state_->mutex);
    if (state_->ended)
        return std::max(state_->endedAt, since) + (state_->endedAt - state_->started);
    const Clock::time_point own = state_->lastDelivered;
    lock.unlock();
    // Its own requests may wait behind other files' on a medium that keeps delivering.
    return std::max(own, Reads::get().lastDelivered(state_->file.device)) + stallAllowance;
}

bool ReadThrough::ended() const {
    std::lock_guard lock(state_->mutex);
    return state_->ended;
}

ReadThrough::~ReadThrough() {
    state_->givenUp = true;
}

} // namespace ci::io
