#include "viewmodel/private_files.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#else
#include <QSaveFile>
#endif

namespace privatefiles {

#ifdef Q_OS_UNIX

namespace {

QByteArray native(const QString &path)
{
    return QFile::encodeName(path);
}

QString lastError()
{
    return QString::fromLocal8Bit(strerror(errno));
}

// mkdir with exactly 0700: the umask may take bits away from the mode mkdir is given.
bool makeFolder(const QByteArray &path)
{
    if (::mkdir(path.constData(), 0700) != 0)
        return errno == EEXIST;
    return ::chmod(path.constData(), 0700) == 0;
}

bool writeAll(int fd, const QByteArray &bytes, qint64 *written)
{
    *written = 0;
    while (*written < bytes.size()) {
        const ssize_t n =
            ::write(fd, bytes.constData() + *written, size_t(bytes.size() - *written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        *written += n;
    }
    return true;
}

} // namespace

bool ensureFolder(const QString &path)
{
    const QString clean = QDir::cleanPath(QDir::current().absoluteFilePath(path));
    // Parents that exist are left as they are (the home folder and the like); missing ones are
    // created as private as the folder itself.
    qsizetype at = 0;
    while ((at = clean.indexOf(QLatin1Char('/'), at + 1)) > 0)
        if (!makeFolder(native(clean.left(at))))
            return false;
    if (!makeFolder(native(clean)))
        return false;
    struct stat info
    {
    };
    if (::lstat(native(clean).constData(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != ::geteuid())
        return false;
    return (info.st_mode & 07777) == 0700 || ::chmod(native(clean).constData(), 0700) == 0;
}

WriteResult replaceFile(const QString &path, const QByteArray &bytes, Durability durability)
{
    WriteResult result;
    // Named after this process, so that two clients never share it; an entry of that name is
    // a leftover of an earlier process with this id, or planted, and goes first.
    const QByteArray temporary =
        native(path) + ".tmp-" + QByteArray::number(QCoreApplication::applicationPid());
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::open(temporary.constData(), flags, 0600);
    if (fd < 0 && errno == EEXIST && ::unlink(temporary.constData()) == 0)
        fd = ::open(temporary.constData(), flags, 0600);
    if (fd < 0) {
        result.error = lastError();
        return result;
    }
    result.opened = true;
    const bool written = ::fchmod(fd, 0600) == 0 && writeAll(fd, bytes, &result.written) &&
                         (durability == Durability::ProcessEnd || ::fsync(fd) == 0);
    if (!written)
        result.error = lastError();
    if (::close(fd) != 0 && written)
        result.error = lastError();
    else if (written)
        result.ok = ::rename(temporary.constData(), native(path).constData()) == 0;
    if (written && !result.ok && result.error.isEmpty())
        result.error = lastError();
    if (!result.ok)
        ::unlink(temporary.constData());
    return result;
}

bool openForReading(QFile &file, const QString &path)
{
    // Non-blocking, so that a FIFO put in place of a file cannot hang the open.
    const int fd = ::open(native(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat info
    {
    };
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
}

bool exists(const QString &path)
{
    struct stat info
    {
    };
    return ::lstat(native(path).constData(), &info) == 0;
}

bool isSymLink(const QString &path)
{
    struct stat info
    {
    };
    return ::lstat(native(path).constData(), &info) == 0 && S_ISLNK(info.st_mode);
}

bool remove(const QString &path)
{
    return ::unlink(native(path).constData()) == 0;
}

#else // Windows: links there need privileges that a planting user does not have.

bool ensureFolder(const QString &path)
{
    return QDir().mkpath(path) && QFileInfo(path).isDir() && !QFileInfo(path).isSymLink();
}

// QSaveFile always flushes to disk before it renames.
WriteResult replaceFile(const QString &path, const QByteArray &bytes, Durability)
{
    WriteResult result;
    QSaveFile file(path);
    result.opened = file.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    if (!result.opened) {
        result.error = file.errorString();
        return result;
    }
    result.written = file.write(bytes);
    result.ok = result.written == bytes.size() && file.commit();
    if (!result.ok) {
        result.error = file.errorString();
        file.cancelWriting();
    }
    return result;
}

bool openForReading(QFile &file, const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymLink() || !info.isFile())
        return false;
    file.setFileName(path);
    return file.open(QIODevice::ReadOnly);
}

bool exists(const QString &path)
{
    return QFileInfo(path).exists() || QFileInfo(path).isSymLink();
}

bool isSymLink(const QString &path)
{
    return QFileInfo(path).isSymLink();
}

bool remove(const QString &path)
{
    return QFile::remove(path);
}

#endif

QByteArray readFile(const QString &path, qint64 maxBytes)
{
    QFile file;
    if (!openForReading(file, path))
        return {};
    return maxBytes < 0 ? file.readAll() : file.read(maxBytes);
}

} // namespace privatefiles

namespace privatefiles {

namespace {

// Named after this process, as replaceFile's is, so that two clients never share it; an entry of
// that name is a leftover of an earlier process with this id, or planted, and goes first.
QString pendingName(const QString &path)
{
    return path + QStringLiteral(".tmp-%1").arg(QCoreApplication::applicationPid());
}

#ifdef Q_OS_UNIX
bool createExclusively(QFile &file, const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    const int flags = O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::open(name.constData(), flags, 0600);
    if (fd < 0 && errno == EEXIST && ::unlink(name.constData()) == 0)
        fd = ::open(name.constData(), flags, 0600);
    if (fd < 0)
        return false;
    if (::fchmod(fd, 0600) != 0 || !file.open(fd, QIODevice::ReadWrite | QIODevice::Unbuffered,
                                              QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        ::unlink(name.constData());
        return false;
    }
    return true;
}

// Whether `path` still names the open file: another writer of this process may have taken the
// name over since, and what it writes must not be renamed or removed in its place.
bool namesFile(const QFile &file, const QString &path)
{
    struct stat opened
    {
    };
    struct stat named
    {
    };
    return ::fstat(file.handle(), &opened) == 0 &&
           ::lstat(QFile::encodeName(path).constData(), &named) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

bool syncAndRename(QFile &file, const QString &from, const QString &to)
{
    return ::fsync(file.handle()) == 0 && namesFile(file, from) &&
           ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}
#else
bool createExclusively(QFile &file, const QString &path)
{
    file.setFileName(path);
    return file.open(QIODevice::ReadWrite | QIODevice::NewOnly | QIODevice::Unbuffered);
}

bool namesFile(const QFile &, const QString &)
{
    return true;
}

// An open file cannot be renamed here: it is closed, renamed, and opened again.
bool syncAndRename(QFile &file, const QString &from, const QString &to)
{
    file.close();
    if (QFile::exists(to) && !QFile::remove(to))
        return false;
    file.setFileName(to);
    return QFile::rename(from, to) && file.open(QIODevice::ReadOnly);
}
#endif

} // namespace

PendingFile::PendingFile(const QString &path)
    : target(path), temporary(pendingName(path)), file(std::make_unique<QFile>())
{
    if (!createExclusively(*file, temporary)) {
        error = file->errorString();
        file.reset();
    }
}

PendingFile::~PendingFile()
{
    if (!file)
        return;
    const bool remove = !committed && namesFile(*file, temporary);
    file->close(); // unmaps
    if (remove)
        QFile::remove(temporary);
}

bool PendingFile::isOpen() const
{
    return file != nullptr;
}

bool PendingFile::append(const char *data, qint64 size)
{
    if (!file || committed)
        return false;
    if (mapped) {
        file->unmap(mapped);
        mapped = nullptr;
    }
    if (failed)
        return false;
    if (file->write(data, size) == size) {
        written += size;
        if (written - writebackFrom >= kWritebackStep)
            startWriteback();
        return true;
    }
    // What was written before stays readable; nothing more goes in, and nothing is committed.
    failed = true;
    error = file->errorString();
    file->resize(written);
    return false;
}

void PendingFile::startWriteback()
{
#ifdef Q_OS_LINUX
    // The disk writes what has arrived while the rest is still on its way; the sync at commit
    // then waits for little more than the last piece and the file's metadata.
    if (file && !failed && written > writebackFrom &&
        ::sync_file_range(file->handle(), writebackFrom, written - writebackFrom,
                          SYNC_FILE_RANGE_WRITE) == 0)
        writebackFrom = written;
#endif
}

QByteArray PendingFile::bytes()
{
    if (!file || written <= 0)
        return {};
    if (!mapped)
        mapped = file->map(0, written);
    return mapped ? QByteArray::fromRawData(reinterpret_cast<const char *>(mapped), written)
                  : QByteArray();
}

bool PendingFile::commit()
{
    if (!file || failed || committed)
        return committed;
#ifndef Q_OS_UNIX
    mapped = nullptr; // closing the file below unmaps it
#endif
    committed = syncAndRename(*file, temporary, target);
    if (!committed)
        error = file->errorString();
    return committed;
}

std::unique_ptr<QFile> PendingFile::takeFile()
{
    if (!committed)
        return {};
    mapped = nullptr; // the mapping goes with the file
    return std::move(file);
}

} // namespace privatefiles
