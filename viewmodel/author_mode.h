#pragma once

#include <QElapsedTimer>
#include <QFileSystemWatcher>
#include <QList>
#include <QObject>
#include <QQmlError>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>

class QQmlEngine;

// Author mode: the dashboard comes from a folder on disk rather than from a bundle. Every change
// in the folder, its subfolders included, is announced once the writes have settled, and the
// QML errors and warnings of the folder's files are collected for the window to show.
class AuthorMode : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QUrl dashboardUrl READ dashboardUrl CONSTANT)
    Q_PROPERTY(QString folder READ folder CONSTANT)
    // One problem a line, "file:line:column: description"; empty after a good load.
    Q_PROPERTY(QString problems READ problems NOTIFY problemsChanged)

public:
    // How long the folder has to be quiet before a change is announced: editors write a file
    // in several steps, and a reload in between would show errors that are not there.
    static constexpr int kSettleMs = 40;

    AuthorMode(const QString &folder, QQmlEngine *engine, QObject *parent = nullptr);

    QString folder() const { return root; }
    QUrl dashboardUrl() const;
    QString problems() const { return problemLines.join(QLatin1Char('\n')); }

    // Before each load: forgets the compiled components, so that edited files are read again,
    // and compiles dashboard.qml. False, with its errors reported, when it does not compile.
    bool prepareLoad();
    // The page has created the dashboard object of the latest load.
    Q_INVOKABLE void dashboardShown();

signals:
    void folderChanged();
    void problemsChanged();

private:
    void somethingChanged();
    void watchTree();
    void report(const QList<QQmlError> &errors, bool log);

    QString root;
    QQmlEngine *engine = nullptr;
    QFileSystemWatcher watcher;
    QTimer settle;
    QStringList problemLines;
    bool announceScheduled = false;
    QElapsedTimer sinceChange; // from the first change a reload is for
};
