#include "viewmodel/delivered_bundle.h"

#include <QDebug>
#include <QFile>

#include "viewmodel/bundle_quarantine.h"
#include "viewmodel/digest_memo.h"
#include "viewmodel/large_buffer.h"
#include "viewmodel/private_files.h"

#include <openssl/evp.h>

// OpenSSL's SHA-256 uses the processor's SHA instructions: several times faster than Qt's own.
struct DeliveredBundle::Hash
{
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context{EVP_MD_CTX_new(),
                                                                    EVP_MD_CTX_free};
    bool ok = context && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) == 1;

    void add(QByteArrayView bytes)
    {
        ok = ok && EVP_DigestUpdate(context.get(), bytes.data(), size_t(bytes.size())) == 1;
    }
    QByteArray hex()
    {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (!ok || EVP_DigestFinal_ex(context.get(), digest, &length) != 1)
            return {};
        return QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex();
    }
};

DeliveredBundle::DeliveredBundle(const QString &cachePath, Destination destination)
    : path(cachePath), streaming(true)
{
    if (path.isEmpty() || destination == Destination::Memory)
        return;
    hash = std::make_unique<Hash>();
    pending = std::make_unique<privatefiles::PendingFile>(path);
    if (!pending->isOpen()) {
        qWarning() << "Failed to open dashboard RCC cache file for writing:" << path
                   << pending->errorString();
        pending.reset();
        cacheFailed = true;
    }
}

DeliveredBundle::DeliveredBundle(const QByteArray &payload, const QString &cachePath)
    : path(cachePath), content(payload)
{
}

DeliveredBundle DeliveredBundle::cached(const QByteArray &bytes, const QString &cachePath,
                                        std::unique_ptr<QFile> file)
{
    DeliveredBundle bundle(bytes, cachePath);
    if (file && !bytes.isEmpty())
        bundle.hexDigest = digestmemo::recall(*file);
    bundle.storage = std::move(file);
    bundle.alreadyCached = true;
    return bundle;
}

void DeliveredBundle::prepareDigest()
{
    Hash().hex();
}

DeliveredBundle::DeliveredBundle(DeliveredBundle &&) noexcept = default;
DeliveredBundle &DeliveredBundle::operator=(DeliveredBundle &&) noexcept = default;
DeliveredBundle::~DeliveredBundle() = default;

void DeliveredBundle::append(QByteArrayView chunk)
{
    if (!streaming || chunk.isEmpty())
        return;
    if (hash)
        hash->add(chunk);
    if (pending && !pending->append(chunk.data(), chunk.size()))
        spillToMemory(pending->size() + chunk.size());
    if (!pending)
        memory.append(chunk);
}

void DeliveredBundle::reserve(qint64 bytes)
{
    memory.reserve(qsizetype(bytes));
    preferHugePages(memory.data(), memory.capacity());
}

// The cache file could not take it all: the bundle can still be registered from memory.
void DeliveredBundle::spillToMemory(qint64 expected)
{
    qWarning() << "Failed to write full dashboard RCC cache file:" << path
               << "written=" << pending->size() << "expected=" << expected;
    const QByteArray written = pending->bytes();
    memory = QByteArray(written.constData(), written.size());
    pending.reset();
    cacheFailed = true;
}

void DeliveredBundle::finish()
{
    if (!streaming)
        return;
    streaming = false;
    if (pending) // under way while the bundle is checked
        pending->startWriteback();
    if (hash)
        hexDigest = hash->hex();
    hash.reset();
    content = pending ? pending->bytes() : memory; // empty if it could not be mapped
}

const QByteArray &DeliveredBundle::digest() const
{
    if (hexDigest.isEmpty())
        hexDigest = BundleQuarantine::digest(content);
    return hexDigest;
}

bool DeliveredBundle::cache()
{
    if (alreadyCached)
        return true;
    if (path.isEmpty() || cacheFailed)
        return false;
    if (pending) {
        alreadyCached = pending->commit();
        if (alreadyCached) {
            storage = pending->takeFile();
            pending.reset();
            if (storage && !hexDigest.isEmpty())
                digestmemo::remember(*storage, hexDigest);
        } else
            qWarning() << "Failed to write full dashboard RCC cache file:" << path
                       << pending->errorString();
        return alreadyCached;
    }
    const privatefiles::WriteResult result = privatefiles::replaceFile(path, content);
    if (!result.opened)
        qWarning() << "Failed to open dashboard RCC cache file for writing:" << path
                   << result.error;
    else if (!result.ok)
        qWarning() << "Failed to write full dashboard RCC cache file:" << path
                   << "written=" << result.written << "expected=" << content.size();
    alreadyCached = result.ok;
    return alreadyCached;
}

std::unique_ptr<QFile> DeliveredBundle::takeStorage()
{
    if (pending) { // never committed: the bytes move to memory before its file goes
        memory = QByteArray(content.constData(), content.size());
        content = memory;
        pending.reset();
    }
    return std::move(storage);
}
