#include "ui/UiDialogs.h"

#include <QApplication>
#include <QCheckBox>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

namespace ui {

void revealWithFileManager(QDBusConnection bus, const QString& path, std::function<void()> fallback) {
    if (!bus.isConnected()) {
        fallback();
        return;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall("org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                                       "org.freedesktop.FileManager1", "ShowItems");
    call << QStringList{QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()).toString(QUrl::FullyEncoded)}
         << QString();
    // Asynchronous: a file manager that is slow to start must not hold the window.
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 5000));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [fallback = std::move(fallback)](QDBusPendingCallWatcher* w) {
                         if (w->isError())
                             fallback();
                         w->deleteLater();
                     });
}

app::AlertResponse UiDialogs::runAlert(const app::AlertRequest& request) {
    QDialog dialog(parent_);
    dialog.setObjectName("alert");
    dialog.setWindowTitle(QApplication::applicationName());
    dialog.setWindowModality(Qt::ApplicationModal);
    dialog.setStyleSheet("#alert { background: #2a2a2d; }");
    auto* layout = new QHBoxLayout(&dialog);
    layout->setContentsMargins(20, 18, 20, 16);
    layout->setSpacing(16);
    auto* icon = new QLabel;
    icon->setPixmap(QApplication::windowIcon().pixmap(48, 48));
    layout->addWidget(icon, 0, Qt::AlignTop);
    auto* column = new QVBoxLayout;
    column->setSpacing(8);
    auto* message = new QLabel(request.message);
    message->setObjectName("message");
    // A document's fault may quote the document: shown as written, never as markup.
    message->setTextFormat(Qt::PlainText);
    message->setWordWrap(true);
    message->setStyleSheet("font-weight: bold; font-size: 11pt; color: #f0f0f2;");
    column->addWidget(message);
    auto* informative = new QLabel(request.informativeText);
    informative->setObjectName("informativeText");
    informative->setTextFormat(Qt::PlainText);
    informative->setWordWrap(true);
    informative->setMinimumWidth(320);
    informative->setStyleSheet("color: #c8c8cc;");
    column->addWidget(informative);
    QLineEdit* field = nullptr;
    if (request.hasTextField) {
        field = new QLineEdit;
        field->setFixedSize(200, 24);
        column->addWidget(field);
    }
    QCheckBox* suppression = nullptr;
    if (!request.suppressionTitle.isEmpty()) {
        suppression = new QCheckBox(request.suppressionTitle);
        column->addWidget(suppression);
    }
    column->addSpacing(6);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    int answer = int(request.buttons.size()) - 1; // closing the alert answers like the last button
    // The first button is the default and stands rightmost, the others to its left.
    for (qsizetype i = request.buttons.size() - 1; i >= 0; --i) {
        auto* button = new QPushButton(request.buttons[i]);
        button->setMinimumWidth(80);
        if (i == 0)
            button->setDefault(true);
        buttons->addWidget(button);
        QObject::connect(button, &QPushButton::clicked, &dialog, [&dialog, &answer, i] {
            answer = int(i);
            dialog.done(QDialog::Accepted);
        });
    }
    column->addLayout(buttons);
    layout->addLayout(column, 1);
    if (field)
        field->setFocus();
    dialog.exec();
    app::AlertResponse response;
    response.button = std::max(0, answer);
    response.suppressionChecked = suppression && suppression->isChecked();
    if (field)
        response.text = field->text();
    return response;
}

void UiDialogs::revealInFileViewer(const QString& path) {
    if (path.isEmpty())
        return;
    const QFileInfo info(path);
    const QString folder = info.isDir() ? info.absoluteFilePath() : info.absolutePath();
    auto open =
        openFolder ? openFolder : [](const QString& f) { QDesktopServices::openUrl(QUrl::fromLocalFile(f)); };
    auto fallback = [open, folder] { open(folder); };
    // Without a known session bus the library would try to start one, which can take long.
    const QString runtimeBus = qEnvironmentVariable("XDG_RUNTIME_DIR") + "/bus";
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS") &&
        (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR") || !QFileInfo::exists(runtimeBus))) {
        fallback();
        return;
    }
    revealWithFileManager(QDBusConnection::sessionBus(), path, fallback);
}

} // namespace ui
