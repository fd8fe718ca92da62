#include "support/sandbox.h"

#include <QDir>
#include <QFile>
#include <QSettings>

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

Sandbox::Sandbox()
{
    makeLayout();
    // Qt reads these at every use, but QSettings keeps its first idea of the user folder.
    const QList<QPair<const char *, QString>> variables{
        {"HOME", path()},
        {"XDG_CONFIG_HOME", filePath(".config")},
        {"XDG_DATA_HOME", filePath(".local/share")},
        {"XDG_CACHE_HOME", filePath(".cache")},
        {"XDG_RUNTIME_DIR", path()}, // owner-only, as it must be
        {"TMPDIR", tempPath()}};
    for (const auto &[name, value] : variables) {
        saved.append({name, qEnvironmentVariableIsSet(name) ? qgetenv(name) : QByteArray()});
        qputenv(name, QFile::encodeName(value));
    }
    for (const auto format : {QSettings::NativeFormat, QSettings::IniFormat})
        QSettings::setPath(format, QSettings::UserScope, filePath(".config"));
}

Sandbox::~Sandbox()
{
    for (const auto &[name, value] : std::as_const(saved))
        if (value.isNull())
            qunsetenv(name.constData());
        else
            qputenv(name.constData(), value);
}

bool Sandbox::wipe()
{
    const QDir root(path());
    const auto entries = root.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        if (entry.filePath() == tempPath())
            continue;
        if (!(entry.isDir() ? QDir(entry.filePath()).removeRecursively()
                            : QFile::remove(entry.filePath())))
            return false;
    }
    return makeLayout();
}

bool Sandbox::makeLayout()
{
    const QDir root(path());
    return root.mkpath(".config") && root.mkpath(".local/share") && root.mkpath(".cache") &&
           root.mkpath("tmp");
}
