#include "FileArrival.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <vector>

namespace ci::io {

namespace {

// The kernel's cachestat (Linux 6.5), which the system's headers may not name yet.
constexpr long kCachestat = 451;
struct CachestatRange {
    uint64_t offset, length;
};
struct Cachestat {
    uint64_t cached, dirty, writeback, evicted, recentlyEvicted;
};

/// The size of the regular file open on `fd`; -1 when it is none.
int64_t sizeOf(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? int64_t(st.st_size) : -1;
}

/// Pages of the file's first `size` bytes in the cache as mincore() tells them, for kernels without
/// cachestat: the file mapped a part at a time, without a page of it read.
int64_t residentPages(int fd, int64_t size) {
    if (size < 0)
        return -1;
    const int64_t page = ::sysconf(_SC_PAGESIZE);
    constexpr int64_t part = int64_t(1) << 30;
    std::vector<unsigned char> resident;
    int64_t pages = 0;
    for (int64_t offset = 0; offset < size; offset += part) {
        const auto length = size_t(std::min(part, size - offset));
        void* map = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, offset);
        if (map == MAP_FAILED)
            return -1;
        resident.resize((length + size_t(page) - 1) / size_t(page));
        const bool told = ::mincore(map, length, resident.data()) == 0;
        ::munmap(map, length);
        if (!told)
            return -1;
        pages += std::count_if(resident.begin(), resident.end(), [](unsigned char c) { return c & 1; });
    }
    return pages;
}

} // namespace

int64_t FileArrival::cachedBytes(int fd) {
    return cachedBytes(fd, sizeOf(fd));
}

int64_t FileArrival::cachedBytes(int fd, int64_t size) {
    static std::atomic<bool> noCachestat = false;
    const int64_t page = ::sysconf(_SC_PAGESIZE);
    if (!noCachestat) {
        CachestatRange range{0, 0}; // to the end of the file
        Cachestat stat{};
        if (::syscall(kCachestat, fd, &range, &stat, 0) == 0)
            return int64_t(stat.cached) * page;
        if (errno != ENOSYS)
            return -1;
        noCachestat = true;
    }
    const int64_t pages = residentPages(fd, size);
    return pages < 0 ? -1 : pages * page;
}

FileArrival::FileArrival(int fd)
    : fd_(fd), size_(sizeOf(fd)), highest_(std::max<int64_t>(cachedBytes(fd, size_), 0)) {}

int64_t FileArrival::arrived() {
    const int64_t now = cachedBytes(fd_, size_);
    if (now <= highest_)
        return 0;
    const int64_t more = now - highest_;
    highest_ = now;
    return more;
}

} // namespace ci::io
