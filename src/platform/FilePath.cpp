#include "FilePath.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>

#include <cerrno>
#include <cstring>
#include <random>
#include <utility>

namespace platform {

int utf8Sequence(const unsigned char* p, qsizetype n, char32_t& cp) {
    const unsigned char c = p[0];
    int len = 0;
    char32_t min = 0;
    if (c < 0x80) {
        cp = c;
        return 1;
    } else if ((c & 0xE0) == 0xC0) {
        len = 2, cp = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        len = 3, cp = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        len = 4, cp = c & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (n < len)
        return 0;
    for (int i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    // Overlong forms, surrogates and values past Unicode are not valid UTF-8.
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return len;
}

namespace {

constexpr char16_t kEscape = 0xDC00;

void appendUtf8(QByteArray& out, char32_t cp) {
    if (cp < 0x80) {
        out.append(char(cp));
    } else if (cp < 0x800) {
        out.append(char(0xC0 | (cp >> 6)));
        out.append(char(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.append(char(0xE0 | (cp >> 12)));
        out.append(char(0x80 | ((cp >> 6) & 0x3F)));
        out.append(char(0x80 | (cp & 0x3F)));
    } else {
        out.append(char(0xF0 | (cp >> 18)));
        out.append(char(0x80 | ((cp >> 12) & 0x3F)));
        out.append(char(0x80 | ((cp >> 6) & 0x3F)));
        out.append(char(0x80 | (cp & 0x3F)));
    }
}

std::string reason(int error) {
    return std::strerror(error);
}

} // namespace

bool isValidPath(const QString& path) {
    return !path.contains(QChar(u'\0'));
}

bool isValidPath(const std::string& bytes) {
    return bytes.find('\0') == std::string::npos;
}

QString decodePath(const QByteArray& bytes) {
    QString path;
    path.reserve(bytes.size());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    const qsizetype n = bytes.size();
    for (qsizetype i = 0; i < n;) {
        char32_t cp = 0;
        if (const int len = utf8Sequence(p + i, n - i, cp)) {
            path.append(QString::fromUcs4(&cp, 1));
            i += len;
        } else {
            path.append(QChar(char16_t(kEscape + p[i])));
            ++i;
        }
    }
    return path;
}

QByteArray encodePath(const QString& path) {
    QByteArray out;
    out.reserve(path.size());
    for (qsizetype i = 0; i < path.size(); ++i) {
        const char16_t u = path[i].unicode();
        if (QChar::isHighSurrogate(u) && i + 1 < path.size() &&
            QChar::isLowSurrogate(path[i + 1].unicode())) {
            appendUtf8(out, QChar::surrogateToUcs4(u, path[i + 1].unicode()));
            ++i;
        } else if (u >= kEscape + 0x80 && u <= kEscape + 0xFF) {
            out.append(char(u - kEscape));
        } else if (QChar::isSurrogate(u)) {
            appendUtf8(out, 0xFFFD); // a lone surrogate no name can hold
        } else {
            appendUtf8(out, u);
        }
    }
    return out;
}

std::string pathBytes(const QString& path) {
    return encodePath(path).toStdString();
}

QString localPath(const QUrl& url) {
    if (!url.isLocalFile())
        return {};
    return decodePath(QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1()));
}

QUrl fileUrl(const QString& path) {
    if (path.isEmpty())
        return {};
    return QUrl::fromEncoded("file://" + encodePath(absolutePath(path)).toPercentEncoding("/"));
}

QString absolutePath(const QString& path) {
    if (path.startsWith('/'))
        return QDir::cleanPath(path);
    QByteArray cwd(4096, '\0');
    while (!::getcwd(cwd.data(), size_t(cwd.size()))) {
        if (errno != ERANGE)
            return QDir::cleanPath(path);
        cwd.resize(cwd.size() * 2);
    }
    cwd.truncate(qsizetype(std::strlen(cwd.constData())));
    return QDir::cleanPath(decodePath(cwd) + '/' + path);
}

QStringList commandLineFiles(const QList<QByteArray>& arguments) {
    QStringList paths;
    for (const QByteArray& argument : arguments) {
        const QString path =
            argument.startsWith("file:") ? localPath(QUrl::fromEncoded(argument)) : decodePath(argument);
        if (path.isEmpty())
            continue;
        const QString absolute = absolutePath(path);
        if (argument.startsWith('-') && !nameTaken(absolute))
            continue;
        paths << absolute;
    }
    return paths;
}

FileKind fileKind(const QString& path) {
    struct stat st {};
    if (!isValidPath(path))
        return FileKind::Missing;
    if (::stat(encodePath(path).constData(), &st) != 0)
        return FileKind::Missing;
    if (S_ISREG(st.st_mode))
        return FileKind::Regular;
    if (S_ISDIR(st.st_mode))
        return FileKind::Folder;
    return FileKind::Other;
}

bool nameTaken(const QString& path) {
    struct stat st {};
    return isValidPath(path) && ::lstat(encodePath(path).constData(), &st) == 0;
}

std::optional<QStringList> folderEntries(const QString& path) {
    if (!isValidPath(path))
        return std::nullopt;
    DIR* dir = ::opendir(encodePath(path).constData());
    if (!dir)
        return std::nullopt;
    QStringList names;
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            names << decodePath(name);
    }
    ::closedir(dir);
    return names;
}

namespace {

// 0 or the system's error.
int writeAll(int fd, const char* p, qsizetype left) {
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        p += n;
        left -= n;
    }
    return 0;
}

// The whole content of `from` appended to `to`; 0 or the system's error.
int copyAll(int from, int to) {
    QByteArray buffer(1 << 16, Qt::Uninitialized);
    for (off_t offset = 0;;) {
        const ssize_t n = ::pread(from, buffer.data(), size_t(buffer.size()), offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            return 0;
        if (const int e = writeAll(to, buffer.constData(), n))
            return e;
        offset += n;
    }
}

// A full disk may show only when the data is flushed.
int flush(int fd) {
    return ::fsync(fd) != 0 && errno != EINVAL ? errno : 0;
}

bool sameFile(int fd, const char* path) {
    struct stat mine {};
    struct stat named {};
    return ::fstat(fd, &mine) == 0 && ::lstat(path, &named) == 0 && mine.st_dev == named.st_dev &&
           mine.st_ino == named.st_ino;
}

QByteArray procPath(int fd) {
    return "/proc/self/fd/" + QByteArray::number(fd);
}

// Gives the unnamed file open as `fd` the name `path`, never replacing what has it.
int linkUnnamed(int fd, const char* path) {
    return ::linkat(AT_FDCWD, procPath(fd).constData(), AT_FDCWD, path, AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
}

// Linking through /proc is missing here (no /proc, a file system that refuses): the file is then
// staged under a hidden name instead.
bool linkUnavailable(int error) {
    return error == ENOENT || error == EXDEV || error == EPERM || error == EACCES || error == EINVAL ||
           error == ENOSYS || error == EOPNOTSUPP;
}

} // namespace

StagedFile::StagedFile(const QString& path, const QByteArray& data) {
    if (!isValidPath(path)) {
        error_ = kNotAFileName;
        return;
    }
    const QByteArray target = encodePath(path);
    const qsizetype slash = target.lastIndexOf('/');
    folder_ = slash < 0 ? QByteArray(".") : target.left(std::max<qsizetype>(slash, 1));
    name_ = target.mid(slash + 1);

    // A file with no name until it is published: whatever ends the program, nothing is left in
    // the folder. Where the file system cannot, a hidden name (see stageNamed).
    fd_ = ::open(folder_.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    int error = 0;
    if (fd_ < 0)
        error = stageNamed();
    if (!error)
        error = writeAll(fd_, data.constData(), data.size());
    if (!error)
        error = flush(fd_);
    if (error)
        error_ = reason(error);
}

StagedFile::~StagedFile() {
    if (fd_ >= 0)
        ::close(fd_);
    if (!published_ && !temporary_.isEmpty())
        ::unlink(temporary_.constData());
}

QByteArray StagedFile::hiddenName() const {
    std::random_device random;
    return folder_ + "/." + name_.left(200) + "." + QByteArray::number(random(), 36) + ".part";
}

int StagedFile::stageNamed() {
    const int unnamed = std::exchange(fd_, -1);
    // A new name in the same folder, so that publishing is one step; created, never reused.
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
        temporary_ = hiddenName();
        fd_ = ::open(temporary_.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd_ < 0 && errno != EEXIST)
            break;
    }
    int error = 0;
    if (fd_ < 0) {
        error = errno;
        temporary_.clear();
    } else if (unnamed >= 0 && ((error = copyAll(unnamed, fd_)) || (error = flush(fd_)))) {
        ::close(std::exchange(fd_, -1));
        ::unlink(temporary_.constData());
        temporary_.clear();
    }
    if (unnamed >= 0) {
        if (fd_ < 0)
            fd_ = unnamed; // still whole, for another try
        else
            ::close(unnamed);
    }
    return error;
}

int StagedFile::nameUnnamed() {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QByteArray name = hiddenName();
        const int error = linkUnnamed(fd_, name.constData());
        if (!error) {
            temporary_ = name;
            return 0;
        }
        if (error != EEXIST)
            return linkUnavailable(error) ? stageNamed() : error;
    }
    return EEXIST;
}

std::string StagedFile::replace(const QString& path) {
    if (!error_.empty())
        return error_;
    if (!isValidPath(path))
        return kNotAFileName;
    const QByteArray target = encodePath(path);
    // Only a name can be renamed over another at once, and rename is what replaces a symbolic
    // link instead of writing through it: the unnamed file gets a hidden name just before.
    if (temporary_.isEmpty())
        if (const int error = nameUnnamed())
            return reason(error);
    // A file that is replaced keeps its permissions; a new one gets the usual ones.
    struct stat old {};
    if (::lstat(target.constData(), &old) == 0 && S_ISREG(old.st_mode))
        ::fchmod(fd_, old.st_mode & 07777);
    if (::rename(temporary_.constData(), target.constData()) != 0)
        return reason(errno);
    published_ = true;
    return {};
}

StagedFile::Outcome StagedFile::publishNew(const QString& path, std::string* error) {
    auto failed = [&](int why) {
        *error = reason(why);
        return Outcome::Failed;
    };
    if (!error_.empty()) {
        *error = error_;
        return Outcome::Failed;
    }
    if (!isValidPath(path)) {
        *error = kNotAFileName;
        return Outcome::Failed;
    }
    const QByteArray target = encodePath(path);
    const char* to = target.constData();

    // The unnamed file gets its one name: a link never takes a name that something has.
    if (temporary_.isEmpty()) {
        const int e = linkUnnamed(fd_, to);
        if (e == 0) {
            published_ = true;
            return Outcome::Published;
        }
        if (e == EEXIST)
            return Outcome::Taken;
        if (!linkUnavailable(e))
            return failed(e);
        if (const int staged = stageNamed())
            return failed(staged);
    }
    const char* from = temporary_.constData();

    // In one step where the file system can: the name is given only while nothing has it.
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
        published_ = true;
        return Outcome::Published;
    }
    if (errno == EEXIST)
        return Outcome::Taken;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return failed(errno);

    // A second name for the file: a link never takes a name that something has.
    if (::link(from, to) == 0) {
        ::unlink(from);
        published_ = true;
        return Outcome::Published;
    }
    if (errno == EEXIST)
        return Outcome::Taken;
    if (errno != EPERM && errno != ENOSYS && errno != EOPNOTSUPP)
        return failed(errno);

    // A file system with neither: the name is claimed by creating it, and the data written into
    // the claim.
    const int claim = ::open(to, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (claim < 0)
        return errno == EEXIST ? Outcome::Taken : failed(errno);
    const Outcome outcome = detail::fillClaim(fd_, claim, to, error);
    ::close(claim);
    if (outcome == Outcome::Published) {
        ::unlink(from);
        temporary_.clear();
        published_ = true;
    }
    return outcome;
}

namespace detail {

// The claim is our own file: should another program put its file under the name meanwhile, our
// data goes to our file, now nameless, and theirs stays; the name is then Taken. The limits: a
// reader may see the file grow under its name, and what ends the program while it is written
// leaves it partly written there (such a file system has no way to give a name only while it is
// free); between the check and removing a failed claim, another program could still take the name.
StagedFile::Outcome fillClaim(int source, int claim, const char* path, std::string* error) {
    int e = copyAll(source, claim);
    if (!e)
        e = flush(claim);
    const bool ours = sameFile(claim, path);
    if (e) {
        if (ours)
            ::unlink(path);
        *error = reason(e);
        return StagedFile::Outcome::Failed;
    }
    return ours ? StagedFile::Outcome::Published : StagedFile::Outcome::Taken;
}

} // namespace detail

std::string writeFileAtomically(const QString& path, const QByteArray& data) {
    StagedFile file(path, data);
    return file.replace(path);
}

} // namespace platform
