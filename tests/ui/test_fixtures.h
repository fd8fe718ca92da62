#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QProcess>
#include <QPushButton>
#include <QString>
#include <QTimer>
#include <functional>

// QMessageBox::exec() blocks the caller in a nested event loop, so boxes are answered from a
// timer: each box that becomes the active modal widget is recorded and closed with a click on
// the button chosen for it (Ok unless told otherwise).
class MessageBoxWatcher : public QObject
{
public:
    struct Shown
    {
        QString windowTitle;
        QString text;
        QString informativeText;
        QMessageBox::StandardButtons buttons;
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    };

    QList<Shown> shown;
    QMessageBox::StandardButton answer = QMessageBox::Ok;
    std::function<void(QMessageBox *)> onShown; // runs before the click (screenshots)

    MessageBoxWatcher()
    {
        timer.setInterval(10);
        connect(&timer, &QTimer::timeout, this, &MessageBoxWatcher::poll);
        timer.start();
    }

private:
    void poll()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
        if (box->defaultButton())
            defaultButton = box->standardButton(box->defaultButton());
        shown.append({box->windowTitle(), box->text(), box->informativeText(),
                      box->standardButtons(), defaultButton});
        if (onShown)
            onShown(box);
        if (QAbstractButton *button = box->button(answer))
            button->click();
        else
            box->reject();
    }

    QTimer timer;
};

// Builds a real binary resource bundle that provides :/external/dashboard.qml with the given
// source, using Qt's resource compiler; answers the bundle's bytes (empty on failure).
inline QByteArray buildDashboardBundle(const QString &dir, const QByteArray &dashboardQml)
{
    QDir().mkpath(dir);
    QFile qml(dir + QStringLiteral("/dashboard.qml"));
    QFile qrc(dir + QStringLiteral("/bundle.qrc"));
    if (!qml.open(QIODevice::WriteOnly) || !qrc.open(QIODevice::WriteOnly))
        return {};
    qml.write(dashboardQml);
    qml.close();
    qrc.write("<RCC><qresource prefix=\"/external\"><file>dashboard.qml</file></qresource></RCC>");
    qrc.close();
    const QString out = dir + QStringLiteral("/bundle.rcc");
    QProcess rcc;
    rcc.start(QStringLiteral(CORVALEN_RCC),
              {QStringLiteral("-binary"), qrc.fileName(), QStringLiteral("-o"), out});
    if (!rcc.waitForFinished(60000) || rcc.exitCode() != 0)
        return {};
    QFile bundle(out);
    return bundle.open(QIODevice::ReadOnly) ? bundle.readAll() : QByteArray();
}
