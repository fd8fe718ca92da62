#include "viewmodel/bundle_quarantine.h"

#include <QDebug>
#include <QFile>

#include <openssl/evp.h>

namespace {

// "<dir>/<stem>.rcc" -> "<dir>/<stem><suffix>"
QString besideCacheFile(const QString &cacheFile, QLatin1String suffix)
{
    QString path = cacheFile;
    if (path.endsWith(QLatin1String(".rcc")))
        path.chop(4);
    return path + suffix;
}

QString markPath(const QString &cacheFile)
{
    return besideCacheFile(cacheFile, QLatin1String(".loading"));
}

QString quarantinePath(const QString &cacheFile)
{
    return besideCacheFile(cacheFile, QLatin1String(".quarantined"));
}

QByteArray readDigest(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(128).trimmed() : QByteArray();
}

bool writeDigest(const QString &path, const QByteArray &digest)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(digest + '\n') == digest.size() + 1;
}

// SHA-256 in hex. OpenSSL's, because it uses the processor's SHA instructions: bundles of tens of
// megabytes are hashed on every load, and Qt's own implementation takes several times longer.
QByteArray sha256Hex(const char *data, qsizetype size)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data, size_t(size), digest, &length, EVP_sha256(), nullptr) != 1)
        return {};
    return QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex();
}

} // namespace

QByteArray BundleQuarantine::fileDigest(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const qint64 size = file.size();
    if (uchar *mapped = size > 0 ? file.map(0, size) : nullptr) {
        QByteArray digest = sha256Hex(reinterpret_cast<const char *>(mapped), size);
        file.unmap(mapped);
        return digest;
    }
    const QByteArray bytes = file.readAll();
    return sha256Hex(bytes.constData(), bytes.size());
}

BundleQuarantine::~BundleQuarantine()
{
    endLoad();
}

QByteArray BundleQuarantine::digest(const QByteArray &bundle)
{
    return sha256Hex(bundle.constData(), bundle.size());
}

void BundleQuarantine::recoverInterruptedLoad(const QString &cacheFile)
{
    const QString mark = markPath(cacheFile);
    if (mark == ownMark || !QFile::exists(mark))
        return;
    const QByteArray interrupted = readDigest(mark);
    QFile::remove(mark);
    if (interrupted.isEmpty())
        return;
    if (!writeDigest(quarantinePath(cacheFile), interrupted))
        qWarning() << "Failed to record quarantined dashboard RCC:" << quarantinePath(cacheFile);
    const bool cached = fileDigest(cacheFile) == interrupted;
    if (cached)
        QFile::remove(cacheFile);
    qWarning().noquote() << "Quarantined dashboard RCC that did not finish loading in an earlier "
                            "run: sha256="
                         << interrupted << "cacheRemoved=" << cached;
}

bool BundleQuarantine::isQuarantined(const QString &cacheFile, const QByteArray &digest) const
{
    return !digest.isEmpty() && readDigest(quarantinePath(cacheFile)) == digest;
}

void BundleQuarantine::beginLoad(const QString &cacheFile, const QByteArray &digest)
{
    recoverInterruptedLoad(cacheFile);
    endLoad();
    const QString mark = markPath(cacheFile);
    if (writeDigest(mark, digest))
        ownMark = mark;
    else
        qWarning() << "Failed to write dashboard RCC load mark:" << mark;
}

void BundleQuarantine::endLoad()
{
    if (ownMark.isEmpty())
        return;
    QFile::remove(ownMark);
    ownMark.clear();
}

void BundleQuarantine::lift(const QString &cacheFile, const QByteArray &digest)
{
    const QString path = quarantinePath(cacheFile);
    const QByteArray quarantined = readDigest(path);
    if (!quarantined.isEmpty() && quarantined != digest && QFile::remove(path))
        qInfo().noquote() << "Lifted dashboard RCC quarantine: sha256=" << quarantined;
}
