#include "FilePath.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>

#include <cerrno>
#include <cstring>
#include <random>

namespace platform {

namespace {

constexpr char16_t kEscape = 0xDC00;

// The length of the valid UTF-8 sequence at p (at most n bytes), or 0.
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

StagedFile::StagedFile(const QString& path, const QByteArray& data) {
    if (!isValidPath(path)) {
        error_ = kNotAFileName;
        return;
    }
    const QByteArray target = encodePath(path);
    const qsizetype slash = target.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray(".") : target.left(std::max<qsizetype>(slash, 1));
    const QByteArray name = target.mid(slash + 1);

    // A new name in the same folder, so that publishing is one step; created, never reused.
    std::random_device random;
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
        temporary_ = folder + "/." + name.left(200) + "." + QByteArray::number(random(), 36) + ".part";
        fd_ = ::open(temporary_.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd_ < 0 && errno != EEXIST)
            break;
    }
    if (fd_ < 0) {
        error_ = reason(errno);
        temporary_.clear();
        return;
    }
    const char* p = data.constData();
    qsizetype left = data.size();
    int error = 0;
    while (left > 0) {
        const ssize_t n = ::write(fd_, p, size_t(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error = errno;
            break;
        }
        p += n;
        left -= n;
    }
    // A full disk may show only when the data is flushed.
    if (!error && ::fsync(fd_) != 0 && errno != EINVAL)
        error = errno;
    if (error)
        error_ = reason(error);
}

StagedFile::~StagedFile() {
    if (fd_ >= 0)
        ::close(fd_);
    if (!published_ && !temporary_.isEmpty())
        ::unlink(temporary_.constData());
}

std::string StagedFile::replace(const QString& path) {
    if (!error_.empty())
        return error_;
    if (!isValidPath(path))
        return kNotAFileName;
    const QByteArray target = encodePath(path);
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
    auto failed = [&](std::string why) {
        *error = std::move(why);
        return Outcome::Failed;
    };
    if (!error_.empty())
        return failed(error_);
    if (!isValidPath(path))
        return failed(kNotAFileName);
    const QByteArray target = encodePath(path);
    const char* from = temporary_.constData();
    const char* to = target.constData();

    // In one step where the file system can: the name is given only while nothing has it.
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
        published_ = true;
        return Outcome::Published;
    }
    if (errno == EEXIST)
        return Outcome::Taken;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return failed(reason(errno));

    // A second name for the file: a link never takes a name that something has.
    if (::link(from, to) == 0) {
        ::unlink(from);
        published_ = true;
        return Outcome::Published;
    }
    if (errno == EEXIST)
        return Outcome::Taken;
    if (errno != EPERM && errno != ENOSYS && errno != EOPNOTSUPP)
        return failed(reason(errno));

    // A file system with neither: the name is claimed by creating it, then the file renamed over
    // the claim. Someone may see the empty claim for a moment, but no other writer takes the name.
    const int claim = ::open(to, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (claim < 0)
        return errno == EEXIST ? Outcome::Taken : failed(reason(errno));
    ::close(claim);
    if (::rename(from, to) != 0) {
        const int e = errno;
        ::unlink(to);
        return failed(reason(e));
    }
    published_ = true;
    return Outcome::Published;
}

std::string writeFileAtomically(const QString& path, const QByteArray& data) {
    StagedFile file(path, data);
    return file.replace(path);
}

} // namespace platform
