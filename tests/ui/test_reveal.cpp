#include "ui/UiDialogs.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDBusConnection>
#include <QElapsedTimer>
#include <QProcess>

namespace {

// The desktop's file manager as far as revealing goes.
class FakeFileManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
  public:
    QStringList shown;
  public Q_SLOTS:
    void ShowItems(const QStringList& uris, const QString& startupId) {
        (void)startupId;
        shown << uris;
    }
};

template <typename F> void waitFor(F done, int ms = 5000) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
}

} // namespace

TEST(Reveal, AsksTheFileManagerOverDBusAndFallsBackWhenNobodyAnswers) {
    // A private session bus of the test's own.
    QProcess daemon;
    daemon.start("dbus-daemon", {"--session", "--nofork", "--print-address"});
    ASSERT_TRUE(daemon.waitForStarted(3000)) << "dbus-daemon is not installed";
    ASSERT_TRUE(daemon.waitForReadyRead(3000));
    const QString address = QString::fromUtf8(daemon.readLine()).trimmed();
    {
        QDBusConnection client = QDBusConnection::connectToBus(address, "gw-client");
        ASSERT_TRUE(client.isConnected());

        // Nobody owns the name yet: the folder is opened instead.
        bool fellBack = false;
        ui::revealWithFileManager(client, "/photos/a.png", [&] { fellBack = true; });
        waitFor([&] { return fellBack; });
        EXPECT_TRUE(fellBack);

        QDBusConnection service = QDBusConnection::connectToBus(address, "gw-service");
        FakeFileManager manager;
        ASSERT_TRUE(service.registerObject("/org/freedesktop/FileManager1", &manager,
                                           QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(service.registerService("org.freedesktop.FileManager1"));
        fellBack = false;
        ui::revealWithFileManager(client, QString::fromUtf8("/photos/caf\u00e9 b.png"),
                                  [&] { fellBack = true; });
        waitFor([&] { return !manager.shown.isEmpty(); });
        ASSERT_EQ(manager.shown.size(), 1);
        EXPECT_EQ(manager.shown[0], "file:///photos/caf%C3%A9%20b.png");
        waitFor([] { return false; }, 100);
        EXPECT_FALSE(fellBack);
        service.unregisterService("org.freedesktop.FileManager1");
    }
    QDBusConnection::disconnectFromBus("gw-client");
    QDBusConnection::disconnectFromBus("gw-service");
    daemon.kill();
    daemon.waitForFinished(3000);
}

#include "test_reveal.moc"
