#pragma once

#include <QString>

class QWindow;

// The main window's place and size between runs, in a settings file of its own: the session's
// file has a fixed content.
class WindowGeometry
{
public:
    explicit WindowGeometry(const QString &fileName) : file(fileName) {}

    // Nothing happens when nothing was saved or the saved place is on no screen any more.
    void restore(QWindow *window) const;
    void save(const QWindow *window) const;

private:
    QString file;
};
