#include "viewmodel/digest_memo.h"

#include <QFile>
#include <QtGlobal>

#if defined(Q_OS_LINUX)
#include <sys/stat.h>
#include <sys/xattr.h>
#endif

namespace digestmemo {

#if defined(Q_OS_LINUX)
namespace {

constexpr char kAttribute[] = "user.corvalen.sha256";
constexpr qsizetype kHexDigest = 64;

// "<size> <mtime seconds>.<nanoseconds>": any write changes one or the other.
QByteArray stamp(int fd)
{
    struct stat status = {};
    if (fd < 0 || fstat(fd, &status) != 0)
        return {};
    return QByteArray::number(qint64(status.st_size)) + ' ' +
           QByteArray::number(qint64(status.st_mtim.tv_sec)) + '.' +
           QByteArray::number(qint64(status.st_mtim.tv_nsec));
}

bool isHexDigest(QByteArrayView text)
{
    if (text.size() != kHexDigest)
        return false;
    for (const char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

} // namespace

void remember(QFile &file, const QByteArray &hexDigest)
{
    const int fd = file.handle();
    const QByteArray when = stamp(fd);
    if (when.isEmpty() || !isHexDigest(hexDigest))
        return;
    const QByteArray value = hexDigest + ' ' + when;
    // Without it the next load only hashes the file again.
    (void)fsetxattr(fd, kAttribute, value.constData(), size_t(value.size()), 0);
}

QByteArray recall(QFile &file)
{
    const int fd = file.handle();
    char value[128];
    const ssize_t length = fd < 0 ? -1 : fgetxattr(fd, kAttribute, value, sizeof value);
    if (length <= kHexDigest)
        return {};
    const QByteArrayView text(value, qsizetype(length));
    const QByteArrayView digest = text.first(kHexDigest);
    if (!isHexDigest(digest) || text.at(kHexDigest) != ' ' ||
        text.sliced(kHexDigest + 1) != QByteArrayView(stamp(fd)))
        return {};
    return digest.toByteArray();
}

#else

void remember(QFile &, const QByteArray &) {}
QByteArray recall(QFile &)
{
    return {};
}

#endif

} // namespace digestmemo
