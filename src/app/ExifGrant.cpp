#include "app/ExifGrant.h"

#include "app/Exif.h"
#include "ci/io/Codec.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace app::Exif {

namespace {

/// As many first bytes as every signature needs.
constexpr size_t kHeadBytes = 256;

/// Whether the first bytes of `file` are the signature of a picture format.
bool startsAsPicture(const ci::io::PictureFile& file) {
    uint8_t head[kHeadBytes];
    ssize_t n;
    while ((n = ::pread(file.descriptor(), head, sizeof head, 0)) < 0 && errno == EINTR) {
    }
    return ci::io::startsAsPicture(head, size_t(std::max<ssize_t>(n, 0)));
}

} // namespace

LookPtr lookAt(const std::string& path) {
    ci::Result<ci::io::PictureFile> file = ci::io::PictureFile::open(path);
    return file ? std::make_shared<const ci::io::PictureFile>(std::move(file.value())) : nullptr;
}

struct Grants::Entry {
    std::once_flag looked;
    LookPtr look;         // guarded by mutex_
    bool picture = false; ///< its first bytes are a picture format's signature; set once looked
    bool settled = false, announced = false, granted = false;
};

Grants::Grants(Reader& metadata, qsizetype count)
    : metadata_(metadata), entries_(new Entry[size_t(count)]), count_(count) {}

Grants::~Grants() = default;

LookPtr Grants::look(qsizetype i, const std::string& path) {
    Entry& entry = entries_[size_t(i)];
    std::call_once(entry.looked, [&] {
        LookPtr look = lookAt(path);
        const bool picture = look && startsAsPicture(*look);
        std::lock_guard lock(mutex_);
        entry.look = std::move(look);
        entry.picture = picture;
    });
    std::lock_guard lock(mutex_);
    return entry.look;
}

LookPtr Grants::scan(qsizetype i, const std::string& path) {
    LookPtr looked = look(i, path);
    bool picture;
    {
        std::lock_guard lock(mutex_);
        picture = entries_[size_t(i)].picture;
    }
    if (looked && picture)
        grant(i, looked);
    return looked;
}

void Grants::headerAccepted(qsizetype i) {
    LookPtr looked;
    {
        std::lock_guard lock(mutex_);
        looked = entries_[size_t(i)].look;
    }
    // The reader read the file looked at (ImageObject::open with its descriptor).
    if (looked)
        grant(i, looked);
}

void Grants::grant(qsizetype i, const LookPtr& look) {
    std::lock_guard lock(mutex_);
    Entry& entry = entries_[size_t(i)];
    if (entry.settled || entry.granted)
        return;
    entry.granted = entry.announced = true;
    pending_.emplace(i, look);
    entry.settled = true;
    announceSettled();
}

void Grants::turnAway(qsizetype i) {
    std::lock_guard lock(mutex_);
    Entry& entry = entries_[size_t(i)];
    entry.granted = false;
    if (entry.announced) {
        entry.announced = false;
        if (const auto it = pending_.find(i); it != pending_.end())
            pending_.erase(it);
        else if (entry.look)
            metadata_.withdraw({entry.look});
    }
    entry.settled = true;
    announceSettled();
}

void Grants::settle(qsizetype i) {
    std::lock_guard lock(mutex_);
    entries_[size_t(i)].settled = true;
    announceSettled();
}

void Grants::announceSettled() {
    std::vector<LookPtr> ready;
    for (; next_ < count_ && entries_[size_t(next_)].settled; ++next_)
        if (auto it = pending_.find(next_); it != pending_.end()) {
            ready.push_back(std::move(it->second));
            pending_.erase(it);
        }
    // Under the lock, so that files are announced in their order.
    if (!ready.empty())
        metadata_.prepare(ready);
}

LookPtr Grants::granted(qsizetype i) {
    std::lock_guard lock(mutex_);
    const Entry& entry = entries_[size_t(i)];
    return entry.granted ? entry.look : nullptr;
}

void Grants::release(qsizetype i) {
    std::lock_guard lock(mutex_);
    entries_[size_t(i)].look.reset();
}

} // namespace app::Exif
