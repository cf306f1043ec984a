#include "ui/SingleInstance.h"
#include "ui/UiDialogs.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QLocalServer>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QUuid>

#include <atomic>
#include <thread>

namespace {

/// Plays the user of the next modal alert: ticks the box, types `text`, presses `button`.
void answerNextAlert(bool tick, const QString& text, const QString& button, QStringList* seen) {
    QTimer::singleShot(50, [=] {
        auto* alert = QApplication::activeModalWidget();
        if (!alert || alert->objectName() != "alert") {
            answerNextAlert(tick, text, button, seen);
            return;
        }
        *seen << alert->findChild<QLabel*>("message")->text()
              << alert->findChild<QLabel*>("informativeText")->text();
        if (auto* check = alert->findChild<QCheckBox*>()) {
            *seen << check->text();
            check->setChecked(tick);
        }
        if (auto* field = alert->findChild<QLineEdit*>()) {
            *seen << QString("field %1x%2%3")
                         .arg(field->width())
                         .arg(field->height())
                         .arg(field->hasFocus() ? " focused" : "");
            field->setText(text);
        }
        for (auto* b : alert->findChildren<QPushButton*>())
            if (b->text() == button)
                b->click();
    });
}

} // namespace

TEST(Dialogs, AlertsCarryTheSuppressionBoxAndTheTextField) {
    QWidget parent;
    ui::UiDialogs dialogs;
    dialogs.setParentWidget(&parent);

    app::AlertRequest confirm;
    confirm.message = "Are you sure you want to proceed?";
    confirm.informativeText = "You are going to remove all actions from the current queue";
    confirm.buttons = {"OK", "Cancel"};
    confirm.suppressionTitle = "Don't show this message again";
    QStringList seen;
    answerNextAlert(true, {}, "Cancel", &seen);
    app::AlertResponse answer = dialogs.runAlert(confirm);
    EXPECT_EQ(answer.button, 1);
    EXPECT_TRUE(answer.suppressionChecked);
    EXPECT_EQ(seen, (QStringList{confirm.message, confirm.informativeText, confirm.suppressionTitle}));

    app::AlertRequest name;
    name.message = "Save Preset";
    name.informativeText = "Choose a name for this preset";
    name.buttons = {"OK", "Cancel"};
    name.hasTextField = true;
    seen.clear();
    answerNextAlert(false, "Evening", "OK", &seen);
    answer = dialogs.runAlert(name);
    EXPECT_EQ(answer.button, 0);
    EXPECT_FALSE(answer.suppressionChecked);
    EXPECT_EQ(answer.text, "Evening");
    EXPECT_EQ(seen, (QStringList{"Save Preset", "Choose a name for this preset", "field 200x24 focused"}));
}

TEST(Dialogs, RevealFallsBackToOpeningTheFolderWithoutAFileManager) {
    // No session bus here: the file manager cannot be asked.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");
    ui::UiDialogs dialogs;
    QString opened;
    dialogs.openFolder = [&](const QString& folder) { opened = folder; };
    dialogs.revealInFileViewer("/usr/share/doc/x.txt");
    QElapsedTimer clock;
    clock.start();
    while (opened.isEmpty() && clock.elapsed() < 6000)
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_EQ(opened, "/usr/share/doc");
    opened.clear();
    dialogs.revealInFileViewer("");
    QApplication::processEvents();
    EXPECT_TRUE(opened.isEmpty());
}

TEST(SingleInstance, ALaterLaunchHandsItsFilesToTheRunningOne) {
    const QString name = "gw-test-" + QUuid::createUuid().toString(QUuid::Id128);
    ui::SingleInstance first(name);
    ui::SingleInstance nobody(name + "-none");
    EXPECT_FALSE(nobody.handOver({"/a.png"}, 200));
    ASSERT_TRUE(first.listen());
    QList<QStringList> received;
    QObject::connect(&first, &ui::SingleInstance::launched, [&](const QStringList& p) { received << p; });

    for (const QStringList& files :
         {QStringList{"/photos/a.png", QString::fromUtf8("/photos/caf\u00e9 b.jpg")}, QStringList{}}) {
        std::atomic<bool> done = false;
        bool handed = false;
        const qsizetype before = received.size();
        // The later launch blocks until the running one answers, so it gets a thread of its own.
        std::thread second([&] {
            ui::SingleInstance later(name);
            handed = later.handOver(files, 3000);
            done = true;
        });
        QElapsedTimer clock;
        clock.start();
        while (!done && clock.elapsed() < 5000)
            QApplication::processEvents(QEventLoop::AllEvents, 20);
        second.join();
        EXPECT_TRUE(handed);
        ASSERT_EQ(received.size(), before + 1);
        EXPECT_EQ(received.back(), files);
    }
}

TEST(SingleInstance, ASocketLeftByACrashedInstanceIsTakenOver) {
    const QString name = "gw-test-" + QUuid::createUuid().toString(QUuid::Id128);
    // What a crash leaves: the socket file without a server behind it.
    const QString path = QDir(QDir::tempPath()).filePath(name);
    {
        QFile stale(path);
        ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    }
    ui::SingleInstance instance(name);
    EXPECT_FALSE(instance.handOver({}, 200));
    EXPECT_TRUE(instance.listen());
    // A second one does not take the name of a live instance.
    ui::SingleInstance other(name);
    EXPECT_FALSE(other.listen());
    EXPECT_TRUE(QFile::exists(path));
}
