#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

#include <QFile>

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

// What a replaced file has to outlast. Every file is replaced whole or not at all, either way;
// only one that must outlast a power cut is synced to disk before it takes the old one's place,
// which waits for everything else the disk has yet to write (a bundle just cached, say).
enum class Durability
{
    PowerCut,
    ProcessEnd, // however the process ends: what it wrote is in the system's page cache
};

// Replaces the file with these bytes, all or nothing: they are written to a new file beside it
// (0600, created exclusively), which is then renamed over it. A rename replaces a link in place
// of the file rather than following it. On failure nothing of the new file is left.
WriteResult replaceFile(const QString &path, const QByteArray &bytes,
                        Durability durability = Durability::PowerCut);

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

namespace privatefiles {

// A file that is written beside `path`, 0600 and created exclusively, and replaces `path` only
// once commit() has made it durable; until then, and if that never happens, nothing of it stays.
// What was written can be read back through a read-only mapping, without a copy.
class PendingFile
{
public:
    explicit PendingFile(const QString &path);
    ~PendingFile();
    PendingFile(const PendingFile &) = delete;
    PendingFile &operator=(const PendingFile &) = delete;

    bool isOpen() const;
    const QString &path() const { return target; }
    qint64 size() const { return written; }
    QString errorString() const { return error; }
    // All of it or false; a file that fell short keeps what it had and takes no more.
    bool append(const char *data, qint64 size);
    // Starts writing to disk what has been appended (append() does so every few MiB), without
    // waiting for it; commit() still waits for all of it.
    void startWriteback();
    // The bytes written so far, valid while this object lives and until the next append();
    // empty when nothing was written or the file cannot be mapped.
    QByteArray bytes();
    // Flushed to disk and renamed over `path`; the mapping stays valid.
    bool commit();
    // The committed file, with the mapping bytes() gave: the bytes stay valid while it is open.
    std::unique_ptr<QFile> takeFile();

private:
    QString target;
    QString temporary;
    std::unique_ptr<QFile> file;
    uchar *mapped = nullptr;
    static constexpr qint64 kWritebackStep = 4 << 20;
    qint64 written = 0;
    qint64 writebackFrom = 0;
    bool committed = false;
    bool failed = false;
    QString error;
};

} // namespace privatefiles
