#include "viewmodel/viewmodel.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QQmlEngine>
#include <QResource>
#include <QStandardPaths>
#include <QUrl>

#include "viewmodel/private_files.h"
#include "viewmodel/rcc_validation.h"

namespace {

// The resource system only checks a bundle file's header offsets, not the tree behind them,
// so a damaged file is checked the same way as a payload before it is registered.
bool isStructurallyValidRccFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const qint64 size = file.size();
    if (size <= 0)
        return false;
    if (uchar *mapped = file.map(0, size)) {
        const bool valid = isStructurallyValidRcc(
            QByteArray::fromRawData(reinterpret_cast<const char *>(mapped), qsizetype(size)));
        file.unmap(mapped);
        return valid;
    }
    return isStructurallyValidRcc(file.readAll());
}

// Where the digest suffix of cacheFileStem begins: '+' and 16 lower-case hex digits at the end.
bool endsLikeDigestSuffix(const QString &stem)
{
    constexpr qsizetype kSuffix = 17;
    if (stem.size() < kSuffix || stem.at(stem.size() - kSuffix) != QLatin1Char('+'))
        return false;
    for (const QChar c : QStringView(stem).right(kSuffix - 1))
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
              (c >= QLatin1Char('a') && c <= QLatin1Char('f'))))
            return false;
    return true;
}

// The id itself where no other id can share its file; on file systems that ignore case, ids
// that differ only in case would. Those get the lower-cased id and a digest of the exact id,
// joined by '+'. A lower-case id that itself ends like such a suffix gets one too, so that no
// id can take the name of another one's file.
QString cacheFileStem(const QString &id)
{
    const QString lower = id.toLower();
    if (id == lower && !endsLikeDigestSuffix(id))
        return id;
    const QByteArray digest = QCryptographicHash::hash(id.toUtf8(), QCryptographicHash::Sha256);
    return lower + QLatin1Char('+') + QString::fromLatin1(digest.toHex().left(16));
}

// "<dir>/<stem>.rcc" -> "<dir>/<stem>.sig": the bundle's signature, named like the load marks.
QString signatureFilePath(const QString &cacheFile)
{
    QString path = cacheFile;
    if (path.endsWith(QLatin1String(".rcc")))
        path.chop(4);
    return path + QLatin1String(".sig");
}

bool writeSignatureFile(const QString &cacheFile, const QByteArray &signatureBase64)
{
    const QString path = signatureFilePath(cacheFile);
    const QByteArray signature = decodeBundleSignature(signatureBase64);
    const QByteArray text = signature.toBase64() + '\n';
    if (signature.isEmpty() || !privatefiles::replaceFile(path, text).ok) {
        qWarning() << "Failed to write dashboard RCC signature file:" << path;
        return false;
    }
    return true;
}

QByteArray readSignatureFile(const QString &cacheFile)
{
    // Base64 of a 64-byte signature is 88 characters; more is not a signature.
    return privatefiles::readFile(signatureFilePath(cacheFile), 128).trimmed();
}

void removeCacheFile(const QString &path)
{
    if (!privatefiles::exists(path))
        return;
    if (privatefiles::remove(path))
        qInfo() << "Deleted cached dashboard RCC:" << path;
    else
        qWarning() << "Failed to delete cached dashboard RCC:" << path;
}

} // namespace

bool ViewModel::registerExternalResource(QString rccFileUrl)
{
    const QUrl url(rccFileUrl, QUrl::TolerantMode);
    const QString path = url.isLocalFile() ? url.toLocalFile() : rccFileUrl;
    if (path.isEmpty()) {
        qWarning() << "External RCC path is empty";
        return false;
    }
    const QFileInfo info(path);
    if (!info.exists() || !info.isFile()) {
        qWarning() << "External RCC file does not exist:" << path;
        return false;
    }

    unregisterCurrentResource();
    if (!isStructurallyValidRccFile(path) || !QResource::registerResource(path)) {
        qWarning() << "Failed to register external RCC:" << path;
        return false;
    }
    registeredRccPath = path;
    registeredFromMemory = false;
    qInfo() << "Registered external RCC:" << path;
    clearComponentsOfEarlierBundles();
    return true;
}

