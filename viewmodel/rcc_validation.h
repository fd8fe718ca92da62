#pragma once

#include <QByteArray>
#include <QString>

// What a downloaded bundle may cost. The resource system allocates the declared expanded size
// of a compressed file in one piece when the file is read, and trusts the declaration; without
// these caps a bundle of a few hundred bytes can claim terabytes and take the program down
// every time its dashboard is loaded.
inline constexpr qint64 kMaxBundleBytes = qint64(256) << 20;         // as received
inline constexpr qint64 kMaxBundleFileBytes = qint64(64) << 20;      // one file, expanded
inline constexpr qint64 kMaxBundleExpandedBytes = qint64(256) << 20; // all files, expanded

// Structural check of a binary resource bundle before it is registered: the resource system
// trusts the offsets and sizes it finds there and crashes on a damaged buffer. Compressed files
// must declare their expanded size within the caps above, and no more than their compression
// method can reach (deflate about 1032 times, zstd 32768 times the stored bytes).
bool isStructurallyValidRcc(const QByteArray &bytes, QString *reason = nullptr);

// Whether a user id may name a file in the bundle cache: one file-name component on the
// platform built for (no separators, control characters or dot names).
bool isSafeCacheUserId(const QString &userId);
