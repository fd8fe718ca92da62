#pragma once

#include <QByteArray>

class QFile;

// A cached bundle's SHA-256 names it to the quarantine at every load, and hashing 50 MB takes
// longer than everything else a load from the cache does. So the digest taken while the bundle
// was written is kept on the file itself (an extended attribute), with the size and modification
// time the file had then; a file written since does not match them, and is hashed as before.
// Where the file system keeps no such attributes, every load hashes.
namespace digestmemo {

// Best effort, on the file as it now is, open.
void remember(QFile &file, const QByteArray &hexDigest);
// The remembered digest, or empty when there is none or the file has changed since.
QByteArray recall(QFile &file);

} // namespace digestmemo
