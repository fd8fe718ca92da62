#include "app/single_instance.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QSettings>
#include <QThread>
#include <QWindow>

namespace {
constexpr int kAskMs = 10000; // a running client that is still starting gets this long
}

SingleInstance::SingleInstance(const QString &profileDir, QObject *parent)
    : QObject(parent), profile(profileDir),
      lock(QDir(profileDir).filePath(QStringLiteral("corvalen_dashboard.lock")))
{
    // Short and free of path characters, but one per profile folder.
    QDir().mkpath(profile);
    const QByteArray key = QFileInfo(profile).canonicalFilePath().toUtf8();
    serverName = QStringLiteral("corvalen_dashboard-") +
                 QString::fromLatin1(
                     QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex().left(16));
    // Never stale by age: only a lock whose process is gone is taken over.
    lock.setStaleLockTime(0);
}

QString SingleInstance::profileDirectory()
{
    // Where the session store keeps its INI file.
    const QSettings session(QSettings::IniFormat, QSettings::UserScope,
                            QStringLiteral("YourCompany"), QStringLiteral("YourApp"));
    return QFileInfo(session.fileName()).absolutePath();
}

bool SingleInstance::claim()
{
    for (QDeadlineTimer deadline(kAskMs);;) {
        if (lock.tryLock(0)) {
            serve();
            return true;
        }
        if (lock.error() != QLockFile::LockFailedError) {
            qWarning().noquote() << "Cannot lock the profile" << profile
                                 << "; running without the one-instance check";
            return true;
        }
        if (askRunningInstance())
            return false;
        // Its owner is still starting, or has just ended and its lock is about to be free.
        if (deadline.hasExpired()) {
            qWarning().noquote() << "Another client holds the profile" << profile
                                 << "but does not answer";
            return false;
        }
        QThread::msleep(50);
    }
}

bool SingleInstance::askRunningInstance()
{
    QLocalSocket socket;
    socket.connectToServer(serverName);
    if (!socket.waitForConnected(1000))
        return false;
    socket.write("activate\n");
    const bool sent = socket.waitForBytesWritten(1000);
    socket.disconnectFromServer();
    if (sent)
        qInfo().noquote() << "The client already runs on this profile; its window was asked to "
                             "come forward";
    return sent;
}

void SingleInstance::serve()
{
    // A killed owner leaves its socket file behind, and listen() would fail on it.
    QLocalServer::removeServer(serverName);
    server.setSocketOptions(QLocalServer::UserAccessOption);
    if (!server.listen(serverName)) {
        qWarning().noquote() << "Cannot listen for other starts on" << serverName << ":"
                             << server.errorString();
        return;
    }
    connect(&server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = server.nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                if (!socket->readAll().contains("activate"))
                    return;
                qInfo("Another start on this profile asked for the window");
                emit activationRequested();
            });
        }
    });
}

void SingleInstance::bringForward(QWindow *window)
{
    if (!window)
        return;
    if (window->windowStates() & Qt::WindowMinimized)
        window->setWindowStates(window->windowStates() & ~Qt::WindowMinimized);
    if (!window->isVisible())
        window->show();
    window->raise();
    window->requestActivate();
}
