#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <memory>

#include <QFile>
namespace privatefiles {
class PendingFile;
}

// A bundle on its way from a reply to registration: its bytes, their SHA-256 and the cache file
// it belongs in, each worked out once. A streamed bundle goes to a pending file beside the cache
// file as it arrives, hashed in the same pass, and is read back through a mapping; the pending
// file replaces the cache file only when cache() is called, and leaves nothing behind otherwise.
class DeliveredBundle
{
public:
    enum class Destination
    {
        CacheFile, // a bundle: written and hashed as it arrives
        Memory,    // a JSON answer, which only carries the bundle: kept as it arrives
    };
    // Streamed: append() as the bytes arrive, then finish(). Without a cache path, or when the
    // cache file cannot be written, the bytes are kept in memory.
    DeliveredBundle(const QString &cachePath, Destination destination);
    // Whole in memory already, to be cached at cachePath.
    DeliveredBundle(const QByteArray &payload, const QString &cachePath);
    // The cache file itself, already read (or mapped, with `file` keeping the mapping); nothing
    // is written back. A mapped file may carry the digest taken when it was delivered.
    static DeliveredBundle cached(const QByteArray &bytes, const QString &cachePath,
                                  std::unique_ptr<QFile> file = {});
    // The first digest a process takes loads OpenSSL's configuration and providers, a few
    // milliseconds: called when a bundle is asked for, that happens while the server answers.
    static void prepareDigest();
    DeliveredBundle(DeliveredBundle &&) noexcept;
    DeliveredBundle &operator=(DeliveredBundle &&) noexcept;
    ~DeliveredBundle();

    void reserve(qint64 bytes);
    void append(QByteArrayView chunk);
    void finish();

    const QByteArray &bytes() const { return content; }
    const QByteArray &digest() const; // lower-case hex, taken once
    const QString &cachePath() const { return path; }
    qint64 size() const { return content.size(); }
    bool isCached() const { return alreadyCached; }

    // Puts the bytes into the cache file, reporting why not; false leaves the old file as it was.
    bool cache();
    // Whatever keeps bytes() valid once this object is gone (a mapped file), or null.
    std::unique_ptr<QFile> takeStorage();

private:
    struct Hash;
    void spillToMemory(qint64 expected);

    QString path;
    std::unique_ptr<privatefiles::PendingFile> pending; // null: in memory
    std::unique_ptr<QFile> storage;
    std::unique_ptr<Hash> hash; // while streaming
    QByteArray memory;
    QByteArray content;
    mutable QByteArray hexDigest;
    bool streaming = false;
    bool alreadyCached = false;
    bool cacheFailed = false;
};
