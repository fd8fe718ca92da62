#pragma once

#include <QMutex>
#include <QStringList>
#include <QtGlobal>

// Records the text of every message logged while it lives, from any thread, QML console lines
// included. Every message also goes on to the handler that was there before (QtTest's, so that
// ignoreMessage() and failOnWarning() keep working), or only the fatal ones where a test logs
// too much to be worth printing. One at a time.
class LogCapture
{
public:
    enum class PassOn
    {
        All,
        FatalOnly
    };

    explicit LogCapture(PassOn forward = PassOn::All);
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QStringList lines() const;
    // Whether some line contains this text.
    bool contains(const QString &text) const;

private:
    static void record(QtMsgType type, const QMessageLogContext &context, const QString &text);

    const PassOn passOn;
    QtMessageHandler previous = nullptr;
    QStringList recorded;
};
