#include "e2e/e2e_support.h"

#include <QFile>
#include <QJsonDocument>
#include <QStandardPaths>
#include <QTest>

namespace {
constexpr int StartTimeoutMs = 30000;
}

ToolResult runTool(const QString &program, const QStringList &args, const QProcessEnvironment &env,
                   int timeoutMs)
{
    ToolResult result;
    QProcess tool;
    tool.setProcessEnvironment(env);
    tool.start(program, args);
    if (!tool.waitForStarted(timeoutMs)) {
        result.errors = tool.errorString().toUtf8();
        return result;
    }
    tool.closeWriteChannel();
    if (!tool.waitForFinished(timeoutMs))
        stopProcess(tool, 1000);
    else
        result.finished = tool.exitStatus() == QProcess::NormalExit;
    result.exitCode = tool.exitCode();
    result.output = tool.readAllStandardOutput();
    result.errors = tool.readAllStandardError();
    return result;
}

QString missingTools(const QStringList &names)
{
    QStringList missing;
    for (const QString &name : names) {
        if (QStandardPaths::findExecutable(name).isEmpty())
            missing.append(name);
    }
    return missing.join(QStringLiteral(", "));
}

void stopProcess(QProcess &process, int timeoutMs)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(timeoutMs);
    }
}

LocalBackend::LocalBackend(const QString &executablePath) : executable(executablePath) {}

LocalBackend::~LocalBackend()
{
    stop();
}

bool LocalBackend::start()
{
    const QString portFile = dir.filePath(QStringLiteral("port"));
    QFile::remove(portFile);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardOutputFile(logFilePath(), QIODevice::Append);
    process.start(executable,
                  {QStringLiteral("serve"), QStringLiteral("--db"),
                   dir.filePath(QStringLiteral("backend.sqlite")), QStringLiteral("--host"),
                   QStringLiteral("127.0.0.1"), QStringLiteral("--port"), QStringLiteral("0"),
                   QStringLiteral("--port-file"), portFile});
    if (!process.waitForStarted(StartTimeoutMs)) {
        error = QStringLiteral("cannot start %1: %2").arg(executable, process.errorString());
        return false;
    }
    const bool listening = QTest::qWaitFor(
        [&] {
            QFile file(portFile);
            if (process.state() != QProcess::Running || !file.open(QIODevice::ReadOnly))
                return process.state() != QProcess::Running;
            port = file.readAll().trimmed().toUShort();
            return port != 0;
        },
        StartTimeoutMs);
    if (!listening || port == 0) {
        error = QStringLiteral("the backend did not report its port; its log:\n") +
                QString::fromUtf8(log());
        stop();
        return false;
    }
    return true;
}

void LocalBackend::stop()
{
    stopProcess(process);
}

QString LocalBackend::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1/v1").arg(port);
}

QByteArray LocalBackend::log() const
{
    QFile file(logFilePath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

ToolResult LocalBackend::run(const QString &command, const QStringList &args) const
{
    return runTool(executable, QStringList{command, QStringLiteral("--db"),
                                           dir.filePath(QStringLiteral("backend.sqlite"))} +
                                   args);
}

QString LocalBackend::createUser(const QString &email, const QString &password) const
{
    const ToolResult result =
        run(QStringLiteral("create-user"),
            {QStringLiteral("--email"), email, QStringLiteral("--password"), password});
    return result.ok() ? QString::fromUtf8(result.output).trimmed() : QString();
}

bool LocalBackend::publishBundle(const QString &email, const QString &file,
                                 const QString &format) const
{
    return run(QStringLiteral("publish-bundle"),
               {QStringLiteral("--email"), email, QStringLiteral("--file"), file,
                QStringLiteral("--format"), format})
        .ok();
}

QJsonObject LocalBackend::showUser(const QString &email) const
{
    const ToolResult result = run(QStringLiteral("show-user"), {QStringLiteral("--email"), email});
    return result.ok() ? QJsonDocument::fromJson(result.output).object() : QJsonObject();
}

bool LocalBackend::updateFlag(const QString &email) const
{
    return showUser(email)
        .value(QStringLiteral("metadata"))
        .toObject()
        .value(QStringLiteral("rcc_update_available"))
        .toBool();
}

VirtualDisplay::~VirtualDisplay()
{
    stop();
}

bool VirtualDisplay::start(const QSize &size)
{
    // -displayfd makes the server pick a free display itself and print its number once it
    // accepts connections, so there is neither a race for the number nor a readiness poll.
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(QStringLiteral("Xvfb"),
                  {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                   QStringLiteral("0"),
                   QStringLiteral("%1x%2x24").arg(size.width()).arg(size.height()),
                   QStringLiteral("-nolisten"), QStringLiteral("tcp")});
    if (!process.waitForStarted(StartTimeoutMs)) {
        error = QStringLiteral("cannot start Xvfb: ") + process.errorString();
        return false;
    }
    QByteArray number;
    while (!number.endsWith('\n') && process.waitForReadyRead(StartTimeoutMs))
        number += process.readAllStandardOutput();
    number = number.trimmed();
    if (number.isEmpty()) {
        error = QStringLiteral("Xvfb did not report a display number");
        stop();
        return false;
    }
    display = QLatin1Char(':') + QString::fromLatin1(number);
    return true;
}

void VirtualDisplay::stop()
{
    stopProcess(process);
}

QProcessEnvironment VirtualDisplay::environment(QProcessEnvironment base) const
{
    base.insert(QStringLiteral("DISPLAY"), display);
    return base;
}

ToolResult VirtualDisplay::xdotool(const QStringList &args, int timeoutMs) const
{
    return runTool(QStringLiteral("xdotool"), args,
                   environment(QProcessEnvironment::systemEnvironment()), timeoutMs);
}

QImage VirtualDisplay::screenshot() const
{
    const ToolResult shot = runTool(QStringLiteral("import"),
                                    {QStringLiteral("-display"), display, QStringLiteral("-window"),
                                     QStringLiteral("root"), QStringLiteral("png:-")});
    if (!shot.ok())
        return {};
    return QImage::fromData(shot.output, "PNG").convertToFormat(QImage::Format_RGB32);
}

int countPixels(const QImage &image, QRgb colour)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            if ((line[x] & 0xffffff) == (colour & 0xffffff))
                ++count;
        }
    }
    return count;
}

QRect boundingBoxOf(const QImage &image, QRgb colour)
{
    QRect box;
    for (int y = 0; y < image.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            if ((line[x] & 0xffffff) == (colour & 0xffffff))
                box |= QRect(x, y, 1, 1);
        }
    }
    return box;
}
