// The whole program, run as a child process by the quit driver of tests/quit, ended by the
// system's termination request while it exports.

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>

TEST(Termination, SigtermDuringAnExportEndsTheProgramWithoutAskingAndLeavesNoStagedFile) {
#ifndef GW_QUIT_DRIVER
    GTEST_SKIP() << "the application is not built";
#else
    gwtest::TempDir work;
    const QDir dir(QString::fromStdString(work.path.string()));
    dir.mkpath("in");
    dir.mkpath("home");
    dir.mkpath("run");
    dir.mkpath("tmp");
    for (const char* own : {"run", "tmp"})
        QFile::setPermissions(dir.filePath(own), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    // Large photos under a photo effect: the export is still running when the request comes.
    const QImage photo(QString::fromStdString(gwtest::dataPath("rocket.jpg")));
    ASSERT_FALSE(photo.isNull());
    const QImage large = photo.scaled(4000, 2670);
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(large.save(dir.filePath(QString("in/photo%1.jpg").arg(i)), "JPEG", 90));

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", dir.filePath("home"));
    env.insert("XDG_DATA_HOME", dir.filePath("home/data"));
    env.insert("XDG_CONFIG_HOME", dir.filePath("home/config"));
    env.insert("XDG_RUNTIME_DIR", dir.filePath("run"));
    // The single-instance socket lives in the temporary folder: a private one, so that no other
    // running copy takes the launch over.
    env.insert("TMPDIR", dir.filePath("tmp"));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    QProcess program;
    program.setProcessEnvironment(env);
    program.setProcessChannelMode(QProcess::MergedChannels);
    // The driver sends SIGTERM to the program 300 ms into the export; a question would end it
    // with status 4.
    program.start(GW_QUIT_DRIVER, {"run", "export", "signal", "300", dir.path()});
    ASSERT_TRUE(program.waitForStarted());
    QByteArray log;
    QElapsedTimer clock;
    clock.start();
    qint64 signalled = -1;
    while (program.state() != QProcess::NotRunning && clock.elapsed() < 120000) {
        program.waitForReadyRead(50);
        log += program.readAll();
        if (signalled < 0 && log.contains("quitting (signal)"))
            signalled = clock.elapsed();
        if (signalled >= 0 && clock.elapsed() - signalled > 5000)
            break;
    }
    const bool ended = program.state() == QProcess::NotRunning || program.waitForFinished(100);
    if (!ended) {
        program.kill();
        program.waitForFinished();
    }
    log += program.readAll();
    if (signalled < 0 && log.contains("quitting (signal)"))
        signalled = clock.elapsed();
    ASSERT_GE(signalled, 0) << log.toStdString();
    ASSERT_TRUE(ended) << "still running 5 s after SIGTERM\n" << log.toStdString();
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit) << log.toStdString();
    EXPECT_EQ(program.exitCode(), 0) << log.toStdString();
    EXPECT_LT(clock.elapsed() - signalled, 5000);

    // What was written is whole, and no hidden ".part" file is left anywhere.
    QProcess check;
    check.setProcessEnvironment(env);
    check.setProcessChannelMode(QProcess::MergedChannels);
    check.start(GW_QUIT_DRIVER, {"check", dir.path()});
    ASSERT_TRUE(check.waitForFinished(30000));
    EXPECT_EQ(check.exitCode(), 0) << check.readAll().toStdString();
#endif
}
