#include "platform/FilePath.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

namespace {

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

TEST(FilePath, ANameWithANulIsRefused) {
    QTemporaryDir dir;
    const QString taken = dir.filePath("a.png");
    QFile old(taken);
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("old");
    old.close();

    // A NUL would end the name early: no service reaches the file before it.
    const QString nul = taken + QChar(0) + ".x";
    EXPECT_FALSE(platform::isValidPath(nul));
    EXPECT_EQ(platform::fileKind(nul), platform::FileKind::Missing);
    EXPECT_FALSE(platform::nameTaken(nul));
    EXPECT_FALSE(platform::folderEntries(dir.path() + QChar(0) + "/x"));
    EXPECT_EQ(platform::writeFileAtomically(nul, "x"), "not a valid file name");
    EXPECT_EQ(readAll(taken), "old");
}
