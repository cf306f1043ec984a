#pragma once

// File names are bytes. Qt 6 reads every name as UTF-8 and drops what is not, so a name written
// in another encoding (an old archive, a card filled by another system) could be neither listed
// nor opened. Here a path travels in a QString with each byte that is not part of valid UTF-8 as
// the code unit U+DC00 + byte (a lone surrogate, which no text holds), and turns back into the
// very same bytes for the system. For valid UTF-8 this is what Qt does.
//
// The other services here look at and write files through the system directly, by those bytes.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <optional>
#include <string>

namespace platform {

/// What a path that cannot name a file is called where a failure is reported.
inline constexpr char kNotAFileName[] = "not a valid file name";
/// False for a path that holds a NUL: the system would read the name only up to it and so reach
/// another file. Every path from outside (documents, the pasteboard, the command line, drops) is
/// checked with this before it is used; the services below refuse such a path too.
bool isValidPath(const QString& path);
bool isValidPath(const std::string& bytes);

/// The length of the valid UTF-8 sequence at the start of the `n` bytes at `p` (its code point in
/// `cp`); 0 when none starts there: a stray byte, a sequence cut short, an overlong form, a
/// surrogate or a value past Unicode.
int utf8Sequence(const unsigned char* p, qsizetype n, char32_t& cp);

QString decodePath(const QByteArray& bytes);
QByteArray encodePath(const QString& path);
/// encodePath() as a std::string, for the engine's file functions.
std::string pathBytes(const QString& path);

/// The path of a local file URL byte for byte (a desktop drop percent-encodes the name's bytes);
/// empty for other URLs.
QString localPath(const QUrl& url);
/// The file URL of a path (each byte percent-encoded as needed).
QUrl fileUrl(const QString& path);
/// The path made absolute against the working folder, "." and ".." resolved as text.
QString absolutePath(const QString& path);

/// The files named by command-line arguments (the program's name left out), as absolute paths: a
/// "file:" URL stands for its path, and an argument that starts with "-" is an option unless
/// something of that name exists.
QStringList commandLineFiles(const QList<QByteArray>& arguments);

enum class FileKind { Missing, Regular, Folder, Other };
/// What the path names, following symbolic links (a dangling link is Missing). Nothing is opened,
/// so a pipe or a device never blocks the caller.
FileKind fileKind(const QString& path);
/// True when anything, a dangling symbolic link included, has that name.
bool nameTaken(const QString& path);

/// The names in a folder, "." and ".." left out, in no particular order; nothing when it cannot
/// be listed.
std::optional<QStringList> folderEntries(const QString& path);

/// A file written whole in the folder where it belongs, and only then given its name, so that no
/// one ever finds it half-written under that name. It has no name until then (where the file
/// system cannot, a hidden ".NAME.<random>.part" one), so whatever ends the program leaves
/// nothing behind. Removed unless published.
class StagedFile {
  public:
    /// Writes `data` for the file at `path`, in its folder. On failure error() gives the system's
    /// reason ("No space left on device").
    StagedFile(const QString& path, const QByteArray& data);
    ~StagedFile();
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    const std::string& error() const { return error_; }

    /// Gives the file the name `path` in its folder, replacing what has it (a file keeps its
    /// permissions; a symbolic link is replaced, never followed). Empty on success; otherwise the
    /// system's reason.
    std::string replace(const QString& path);

    enum class Outcome { Published, Taken, Failed };
    /// Gives the file the name `path` in its folder only while nothing has that name: Taken when
    /// something has it (the file stays staged for another name); Failed with the reason in
    /// `error`.
    Outcome publishNew(const QString& path, std::string* error);

  private:
    QByteArray hiddenName() const;
    /// Moves the data to a new hidden name; 0 or the system's error.
    int stageNamed();
    /// Gives the unnamed file a hidden name; 0 or the system's error.
    int nameUnnamed();

    QByteArray folder_;
    QByteArray name_;
    QByteArray temporary_; ///< the hidden name; empty while the file has none
    int fd_ = -1;
    bool published_ = false;
    std::string error_;
};

namespace detail {
/// How publishNew ends where the file system can neither rename without replacing nor link:
/// `claim` is a file just created as `path` (O_EXCL). Writes the data of `source` into it;
/// Published while `path` still names the claim, Taken when another file has the name by then.
/// A failed claim is removed only while the name is still its own.
StagedFile::Outcome fillClaim(int source, int claim, const char* path, std::string* error);
} // namespace detail

/// Writes `data` as the file at `path`, whole or not at all (StagedFile::replace). Empty on
/// success; otherwise the system's reason.
std::string writeFileAtomically(const QString& path, const QByteArray& data);

} // namespace platform
