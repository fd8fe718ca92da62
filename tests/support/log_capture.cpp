#include "support/log_capture.h"

#include <algorithm>

namespace {
QMutex mutex;
LogCapture *active = nullptr; // guarded by mutex
} // namespace

LogCapture::LogCapture(PassOn forward) : passOn(forward)
{
    QMutexLocker lock(&mutex);
    Q_ASSERT(!active);
    active = this;
    previous = qInstallMessageHandler(&LogCapture::record);
}

LogCapture::~LogCapture()
{
    QMutexLocker lock(&mutex);
    qInstallMessageHandler(previous);
    active = nullptr;
}

QStringList LogCapture::lines() const
{
    QMutexLocker lock(&mutex);
    return recorded;
}

bool LogCapture::contains(const QString &text) const
{
    const QStringList all = lines();
    return std::any_of(all.cbegin(), all.cend(),
                       [&](const QString &line) { return line.contains(text); });
}

void LogCapture::record(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    QtMessageHandler next = nullptr;
    {
        QMutexLocker lock(&mutex);
        if (!active)
            return;
        active->recorded.append(text);
        if (active->passOn == PassOn::All || type == QtFatalMsg)
            next = active->previous;
    }
    // Outside the lock: the next handler may log, or end the program.
    if (next)
        next(type, context, text);
}
