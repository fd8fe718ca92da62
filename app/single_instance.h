#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>

class QWindow;

// One running client per profile: a second start on the same profile asks the running one to
// bring its window forward and ends. A lock file in the profile says who runs; a local socket,
// named after the profile's folder, carries the request.
class SingleInstance : public QObject
{
    Q_OBJECT
public:
    // The profile is the folder that holds the session file.
    explicit SingleInstance(const QString &profileDir, QObject *parent = nullptr);

    static QString profileDirectory();

    // True when this process now runs the profile (or the lock cannot be had at all: the user
    // is never locked out by a file). False when another process runs it; that one has been
    // asked to come forward.
    bool claim();

    static void bringForward(QWindow *window);

signals:
    void activationRequested();

private:
    bool askRunningInstance();
    void serve();

    QString profile;
    QString serverName;
    QLockFile lock;
    QLocalServer server;
};
