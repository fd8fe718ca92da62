#pragma once

#include <QByteArray>
#include <QString>
#include <QTcpServer>

// Answers every request with `head`, then streams filler bytes until `total` have been sent
// or the client hangs up, whichever comes first.
class StreamingServer : public QTcpServer
{
public:
    StreamingServer(QByteArray response, qint64 bytes);
    QString url() const { return QStringLiteral("http://127.0.0.1:%1/big.rcc").arg(serverPort()); }

    const QByteArray head;
    const qint64 total;
    bool clientLeftEarly = false;
};
