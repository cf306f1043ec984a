#include "PictureFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace ci::io {

namespace {

/// Why a file whose status is `st` (of `path`) cannot be an image, or "" for a regular file.
std::string notRegular(const struct stat& st, const std::string& path) {
    if (S_ISDIR(st.st_mode))
        return "The file is a folder: " + path;
    if (!S_ISREG(st.st_mode))
        return "The file is not a regular file (a device, pipe or socket): " + path;
    return {};
}

/// Why `path` cannot be looked at or opened, from `errno`.
std::string unreadable(const std::string& path) {
    const int e = errno;
    if (e == ENOENT || e == ENOTDIR)
        return "The file does not exist: " + path;
    return "The file cannot be read: " + path + ": " + std::strerror(e);
}

constexpr int kOpenFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

} // namespace

std::string PictureFile::settle() {
    struct stat st {};
    if (::fstat(fd_, &st) != 0)
        return unreadable(path_);
    if (std::string refused = notRegular(st, path_); !refused.empty())
        return refused;
    identity_ = {uint64_t(st.st_dev), uint64_t(st.st_ino)};
    size_ = int64_t(st.st_size);
    // A regular file never waits on a writer; a slow share is waited for like a disk.
    if (const int flags = ::fcntl(fd_, F_GETFL); flags >= 0 && (flags & O_NONBLOCK))
        ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK);
    return {};
}

Result<PictureFile> PictureFile::open(const std::string& path) {
    // The name's status first, so that a device or pipe already there is not even opened.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return Result<PictureFile>::failure(unreadable(path));
    if (std::string refused = notRegular(st, path); !refused.empty())
        return Result<PictureFile>::failure(refused);
    // What was opened is what is read: the name may have become a pipe since.
    const int fd = ::open(path.c_str(), kOpenFlags);
    if (fd < 0)
        return Result<PictureFile>::failure(unreadable(path));
    PictureFile file(fd, path);
    if (std::string refused = file.settle(); !refused.empty())
        return Result<PictureFile>::failure(refused);
    return file;
}

Result<PictureFile> PictureFile::openSame(const std::string& path, const FileIdentity& identity) {
    Result<PictureFile> file = open(path);
    if (file && identity.known() && file->identity() != identity)
        return Result<PictureFile>::failure(replacedReason(path));
    return file;
}

Result<PictureFile> PictureFile::reopen(int fd, const std::string& path) {
    struct stat held {};
    if (::fstat(fd, &held) != 0)
        return Result<PictureFile>::failure(unreadable(path));
    if (std::string refused = notRegular(held, path); !refused.empty())
        return Result<PictureFile>::failure(refused);
    // Through the descriptor's own entry, which leads to its file and to no name.
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const int own = ::open(self.c_str(), kOpenFlags);
    if (own < 0)
        return Result<PictureFile>::failure(unreadable(path));
    PictureFile file(own, path);
    if (std::string refused = file.settle(); !refused.empty())
        return Result<PictureFile>::failure(refused);
    if (file.identity() != FileIdentity{uint64_t(held.st_dev), uint64_t(held.st_ino)})
        return Result<PictureFile>::failure(replacedReason(path));
    return file;
}

std::string PictureFile::replacedReason(const std::string& path) {
    return "The file was replaced after it was added: " + path;
}

PictureFile::PictureFile(PictureFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)), identity_(other.identity_),
      size_(other.size_) {}

PictureFile& PictureFile::operator=(PictureFile&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
        identity_ = other.identity_;
        size_ = other.size_;
    }
    return *this;
}

PictureFile::~PictureFile() {
    if (fd_ >= 0)
        ::close(fd_);
}

} // namespace ci::io
