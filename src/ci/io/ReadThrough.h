#pragma once

// How long a process that reads a user's file (a reader process, the metadata tool) may wait on the
// file's medium. The program reads the file through itself, from its start to its end, on a thread
// of its own: the one honest reader of it, whose pace no confined process sets. A process past its
// own time is given more while that read goes on and the medium keeps delivering (measured as it
// is: one medium shared by many files, a file system that keeps no page cache), and once the read
// has ended, as long again as it took. What a confined process does to its file (reading it again,
// dropping it from the page cache, waiting in an open) buys it nothing: on a local disk the read
// is over in moments.

#include <chrono>
#include <memory>

namespace ci::io {

class ReadThrough {
  public:
    using Clock = std::chrono::steady_clock;

    /// How long a medium may deliver nothing to the program's reads of its files and still be
    /// taken as delivering: a share answers a file's requests after those queued before them.
    static constexpr std::chrono::seconds stallAllowance{10};
    /// Reads at once that may wait on media, each on a thread of its own: a read of a share that
    /// has stalled may wait as long as the share does.
    static constexpr int maxReads = 32;

    /// The read of the file open on `fd` (which the caller keeps open while this returns; the read
    /// opens the file anew through it, so that the open is timed too), started now, or the one of
    /// the same file already going on. Null when it cannot be started: `fd` is no regular file, or
    /// maxReads wait on their media.
    static std::shared_ptr<ReadThrough> start(int fd);

    /// Until when a process that has waited on the file since `since`, past its own time, may go
    /// on waiting: while the read goes on, stallAllowance after its medium last delivered; once
    /// it has ended, as long as it took after its end or after `since`, whichever is later.
    Clock::time_point allowance(Clock::time_point since) const;

    /// Whether the read has ended (at the file's end, or failed).
    bool ended() const;

    /// The read is given up when no one waits on it any more.
    ~ReadThrough();
    ReadThrough(const ReadThrough&) = delete;
    ReadThrough& operator=(const ReadThrough&) = delete;

    struct State;

  private:
    explicit ReadThrough(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
};

} // namespace ci::io
