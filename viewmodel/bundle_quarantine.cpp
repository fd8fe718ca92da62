#include "viewmodel/bundle_quarantine.h"

#include <QDebug>
#include <QFile>
#include <QList>

#include "viewmodel/private_files.h"

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

// A link in place of a mark or record is never read or written through; reading refuses it and
// writing replaces it.
QByteArray readDigest(const QString &path)
{
    if (privatefiles::isSymLink(path))
        qWarning() << "Ignored a symbolic link in place of a dashboard RCC load record:" << path;
    return privatefiles::readFile(path, 128).trimmed();
}

// The quarantine record: "<sha256> <loads that did not finish>". Records of earlier releases name
// only the digest, written after a single such load; they count as one. Taking them for a
// quarantine would keep a bundle that may well be good locked out until a newer one is published,
// while counting them as one costs at most one more interrupted start if the bundle is at fault.
struct InterruptedLoads
{
    QByteArray digest;
    int count = 0;
};

InterruptedLoads readRecord(const QString &path)
{
    const QList<QByteArray> fields = readDigest(path).split(' ');
    InterruptedLoads record{fields.value(0), 0};
    if (record.digest.isEmpty())
        return record;
    bool numeric = false;
    const int count = fields.size() > 1 ? fields.at(1).toInt(&numeric) : 1;
    record.count = numeric || fields.size() == 1 ? qMax(count, 1) : 1;
    return record;
}

bool writeDigest(const QString &path, const QByteArray &text,
                 privatefiles::Durability durability = privatefiles::Durability::PowerCut)
{
    return privatefiles::replaceFile(path, text + '\n', durability).ok;
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
    QFile file;
    if (!privatefiles::openForReading(file, path))
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
    if (mark == ownMark || !privatefiles::exists(mark))
        return;
    const QByteArray interrupted = readDigest(mark);
    privatefiles::remove(mark);
    if (interrupted.isEmpty())
        return;
    const QString recordPath = quarantinePath(cacheFile);
    const InterruptedLoads before = readRecord(recordPath);
    const int count = before.digest == interrupted ? before.count + 1 : 1;
    if (!writeDigest(recordPath, interrupted + ' ' + QByteArray::number(count)))
        qWarning() << "Failed to record quarantined dashboard RCC:" << recordPath;
    if (count < kInterruptedLoadsToQuarantine) {
        qWarning().noquote() << "Dashboard RCC did not finish loading in an earlier run; it is "
                                "quarantined if its next load does not finish either: sha256="
                             << interrupted;
        return;
    }
    const bool cached = fileDigest(cacheFile) == interrupted;
    if (cached)
        privatefiles::remove(cacheFile);
    qWarning().noquote() << "Quarantined dashboard RCC that did not finish loading in an earlier "
                            "run: sha256="
                         << interrupted << "cacheRemoved=" << cached;
}

bool BundleQuarantine::isQuarantined(const QString &cacheFile, const QByteArray &digest) const
{
    if (digest.isEmpty())
        return false;
    const InterruptedLoads record = readRecord(quarantinePath(cacheFile));
    return record.digest == digest && record.count >= kInterruptedLoadsToQuarantine;
}

bool BundleQuarantine::lastLoadUnfinished(const QString &cacheFile, const QByteArray &digest) const
{
    return !digest.isEmpty() && readRecord(quarantinePath(cacheFile)).digest == digest;
}

void BundleQuarantine::beginLoad(const QString &cacheFile, const QByteArray &digest)
{
    recoverInterruptedLoad(cacheFile);
    endLoad();
    const QString mark = markPath(cacheFile);
    // The mark only has to outlast this process, should the bundle take it down. A sync would
    // make every load wait for the disk, and for a bundle cached just before to reach it.
    if (writeDigest(mark, digest, privatefiles::Durability::ProcessEnd)) {
        ownMark = mark;
        ownCacheFile = cacheFile;
        ownDigest = digest;
    } else {
        qWarning() << "Failed to write dashboard RCC load mark:" << mark;
    }
}

void BundleQuarantine::endLoad()
{
    if (ownMark.isEmpty())
        return;
    privatefiles::remove(ownMark);
    ownMark.clear();
    // This load of the bundle finished, so earlier ones that did not are no longer in a row.
    const QString recordPath = quarantinePath(ownCacheFile);
    if (readRecord(recordPath).digest == ownDigest)
        privatefiles::remove(recordPath);
    ownCacheFile.clear();
    ownDigest.clear();
}

void BundleQuarantine::lift(const QString &cacheFile, const QByteArray &digest)
{
    const QString path = quarantinePath(cacheFile);
    const InterruptedLoads record = readRecord(path);
    if (!record.digest.isEmpty() && record.digest != digest && privatefiles::remove(path) &&
        record.count >= kInterruptedLoadsToQuarantine)
        qInfo().noquote() << "Lifted dashboard RCC quarantine: sha256=" << record.digest;
}
