#pragma once

// One running instance per user: a later launch hands its files to the running one over a local
// socket and quits; the running one imports them and brings its window back.

#include <QLocalServer>
#include <QObject>
#include <QString>
#include <QStringList>

namespace ui {

class SingleInstance : public QObject {
    Q_OBJECT
  public:
    /// `name` tells instances apart (one per user by default).
    explicit SingleInstance(QString name = defaultName(), QObject* parent = nullptr);
    static QString defaultName();

    /// True when another instance is running and has received `paths` (possibly none).
    bool handOver(const QStringList& paths, int timeoutMs = 2000);
    /// Starts serving later launches; false when the name cannot be taken (a live instance
    /// holds it). A name left by a crashed instance is taken over.
    bool listen();
    const QString& name() const { return name_; }

  Q_SIGNALS:
    /// A later launch, with its files as absolute paths (empty: it only asks for the window).
    void launched(const QStringList& paths);

  private:
    void serve(class QLocalSocket* socket);

    QString name_;
    QLocalServer server_;
};

} // namespace ui
