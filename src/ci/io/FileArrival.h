#pragma once

// How far a file's own bytes have come in from its medium, as a measure of the progress of a
// process that waits on a slow disk or share. What the kernel holds of the file in its page cache
// grows only as new bytes of it arrive: reading the same bytes again, or reading anything else,
// adds nothing, and bytes dropped from the cache and read again count once.

#include <cstdint>

namespace ci::io {

class FileArrival {
  public:
    /// Watches the file open on `fd`, which the caller keeps open while this is used.
    explicit FileArrival(int fd);

    /// The bytes of the file that have arrived since the last call (the first counts from the
    /// construction): how much more of it the page cache has held at most. 0 when the system
    /// cannot tell.
    int64_t arrived();

    /// The bytes of the file that the page cache holds now; -1 when the system cannot tell.
    static int64_t cachedBytes(int fd);

  private:
    /// The same, of the file's first `size` bytes where the kernel can tell only a part at a time.
    static int64_t cachedBytes(int fd, int64_t size);

    int fd_;
    /// Its size when watched: asked once, as asking a share that has stalled may wait on it.
    int64_t size_;
    int64_t highest_;
};

} // namespace ci::io
