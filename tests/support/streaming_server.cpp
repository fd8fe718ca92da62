#include "support/streaming_server.h"

#include <QTcpSocket>

#include <memory>

StreamingServer::StreamingServer(QByteArray response, qint64 bytes)
    : head(std::move(response)), total(bytes)
{
    connect(this, &QTcpServer::newConnection, this, [this] {
        QTcpSocket *socket = nextPendingConnection();
        auto sent = std::make_shared<qint64>(-1);
        const auto more = [this, socket, sent] {
            if (*sent < 0 && socket->readAll().contains("\r\n\r\n")) {
                socket->write(head);
                *sent = 0;
            }
            if (*sent < 0 || socket->bytesToWrite() > 0)
                return;
            if (*sent >= total)
                return socket->disconnectFromHost();
            const QByteArray chunk(64 * 1024, 'x');
            *sent += socket->write(chunk);
        };
        connect(socket, &QTcpSocket::readyRead, socket, more);
        connect(socket, &QTcpSocket::bytesWritten, socket, more);
        connect(socket, &QTcpSocket::disconnected, this, [this, socket, sent] {
            clientLeftEarly = *sent < total;
            socket->deleteLater();
        });
    });
}
