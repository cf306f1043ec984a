#include "platform/FilePath.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

using platform::StagedFile;

namespace {

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

/// A file holding "old", which no write may replace.
bool writeOld(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write("old") == 3;
}

/// Every name in the folder, hidden ones included.
QStringList names(const QTemporaryDir& dir) {
    return QDir(dir.path())
        .entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

mode_t permissions(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

} // namespace

TEST(FilePath, ANameWithANulIsRefused) {
    QTemporaryDir dir;
    const QString taken = dir.filePath("a.png");
    ASSERT_TRUE(writeOld(taken));

    // A NUL would end the name early: no service reaches the file before it.
    const QString nul = taken + QChar(0) + ".x";
    EXPECT_FALSE(platform::isValidPath(nul));
    EXPECT_EQ(platform::fileKind(nul), platform::FileKind::Missing);
    EXPECT_FALSE(platform::nameTaken(nul));
    EXPECT_FALSE(platform::folderEntries(dir.path() + QChar(0) + "/x"));
    EXPECT_EQ(platform::writeFileAtomically(nul, "x"), "not a valid file name");
    std::string error;
    EXPECT_EQ(StagedFile(dir.filePath("e.png"), "e").publishNew(nul, &error), StagedFile::Outcome::Failed);
    EXPECT_EQ(error, "not a valid file name");
    EXPECT_EQ(readAll(taken), "old");
}

TEST(FilePath, NewFilesNeverReplaceWhatHasTheirName) {
    QTemporaryDir dir;
    const QString taken = dir.filePath("a.png");
    ASSERT_TRUE(writeOld(taken));
    ASSERT_EQ(::symlink("nowhere", QFile::encodeName(dir.filePath("b.png")).constData()), 0);

    // A name that a file or a dangling link has is left alone; the file waits for another name.
    {
        StagedFile file(taken, "new");
        ASSERT_EQ(file.error(), "");
        // Until it is published the file has no name: a crash now leaves nothing behind.
        EXPECT_EQ(names(dir), (QStringList{"a.png", "b.png"}));
        std::string error;
        EXPECT_EQ(file.publishNew(taken, &error), StagedFile::Outcome::Taken);
        EXPECT_EQ(file.publishNew(dir.filePath("b.png"), &error), StagedFile::Outcome::Taken);
        EXPECT_EQ(file.publishNew(dir.filePath("c.png"), &error), StagedFile::Outcome::Published);
    }
    EXPECT_EQ(readAll(taken), "old");
    EXPECT_EQ(readAll(dir.filePath("c.png")), "new");
    { StagedFile unpublished(taken, "never"); } // removed when not published
    EXPECT_EQ(names(dir), (QStringList{"a.png", "b.png", "c.png"}));

    // Many writers after the same names at once: every file is kept under a name of its own.
    std::vector<std::thread> writers;
    std::atomic<int> failed{0};
    for (int t = 0; t < 8; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                StagedFile file(dir.filePath("d.png"), QByteArray::number(t * 100 + i));
                std::string error;
                int n = 0;
                while (file.publishNew(dir.filePath(QString("d-%1.png").arg(n)), &error) ==
                       StagedFile::Outcome::Taken)
                    ++n;
                failed += !error.empty();
            }
        });
    for (auto& writer : writers)
        writer.join();
    EXPECT_EQ(failed, 0);
    QSet<QByteArray> contents;
    for (int n = 0; n < 160; ++n)
        contents << readAll(dir.filePath(QString("d-%1.png").arg(n)));
    EXPECT_EQ(contents.size(), 160);
}

TEST(FilePath, ReplacingKeepsPermissionsAndReplacesALink) {
    QTemporaryDir dir;
    const QString document = dir.filePath("doc.gwProject");
    ASSERT_TRUE(writeOld(document));
    ASSERT_EQ(::chmod(QFile::encodeName(document).constData(), 0604), 0);
    EXPECT_EQ(platform::writeFileAtomically(document, "new"), "");
    EXPECT_EQ(readAll(document), "new");
    EXPECT_EQ(permissions(document), 0604u);

    // The link is replaced; the file it points to is left alone.
    ASSERT_TRUE(writeOld(dir.filePath("elsewhere")));
    ASSERT_EQ(::symlink("elsewhere", QFile::encodeName(dir.filePath("link")).constData()), 0);
    EXPECT_EQ(platform::writeFileAtomically(dir.filePath("link"), "new"), "");
    EXPECT_EQ(platform::fileKind(dir.filePath("link")), platform::FileKind::Regular);
    EXPECT_FALSE(QFileInfo(dir.filePath("link")).isSymLink());
    EXPECT_EQ(readAll(dir.filePath("elsewhere")), "old");

    // A new file gets the permissions of any new file.
    const mode_t mask = ::umask(027);
    EXPECT_EQ(platform::writeFileAtomically(dir.filePath("new"), "new"), "");
    ::umask(mask);
    EXPECT_EQ(permissions(dir.filePath("new")), 0640u);
    EXPECT_EQ(names(dir), (QStringList{"doc.gwProject", "elsewhere", "link", "new"}));
}

TEST(FilePath, AClaimedNameKeepsOnlyItsOwnFile) {
    QTemporaryDir dir;
    const QString source = dir.filePath("source");
    {
        QFile f(source);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write("new") == 3);
    }
    const int readable = ::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC);
    const int unreadable = ::open(QFile::encodeName(source).constData(), O_WRONLY | O_CLOEXEC);
    ASSERT_TRUE(readable >= 0 && unreadable >= 0);
    auto publish = [&](const QString& name, int from, bool othersFileMeanwhile, std::string* error) {
        const QByteArray path = QFile::encodeName(dir.filePath(name));
        const int claim = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        EXPECT_GE(claim, 0);
        if (othersFileMeanwhile) {
            EXPECT_TRUE(writeOld(dir.filePath("theirs")));
            EXPECT_EQ(::rename(QFile::encodeName(dir.filePath("theirs")).constData(), path.constData()), 0);
        }
        const auto outcome = platform::detail::fillClaim(from, claim, path.constData(), error);
        ::close(claim);
        return outcome;
    };
    std::string error;
    EXPECT_EQ(publish("a.png", readable, false, &error), StagedFile::Outcome::Published);
    EXPECT_EQ(readAll(dir.filePath("a.png")), "new");
    EXPECT_EQ(publish("b.png", readable, true, &error), StagedFile::Outcome::Taken);
    EXPECT_EQ(readAll(dir.filePath("b.png")), "old");

    // A write that fails removes its claim, and never what has replaced it.
    EXPECT_EQ(publish("c.png", unreadable, false, &error), StagedFile::Outcome::Failed);
    EXPECT_EQ(error, "Bad file descriptor");
    EXPECT_EQ(publish("d.png", unreadable, true, &error), StagedFile::Outcome::Failed);
    EXPECT_EQ(readAll(dir.filePath("d.png")), "old");
    EXPECT_EQ(names(dir), (QStringList{"a.png", "b.png", "d.png", "source"}));
    ::close(readable);
    ::close(unreadable);
}
