#pragma once

// The engine's memory budget. Every pixel buffer the engine allocates is counted, and a render or
// decode asks the budget before it allocates anything, so a picture too large for the machine
// fails with a message instead of taking the machine into swap or the process down.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <string>

namespace ci {

/// a * b and a + b for sizes, or nothing when the result does not fit in 63 bits (or an
/// operand is negative).
std::optional<int64_t> checkedMul(int64_t a, int64_t b);
std::optional<int64_t> checkedAdd(int64_t a, int64_t b);
/// The same, saturating at INT64_MAX: a size that large is refused by the budget anyway.
int64_t saturatingMul(int64_t a, int64_t b);
int64_t saturatingAdd(int64_t a, int64_t b);

/// Thrown when an allocation would take the pixel buffers over the budget; a std::bad_alloc, so
/// every handler of allocation failure handles it.
class MemoryLimitExceeded : public std::bad_alloc {
  public:
    explicit MemoryLimitExceeded(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

  private:
    std::string message_;
};

/// The words for a failure caught as an exception: the budget's message, "not enough memory"
/// for any other failed allocation, else the exception's own text.
std::string describeFailure(const std::exception& e);

namespace memory {

/// The most that the engine's pixel buffers may take together, in bytes: defaultLimit() as it was
/// first asked for, unless setLimit() replaced it.
int64_t limit();
/// Half of the machine's physical memory (or of the process's memory limit, when that is lower),
/// unless the environment variable GW_MEMORY_LIMIT_GB gives a number of gigabytes.
int64_t defaultLimit();
/// Replaces the limit (0 restores the default); for tests and tools.
void setLimit(int64_t bytes);
/// Bytes held by live pixel buffers.
int64_t inUse();

/// Empty when `bytes` more can be allocated within the limit; otherwise the reason, such as
/// "needs 2.3 GB, limit 1.0 GB".
std::string admit(int64_t bytes);

/// Counts `bytes` as held (throws MemoryLimitExceeded when that would pass the limit) and
/// releases them again. Pixel buffers do this themselves.
void acquire(int64_t bytes);
void release(int64_t bytes) noexcept;
/// acquire() without the exception: false, holding nothing more, when that would pass the limit.
bool tryAcquire(int64_t bytes) noexcept;

/// "2.3 GB": a byte count in gigabytes for messages.
std::string formatGB(int64_t bytes);

/// Asks the system to back a large, freshly allocated and not yet touched buffer with huge pages
/// where it grants them on request (only advice; small buffers are left alone). Filled in pages
/// of 4 KiB, the samples of a 12-megapixel picture take nine thousand page faults, a third of the
/// time its decoding takes.
void preferHugePages(void* data, size_t bytes);

} // namespace memory

} // namespace ci