QString ViewModel::dashboardCacheFilePath(QString id)
{
    const QString trimmedId = id.trimmed();
    if (trimmedId.isEmpty())
        return {};
    // The id becomes a file name; anything that could leave the cache directory is not cached.
    if (!isSafeCacheUserId(trimmedId)) {
        qWarning() << "Not caching dashboard RCC for a user id unfit as a file name:" << trimmedId;
        return {};
    }
    const QString location =
        QStandardPaths::writableLocation(QStandardPaths::AppDataLocation).trimmed();
    if (location.isEmpty())
        return {};
    const QDir dir(location);
    // Private, and no link: the files in it decide what code the dashboard runs.
    if (!privatefiles::ensureFolder(location) ||
        !privatefiles::ensureFolder(dir.filePath(QStringLiteral("dashboard_rcc_cache")))) {
        qWarning() << "Failed to create dashboard RCC cache directory in:" << location;
        return {};
    }
    return dir.filePath(QStringLiteral("dashboard_rcc_cache/") + cacheFileStem(trimmedId) +
                        QStringLiteral(".rcc"));
}

bool ViewModel::loadCachedDashboard(QString id)
{
    const QString path = dashboardCacheFilePath(id);
    if (path.isEmpty())
        return false;
    bundleQuarantine.recoverInterruptedLoad(path);
    if (privatefiles::isSymLink(path)) {
        qWarning() << "Removed a symbolic link in place of the dashboard RCC cache file:" << path;
        removeCacheFile(path);
        return false;
    }
    const QFileInfo info(path);
    if (!info.exists() || !info.isFile())
        return false;
    std::optional<DeliveredBundle> bundle = readCachedBundle(path);
    if (!bundle)
        return false;
    if (bundleQuarantine.isQuarantined(path, bundle->digest())) {
        qWarning() << "Not loading quarantined dashboard RCC from cache:" << path;
        return false;
    }
    // The dashboard function may already have the fix for a bundle that hung or crashed, so it
    // is asked first; whatever it answers, this bundle included, loads as any delivery does.
    if (bundleQuarantine.lastLoadUnfinished(path, bundle->digest())) {
        qWarning() << "Asking the dashboard function first: the cached dashboard RCC did not "
                      "finish loading last time:"
                   << path;
        return false;
    }
    if (registerBundle(*bundle, path, QByteArray())) {
        qInfo() << "Loaded cached dashboard RCC:" << path;
        emit externalResourceLoadFinished(true, tr("External resource loaded from cache."));
        return true;
    }
    qWarning() << "Dashboard RCC cache exists but failed to register:" << path;
    return false;
}

// A checked bundle is registered from the bytes that were checked, not from the file, which
// could be replaced in between; an unchecked one is mapped, not read into memory.
std::optional<DeliveredBundle> ViewModel::readCachedBundle(const QString &path)
{
    if (bundleTrust.required()) {
        // Anyone who can write to the cache directory could otherwise choose the code that runs.
        const QByteArray bundle = privatefiles::readFile(path);
        if (!bundleTrust.accepts(bundle, readSignatureFile(path))) {
            qWarning() << "Refused cached dashboard RCC without a valid signature:" << path;
            removeCacheFile(path);
            removeCacheFile(signatureFilePath(path));
            return std::nullopt;
        }
        return DeliveredBundle::cached(bundle, path);
    }
    auto file = std::make_unique<QFile>();
    QByteArray bytes;
    const qint64 size = privatefiles::openForReading(*file, path) ? file->size() : 0;
    if (uchar *mapped = size > 0 ? file->map(0, size) : nullptr)
        bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(mapped), qsizetype(size));
    return DeliveredBundle::cached(bytes, path, std::move(file));
}

// Called by the main page once creating the dashboard has ended either way: the bundle did not
// take the program down.
void ViewModel::dashboardCreationFinished(bool created)
{
    Q_UNUSED(created)
    bundleQuarantine.endLoad();
}

// A downloaded bundle that stopped an earlier run is refused before anything is replaced.
bool ViewModel::refuseQuarantinedPayload(const DeliveredBundle &bundle)
{
    if (bundle.cachePath().isEmpty())
        return false;
    bundleQuarantine.recoverInterruptedLoad(bundle.cachePath());
    if (!bundleQuarantine.isQuarantined(bundle.cachePath(), bundle.digest()))
        return false;
    qWarning().noquote() << "Refused quarantined dashboard RCC: sha256=" << bundle.digest();
    emit externalResourceLoadFinished(
        false, tr("This dashboard stopped the app while it was loading before, so it is not "
                  "loaded again. A newer version will load once it is published."));
    return true;
}

