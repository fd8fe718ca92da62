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

WriteResult replaceFile(const QString &path, const QByteArray &bytes)
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
    const bool written =
        ::fchmod(fd, 0600) == 0 && writeAll(fd, bytes, &result.written) && ::fsync(fd) == 0;
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

WriteResult replaceFile(const QString &path, const QByteArray &bytes)
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
