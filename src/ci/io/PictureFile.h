#pragma once

// A user's file, opened once to be read. A name is looked up once: what was checked is what is
// read, and what is handed to a reader process or the metadata tool, by descriptor. A name may
// lead elsewhere a moment later (a share that answers differently once read, another user's
// process swapping names in a shared folder, a pipe or a device put in its place); a descriptor
// cannot.
//
// A confined process is handed an open file description of its own (reopen()), never the
// program's: it could change the flags of a description it shares (O_DIRECT, O_NONBLOCK) or move
// its offset under the program's reads.

#include "ci/core/Context.h"

#include <cstdint>
#include <string>

namespace ci::io {

/// Which file a name led to when it was looked at: a name that leads to another one later no longer
/// names the same picture.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;

    bool known() const { return device != 0 || inode != 0; }
    bool operator==(const FileIdentity&) const = default;
};

class PictureFile {
  public:
    /// The regular file at `path` (symbolic links followed: a link to a photo is meant), opened
    /// without waiting (a pipe or device that takes its name would block an open for ever; one
    /// already there is not even opened), or why it cannot be read: it does not exist, is a
    /// folder, or is no regular file.
    static Result<PictureFile> open(const std::string& path);
    /// The same, for a file that must be the one looked at before as `identity`: a name that leads
    /// to another file by now fails with replacedReason().
    static Result<PictureFile> openSame(const std::string& path, const FileIdentity& identity);
    /// The very file that `fd` has open, in a new open file description (named `path` in
    /// messages), whatever its name leads to by now. Fails as open() does when `fd` holds no
    /// regular file.
    static Result<PictureFile> reopen(int fd, const std::string& path);

    /// This file in a new open file description of its own: for a reader process, which may do
    /// with it what it likes.
    Result<PictureFile> reopen() const { return reopen(fd_, path_); }

    PictureFile(PictureFile&& other) noexcept;
    PictureFile& operator=(PictureFile&& other) noexcept;
    PictureFile(const PictureFile&) = delete;
    PictureFile& operator=(const PictureFile&) = delete;
    ~PictureFile();

    /// Read-only, blocking reads; the program's own.
    int descriptor() const { return fd_; }
    const std::string& path() const { return path_; }
    const FileIdentity& identity() const { return identity_; }
    /// Its size when it was opened.
    int64_t size() const { return size_; }
    /// Another name of the same file, or the same name opened again.
    bool isSame(const PictureFile& other) const { return identity_ == other.identity_; }

    /// Why a file is not read that its name no longer leads to.
    static std::string replacedReason(const std::string& path);

  private:
    PictureFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    /// Looks at what was opened: a regular file, whose identity and size are kept, and reads that
    /// block from then on; else why not.
    std::string settle();

    int fd_ = -1;
    std::string path_;
    FileIdentity identity_;
    int64_t size_ = 0;
};

} // namespace ci::io
