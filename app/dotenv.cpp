#include "app/dotenv.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "app/config.h"

std::optional<EnvAssignment> parseEnvLine(const QString &line)
{
    QString text = line.trimmed();
    if (text.isEmpty() || text.startsWith(QLatin1Char('#')))
        return std::nullopt;
    if (text.startsWith(QLatin1String("export "))) {
        text = text.mid(7).trimmed();
        if (text.isEmpty())
            return std::nullopt;
    }
    const qsizetype eq = text.indexOf(QLatin1Char('='));
    if (eq <= 0)
        return std::nullopt;

    EnvAssignment assignment{text.left(eq).trimmed(), text.mid(eq + 1).trimmed()};
    QString &v = assignment.value;
    if (v.size() >= 2 && ((v.startsWith(QLatin1Char('"')) && v.endsWith(QLatin1Char('"'))) ||
                          (v.startsWith(QLatin1Char('\'')) && v.endsWith(QLatin1Char('\''))))) {
        v = v.mid(1, v.size() - 2);
    }
    // The environment holds C strings: a NUL would silently cut the name or the value and set
    // something the file never said, so such lines are dropped like other malformed ones.
    if (assignment.key.isEmpty() || assignment.key.contains(QChar(0)) || v.contains(QChar(0)))
        return std::nullopt;
    return assignment;
}

QString findEnvFile(const QString &startDir)
{
    if (startDir.isEmpty())
        return {};

    QDir dir(startDir);
    while (dir.exists()) {
        QString candidate = dir.filePath(QStringLiteral(".env"));
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
        // Decode the whole line, embedded NULs included, so that the parser can refuse them.
        const auto assignment = parseEnvLine(QString::fromUtf8(QByteArrayView(raw)));
        if (!assignment)
            continue;
        const QByteArray name = assignment->key.toUtf8();
        if (qEnvironmentVariableIsSet(name.constData()))
            continue;
        qputenv(name.constData(), assignment->value.toUtf8());
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