// With a public key configured, a bundle that its key did not sign is refused before anything is
// replaced or cached.
bool ViewModel::refuseUnsignedPayload(const QByteArray &payload, const QByteArray &signature,
                                      const QUrl &source)
{
    if (bundleTrust.accepts(payload, signature))
        return false;
    qWarning() << "Refused dashboard RCC without a valid signature from" << source
               << "bytes=" << payload.size();
    emit externalResourceLoadFinished(false,
                                      tr("Dashboard bundle signature is missing or invalid."));
    return true;
}

void ViewModel::deleteCachedDashboard(QString id)
{
    bundleQuarantine.endLoad(); // signed out: no dashboard is being created
    rejectedPayloadDump.reset();
    const QString path = dashboardCacheFilePath(id);
    if (path.isEmpty())
        return;
    removeCacheFile(path);
    removeCacheFile(signatureFilePath(path));
    // Earlier releases named every file after the id as it is; an id with capitals may still
    // have one there, which nothing else would ever remove.
    const QString legacy = QFileInfo(path).dir().filePath(id.trimmed() + QStringLiteral(".rcc"));
    if (legacy != path)
        removeCacheFile(legacy);
}

void ViewModel::unregisterCurrentResource()
{
    if (!registeredRccPath.isEmpty()) {
        QResource::unregisterResource(registeredRccPath);
        registeredRccPath.clear();
    }
    if (registeredFromMemory && !registeredRccData.isEmpty())
        QResource::unregisterResource(
            reinterpret_cast<const uchar *>(registeredRccData.constData()));
    registeredRccData.clear();
    registeredRccStorage.reset(); // after the resource system has let go of its bytes
    registeredFromMemory = false;
}

bool ViewModel::cacheAndRegisterPayload(QByteArray payload, QString id, QString source,
                                        QByteArray signature)
{
    DeliveredBundle bundle(payload, dashboardCacheFilePath(id));
    return registerBundle(bundle, source, signature);
}

// Registration reads the bundle in place and trusts every offset in it: a damaged bundle would be
// read out of bounds later, so it is refused before it can take the cached one's place. A bundle
// that could not be cached is registered all the same.
bool ViewModel::registerBundle(DeliveredBundle &bundle, const QString &source,
                               const QByteArray &signature)
{
    unregisterCurrentResource();
    BundleQuarantine::Attempt attempt(bundleQuarantine, bundle.cachePath(), bundle.digest());
    const bool fresh = !bundle.isCached();
    const auto refuse = [&] {
        qWarning() << "Failed to register dashboard RCC payload from" << source
                   << "bytes=" << bundle.size();
        return false;
    };
    if (!isStructurallyValidRcc(bundle.bytes()))
        return refuse();
    const bool cached = cacheBundle(bundle, source, signature);
    std::unique_ptr<QFile> storage = bundle.takeStorage();
    if (!QResource::registerResource(reinterpret_cast<const uchar *>(bundle.bytes().constData())))
        return refuse();
    registeredRccData = bundle.bytes();
    registeredRccStorage = std::move(storage);
    registeredFromMemory = true;
    if (!fresh)
        qInfo() << "Registered external RCC:" << bundle.cachePath();
    else if (cached && !bundleTrust.required())
        qInfo() << "Cached and registered dashboard RCC from" << source << "at"
                << bundle.cachePath();
    else
        qInfo() << "Registered external RCC from in-memory payload:" << source;
    clearComponentsOfEarlierBundles();
    attempt.succeed();
    registeredCacheFile = bundle.cachePath();
    registeredDigest = bundle.digest();
    return true;
}

// With signatures required, the cached bundle is only of use beside its signature.
bool ViewModel::cacheBundle(DeliveredBundle &bundle, const QString &source,
                            const QByteArray &signature)
{
    if (bundle.isCached() || bundle.cachePath().isEmpty())
        return bundle.isCached();
    if (bundleTrust.required() && !writeSignatureFile(bundle.cachePath(), signature))
        return false;
    if (!bundle.cache())
        return false;
    if (bundleTrust.required())
        qInfo() << "Cached dashboard RCC from" << source << "at" << bundle.cachePath();
    return true;
}

void ViewModel::clearComponentCacheIfEngine()
{
    if (qmlEngine)
        qmlEngine->clearComponentCache();
}

// Components are cached by URL and every bundle provides the same URLs, so whatever was compiled
// from an earlier bundle must not be reused. A dashboard is only created once a bundle has been
// registered, so the first of this run finds nothing to clear; clearing would add a couple of
// milliseconds to the first showing of every dashboard.
void ViewModel::clearComponentsOfEarlierBundles()
{
    if (bundleRegisteredBefore)
        clearComponentCacheIfEngine();
    bundleRegisteredBefore = true;
}
