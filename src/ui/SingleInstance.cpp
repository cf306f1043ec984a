#include "ui/SingleInstance.h"

#include <QDataStream>
#include <QDir>
#include <QLocalSocket>

namespace ui {

QString SingleInstance::defaultName() {
    QString user = qEnvironmentVariable("USER");
    if (user.isEmpty())
        user = QDir::home().dirName();
    return "glimmerworks-" + user;
}

SingleInstance::SingleInstance(QString name, QObject* parent) : QObject(parent), name_(std::move(name)) {
    connect(&server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_.nextPendingConnection())
            serve(socket);
    });
}

bool SingleInstance::handOver(const QStringList& paths, int timeoutMs) {
    QLocalSocket socket;
    socket.connectToServer(name_);
    if (!socket.waitForConnected(timeoutMs))
        return false;
    QByteArray message;
    QDataStream out(&message, QIODevice::WriteOnly);
    out << paths;
    // A length prefix lets the receiver know when the whole list has arrived.
    QByteArray framed;
    QDataStream frame(&framed, QIODevice::WriteOnly);
    frame << quint32(message.size());
    framed.append(message);
    socket.write(framed);
    if (!socket.waitForBytesWritten(timeoutMs))
        return false;
    // The answer says the running instance has taken the files.
    if (!socket.waitForReadyRead(timeoutMs))
        return false;
    socket.disconnectFromServer();
    return true;
}

bool SingleInstance::listen() {
    if (server_.listen(name_))
        return true;
    if (server_.serverError() != QAbstractSocket::AddressInUseError)
        return false;
    // An instance that takes connections but did not answer is alive: its name stays its own.
    QLocalSocket probe;
    probe.connectToServer(name_);
    if (probe.waitForConnected(300))
        return false;
    // A socket file left by a crashed instance.
    QLocalServer::removeServer(name_);
    return server_.listen(name_);
}

void SingleInstance::serve(QLocalSocket* socket) {
    auto buffer = std::make_shared<QByteArray>();
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket, buffer] {
        buffer->append(socket->readAll());
        if (buffer->size() < 4)
            return;
        QDataStream head(*buffer);
        quint32 size = 0;
        head >> size;
        if (buffer->size() < qsizetype(4 + size))
            return;
        QDataStream in(buffer->mid(4, size));
        QStringList paths;
        in >> paths;
        buffer->clear();
        socket->write("ok");
        socket->flush();
        Q_EMIT launched(paths);
    });
}

} // namespace ui
