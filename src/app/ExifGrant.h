#pragma once

// What the metadata tool is given of a user's file: the very file the program looked at, by an open
// descriptor, never its name. A name may lead elsewhere a moment later (a share that answers
// differently once read, another user's process swapping names in a shared folder); the
// descriptor cannot. One import decides here, and nowhere else, which of its files the tool may
// read.

#include "ci/io/PictureFile.h"

#include <QtGlobal>

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace app::Exif {

class Reader;

/// A user's file as the program looked at it (ci::io::PictureFile: opened once by its name, links
/// followed, without waiting, and found to be a regular file). It is closed with its last holder.
using LookPtr = std::shared_ptr<const ci::io::PictureFile>;

/// The regular file at `path`, looked at; nothing when there is none (a folder, a pipe, a device,
/// a socket: none of them is opened in a way that could wait) or it cannot be opened.
LookPtr lookAt(const std::string& path);

/// The files of one import that the tool may read, announced to `metadata` in list order as each
/// is settled: a file whose first bytes, as looked at, are a picture's signature, at once; one
/// without such a signature once its reader, given the file looked at (scan()'s descriptor), has
/// accepted its header. A file its reader turns away is taken back. Every method may be called from
/// any thread.
class Grants {
  public:
    Grants(Reader& metadata, qsizetype count);
    ~Grants();

    /// Looks at file `i` by `path`, once, by whichever caller comes first: granted when it starts
    /// as a picture. The look (nothing when it is no regular file), whose descriptor its reader is
    /// to read.
    LookPtr scan(qsizetype i, const std::string& path);
    /// The reader of file `i`, given the file looked at, has accepted its header.
    void headerAccepted(qsizetype i);
    /// The reader of file `i` turned it away: it is no longer granted, and taken back if announced.
    void turnAway(qsizetype i);
    /// File `i` has been opened: the files after it may be announced.
    void settle(qsizetype i);
    /// The look of file `i` when the tool may read it, else nothing.
    LookPtr granted(qsizetype i);
    /// The import is done with file `i`: its look is let go.
    void release(qsizetype i);

  private:
    struct Entry;
    /// The look at file `i` by `path`, made once by whichever caller comes first (nothing when it
    /// is no regular file).
    LookPtr look(qsizetype i, const std::string& path);
    void grant(qsizetype i, const LookPtr& look);
    void announceSettled();

    Reader& metadata_;
    std::unique_ptr<Entry[]> entries_;
    qsizetype count_;
    std::mutex mutex_;
    std::unordered_map<qsizetype, LookPtr> pending_; // guarded by mutex_
    qsizetype next_ = 0;                             // guarded by mutex_
};

} // namespace app::Exif
