#pragma once

#include <QByteArray>
#include <QString>

// Structural check of a binary resource bundle before it is registered from memory: the
// resource system trusts the offsets it finds there and crashes on a damaged buffer.
bool isStructurallyValidRcc(const QByteArray &data, QString *reason = nullptr);

// Whether a user id may name a file in the bundle cache (no separators, no dot names).
bool isSafeCacheUserId(const QString &userId);
