#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QTemporaryDir>

// The whole file, or nothing when it cannot be read.
QByteArray readFile(const QString &path);
bool writeFile(const QString &path, const QByteArray &bytes);

// A private home: while it lives, HOME, the XDG folders, TMPDIR and the per-user INI settings of
// this program and of the programs it starts point into a fresh temporary directory, so that a
// test touches neither the developer's files nor those of a test running beside it. Made before
// anything reads a setting or a standard path.
class Sandbox
{
public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox &) = delete;
    Sandbox &operator=(const Sandbox &) = delete;

    QString path() const { return dir.path(); }
    QString filePath(const QString &name) const { return dir.filePath(name); }
    QString tempPath() const { return filePath("tmp"); }
    // Removes the settings, data and caches written so far. Temporary files stay: fixtures that
    // outlive a test function keep theirs there.
    bool wipe();

private:
    bool makeLayout();

    QTemporaryDir dir;
    QList<QPair<QByteArray, QByteArray>> saved; // variables as they were, null when unset
};
