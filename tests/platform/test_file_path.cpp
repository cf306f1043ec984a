#include "platform/FilePath.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>

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
        std::string error;
        EXPECT_EQ(file.publishNew(taken, &error), StagedFile::Outcome::Taken);
        EXPECT_EQ(file.publishNew(dir.filePath("b.png"), &error), StagedFile::Outcome::Taken);
        EXPECT_EQ(file.publishNew(dir.filePath("c.png"), &error), StagedFile::Outcome::Published);
    }
    EXPECT_EQ(readAll(taken), "old");
    EXPECT_EQ(readAll(dir.filePath("c.png")), "new");
    { StagedFile unpublished(taken, "never"); } // removed when not published
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot),
              (QStringList{"a.png", "b.png", "c.png"}));

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
