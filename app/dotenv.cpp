#include "app/dotenv.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "app/config.h"

namespace {

// One line of a .env file, already trimmed; false when the line assigns nothing.
bool parseEnvLine(QString line, QString *key, QString *value)
{
    if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
        return false;
    if (line.startsWith(QLatin1String("export "))) {
        line = line.mid(7).trimmed();
        if (line.isEmpty())
            return false;
    }
    const qsizetype eq = line.indexOf(QLatin1Char('='));
    if (eq <= 0)
        return false;

    *key = line.left(eq).trimmed();
    QString v = line.mid(eq + 1).trimmed();
    if (v.size() >= 2 && ((v.startsWith(QLatin1Char('"')) && v.endsWith(QLatin1Char('"'))) ||
                          (v.startsWith(QLatin1Char('\'')) && v.endsWith(QLatin1Char('\''))))) {
        v = v.mid(1, v.size() - 2);
    }
    *value = v;
    return !key->isEmpty();
}

} // namespace

QString findEnvFile(const QString &startDir)
{
    if (startDir.isEmpty())
        return {};

    QDir dir(startDir);
    while (dir.exists()) {
        const QString candidate = dir.filePath(QStringLiteral(".env"));
        const QFileInfo info(candidate);
        if (info.exists() && info.isFile())
            return candidate;
        if (dir.isRoot() || !dir.cdUp())
            break;
    }
    return {};
}

bool loadEnvFile(const QString &path)
{
    if (path.isEmpty())
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;

    bool firstLine = true;
    while (!file.atEnd()) {
        QByteArray raw = file.readLine();
        // Editors on Windows like to start UTF-8 files with a byte-order mark; left in place it
        // would become part of the first key.
        if (firstLine && raw.startsWith("\xEF\xBB\xBF"))
            raw.remove(0, 3);
        firstLine = false;
        // Decode the whole line, embedded NULs included, so they can be seen and rejected below.
        const QString line = QString::fromUtf8(QByteArrayView(raw)).trimmed();
        QString key;
        QString value;
        if (!parseEnvLine(line, &key, &value))
            continue;

        const QByteArray name = key.toUtf8();
        const QByteArray bytes = value.toUtf8();
        // The environment is C strings: a NUL would silently cut the name or the value and set
        // something the file never said, so such lines are dropped like other malformed ones.
        if (name.contains('\0') || bytes.contains('\0'))
            continue;
        if (qEnvironmentVariableIsSet(name.constData()))
            continue;
        qputenv(name.constData(), bytes);
    }
    return true;
}

void loadDotenvForStartup(const QString &executableDir)
{
    const QString explicitFile = configValue(QStringLiteral("CORVALEN_ENV_FILE"));
    if (!explicitFile.isEmpty()) {
        // An explicit choice is final: falling back to a search could load someone else's file.
        if (loadEnvFile(explicitFile))
            qInfo() << "Loaded .env from CORVALEN_ENV_FILE:" << explicitFile;
        else
            qWarning() << "Could not load .env from CORVALEN_ENV_FILE:" << explicitFile;
        return;
    }

    const QString fromWorkingDir = findEnvFile(QDir::currentPath());
    if (!fromWorkingDir.isEmpty() && loadEnvFile(fromWorkingDir)) {
        qInfo() << "Loaded .env from:" << fromWorkingDir;
        return;
    }

    const QString besideExecutable = findEnvFile(executableDir);
    if (!besideExecutable.isEmpty() && loadEnvFile(besideExecutable)) {
        qInfo() << "Loaded .env from:" << besideExecutable;
        return;
    }

    qWarning() << "No .env file found. Set CORVALEN_ENV_FILE or place .env in project/app path.";
}
