#include "app/window_geometry.h"

#include <QGuiApplication>

#include <QScreen>
#include <QSettings>
#include <QWindow>
#include <algorithm>

void WindowGeometry::restore(QWindow *window) const
{
    if (!window)
        return;
    const QSettings settings(file, QSettings::IniFormat);
    const QRect saved = settings.value(QStringLiteral("window/geometry")).toRect();
    if (saved.isValid()) {
        // A screen that has gone would put the window out of reach.
        const QList<QScreen *> screens = QGuiApplication::screens();
        const bool onScreen = std::any_of(screens.cbegin(), screens.cend(), [&](QScreen *s) {
            return s->availableGeometry().intersects(saved);
        });
        if (onScreen)
            window->setGeometry(saved);
    }
    if (settings.value(QStringLiteral("window/maximized")).toBool())
        window->showMaximized();
}

void WindowGeometry::save(const QWindow *window) const
{
    // A full-screen window's place says nothing about where the user wants the window.
    if (!window || window->windowStates() & Qt::WindowFullScreen)
        return;
    QSettings settings(file, QSettings::IniFormat);
    const bool maximized = window->windowStates() & Qt::WindowMaximized;
    settings.setValue(QStringLiteral("window/maximized"), maximized);
    // A maximized window's own size would come back as a window that only looks maximized.
    if (!maximized)
        settings.setValue(QStringLiteral("window/geometry"), window->geometry());
}
