#pragma once

// How reader processes are started, limited and ended (see ImageWorkerProtocol.h for what they
// are): each file gets a process of its own, a copy of a starter that has loaded the library,
// under limits that the engine raises from outside as the reading needs, with a deadline for each
// answer and one for the whole file, and a shared memory for its samples.

#include "ImageLibrary.h"
#include "ImageWorkerAnswers.h"
#include "ImageWorkerProtocol.h"
#include "ReadThrough.h"

#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace ci::io::imagelib {

using ReaderClock = std::chrono::steady_clock;

/// Samples travel in parts of at most this size, so that the shared memory stays small.
constexpr size_t bandBytes = size_t(16) << 20;
/// A reader may take this much CPU time per byte it hands back (20 MB a second), on top of the
/// limit of every request; the wait for an answer grows twice as fast.
constexpr double bytesPerSecond = 20.0 * 1024 * 1024;

/// The limits that setWorkerLimits() set.
WorkerLimits currentLimits();

/// The budget bytes that a reader may map when it opens its file, a small part of the budget:
/// enough for any reader's header and bookkeeping, and for the library's buffer of a read (which
/// reserves 64 MB whatever it reads).
int64_t openShare();

/// The memory file that a reader's samples come through. It is sealed against shrinking, so that
/// no reader can pull it away under the program's map of it (a read past its end would end the
/// program with SIGBUS); only the program grows it, and clears it before another reader gets it.
class SharedMemory {
  public:
    SharedMemory() = default;
    SharedMemory(SharedMemory&& other) noexcept { *this = std::move(other); }
    SharedMemory& operator=(SharedMemory&& other) noexcept;
    ~SharedMemory();

    /// A new one; false with errno set when it cannot be made.
    bool make();
    int fd() const { return fd_; }
    size_t size() const { return size_; }

    /// Makes it hold at least `bytes`; false when it cannot.
    bool grow(size_t bytes);
    /// Copies its first `bytes` into `out`; false when it holds fewer.
    bool copy(void* out, size_t bytes) const;
    /// The next answer may write its first `bytes` (an honest reader writes nowhere else).
    void willWrite(size_t bytes) { written_ = std::max(written_, std::min(bytes, size_)); }
    /// Sets every byte that an answer may have written to 0: nothing of another file is left for
    /// the next reader.
    void clear();

  private:
    int fd_ = -1;
    size_t size_ = 0;
    size_t written_ = 0;
    uint8_t* map_ = nullptr;
};

/// A reader process, with the shared memory its samples come through and the part of the memory
/// budget it holds. It reads one file and ends with it.
class Worker {
  public:
    /// A process for the next file (the one started ahead, when there is one), or null with the
    /// reason in `error`.
    static std::unique_ptr<Worker> start(std::string& error);
    /// A new process started now, for readers that obey `hooks`; null with the reason in `error`.
    static std::unique_ptr<Worker> startNow(uint32_t hooks, std::string& error);
    ~Worker();

    bool alive() const { return failure_.empty(); }
    const std::string& failure() const { return failure_; }

    /// When the whole file must be read.
    void setDeadline(ReaderClock::time_point deadline) { deadline_ = deadline; }
    /// From now on, a deadline that passes while the file open on `fd` (the program's own
    /// description of the process's file) still comes in from its medium is moved on, as far as the
    /// program's own read of it allows (ReadThrough).
    void watchReading(int fd);

    /// Ends the process for an answer that no honest reader gives.
    void answeredWrongly();

    /// Sends the request (with the descriptor `fd` when it is one) and waits up to `seconds`, and
    /// never past the file's deadline, for the answer, whose text comes as plain text. False when
    /// the process has ended, stopped answering or answered as no reader does (isHonest), which
    /// ends it: failure() says how.
    bool call(const worker::Request& request, int fd, double seconds, worker::Reply& reply, std::string& text,
              const Expected& expected = {});

    /// Makes the shared memory hold `bytes`, for the answer to come; false when it cannot.
    bool sizeShared(size_t bytes) { return memory_.grow(bytes); }
    /// The next answer may write the first `bytes` of the shared memory.
    void willWriteShared(size_t bytes) { memory_.willWrite(bytes); }
    /// Copies the first `bytes` of the shared memory into `out`; false when it holds fewer.
    bool readShared(void* out, size_t bytes) const { return memory_.copy(out, bytes); }

    /// Lets the process take `cpuSeconds` more CPU time and map `memory` bytes of the budget in
    /// all (waiting for the budget to have them until the file's deadline): its soft limits raised
    /// from outside, up to the hard ones it set before it read its file. False when the budget
    /// never had the memory.
    bool allow(double cpuSeconds, int64_t memory);
    int64_t share() const { return share_; }

    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

  private:
    Worker(int socket, SharedMemory memory) : socket_(socket), memory_(std::move(memory)) {}
    static std::unique_ptr<Worker> make(int& child, std::string& error);
    void raise(int resource, uint64_t by);
    bool send(const worker::Request& request, int fd);
    void ended();
    void kill();
    /// Until when the medium of the process's file allows it to go on past a deadline; a time
    /// passed when it does not.
    ReaderClock::time_point mediumAllows();

    pid_t pid_ = -1;
    int socket_;
    SharedMemory memory_;
    int64_t share_ = 0;
    ReaderClock::time_point deadline_ = ReaderClock::time_point::max();
    int file_ = -1; ///< the program's copy of its own descriptor of the file, while watched
    std::shared_ptr<ReadThrough> reading_;   ///< the program's read of the file, once past a deadline
    ReaderClock::time_point waitingSince_{}; ///< when it first went past a deadline
    bool abnormal_ = false;
    bool ended_ = false; ///< its process has been waited for
    std::string failure_;
};

} // namespace ci::io::imagelib
