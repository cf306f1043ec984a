#include "support/TestSupport.h"

#include "ci/io/FileArrival.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <vector>

namespace {

constexpr int64_t kMB = int64_t(1) << 20;

/// Reads `bytes` of `fd` from `offset` (through the page cache).
void readPart(int fd, int64_t offset, int64_t bytes) {
    std::vector<char> buffer(size_t(1) << 16);
    for (int64_t done = 0; done < bytes;) {
        const ssize_t n =
            ::pread(fd, buffer.data(), size_t(std::min<int64_t>(bytes - done, int64_t(buffer.size()))),
                    offset + done);
        ASSERT_GT(n, 0);
        done += n;
    }
}

bool dropFromCache(int fd) {
    ::fdatasync(fd);
    return ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0 && ci::io::FileArrival::cachedBytes(fd) < kMB;
}

} // namespace

TEST(FileArrival, CountsOnlyNewBytesOfTheFileItself) {
    gwtest::TempDir tmp;
    const std::string path = tmp.file("arriving.bin");
    gwtest::writeBytes(path, std::vector<uint8_t>(size_t(16 * kMB), 7));
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    // Read no further ahead than asked, so that what arrives is what was read.
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
    if (!dropFromCache(fd)) {
        ::close(fd);
        GTEST_SKIP() << "the temporary folder's file system keeps its files in memory";
    }
    ci::io::FileArrival arrival(fd);
    EXPECT_EQ(arrival.arrived(), 0);

    // New bytes count...
    readPart(fd, 0, 4 * kMB);
    const int64_t first = arrival.arrived();
    EXPECT_GE(first, 4 * kMB);
    EXPECT_LT(first, 5 * kMB);
    // ...the same bytes read again do not, nor do they once dropped from the cache and read again.
    readPart(fd, 0, 4 * kMB);
    EXPECT_EQ(arrival.arrived(), 0);
    ASSERT_TRUE(dropFromCache(fd));
    readPart(fd, 0, 4 * kMB);
    EXPECT_EQ(arrival.arrived(), 0);
    // Beyond what was held at most, they count again.
    readPart(fd, 0, 16 * kMB);
    EXPECT_EQ(arrival.arrived(), 16 * kMB - first);
    ::close(fd);
}
