#pragma once

#include <QByteArray>
#include <QDirIterator>
#include <QFile>
#include <QResource>
#include <QSet>
#include <QStringList>

#include "viewmodel/rcc_validation.h"

// What the client does with a bundle: check it and, when it passes, register it and read every
// file, as the dashboard's QML engine would. A hole in the check shows up here as a crash or a
// sanitizer report rather than as a passed check.
inline QStringList resourceFiles()
{
    QStringList files;
    QDirIterator it(QStringLiteral(":/"), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next();
    return files;
}

inline void registerAndReadBack(const QByteArray &bundle)
{
    // The program's own resources are read once, not at every input.
    static const QSet<QString> builtIn = [] {
        const QStringList files = resourceFiles();
        return QSet<QString>(files.cbegin(), files.cend());
    }();
    if (!isStructurallyValidRcc(bundle))
        return;
    const auto *tree = reinterpret_cast<const uchar *>(bundle.constData());
    if (!QResource::registerResource(tree))
        return;
    for (const QString &path : resourceFiles()) {
        QFile file(path);
        if (!builtIn.contains(path) && file.open(QIODevice::ReadOnly))
            file.readAll();
    }
    QResource::unregisterResource(tree);
}

inline QByteArray fuzzInput(const uint8_t *data, size_t size)
{
    // Not a copy: the fuzzer's buffer is allocated to the input's exact size, so that a read
    // even one byte past its end is reported.
    return QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
}
