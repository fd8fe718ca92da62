#pragma once

#include <QByteArray>
#include <QString>

class QFile;

// The files the client keeps under its data folder (the bundle cache, its signatures and load
// records). Folders are created 0700 and files 0600 whatever the umask, and nothing is written,
// read or removed through a symbolic link: whoever can plant one there must not be able to make
// the client write into, or load code from, a file of their choosing.
namespace privatefiles {

// Creates the folder, and any missing parent, 0700. True when it is then a real folder (not a
// link) of this user; its mode is narrowed to 0700 if it was wider.
bool ensureFolder(const QString &path);

struct WriteResult
{
    bool opened = false; // the new file was created
    qint64 written = -1; // bytes written to it
    bool ok = false;     // and it replaced the old one
    QString error;
};

// Replaces the file with these bytes, all or nothing: they are written to a new file beside it
// (0600, created exclusively), which is then renamed over it. A rename replaces a link in place
// of the file rather than following it. On failure nothing of the new file is left.
WriteResult replaceFile(const QString &path, const QByteArray &bytes);

// Opens an existing regular file for reading, never through a link; false for anything else.
bool openForReading(QFile &file, const QString &path);
// Its bytes (at most maxBytes when that is not negative); empty when it cannot be opened so.
QByteArray readFile(const QString &path, qint64 maxBytes = -1);

// Whether anything is there, a dangling link included.
bool exists(const QString &path);
bool isSymLink(const QString &path);
// Removes the entry itself: a link, never what it points to.
bool remove(const QString &path);

} // namespace privatefiles
