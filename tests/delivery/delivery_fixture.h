#pragma once

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QSettings>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>

#include "auth/authhandler.h"
#include "viewmodel/viewmodel.h"

namespace delivery {

inline QByteArray bundle(const char *name)
{
    QFile file(QStringLiteral(DELIVERY_BUNDLE_DIR "/%1.rcc").arg(QLatin1String(name)));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline QString bundlePath(const char *name)
{
    return QStringLiteral(DELIVERY_BUNDLE_DIR "/%1.rcc").arg(QLatin1String(name));
}

// Text of a file under the resource root, or a null string when nothing provides it.
inline QString resourceText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

inline QString cacheDir()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) +
           QStringLiteral("/dashboard_rcc_cache");
}

// Collects every log line of the process, in the form the message logger received it.
class LogCapture
{
public:
    // QtTest installs its own handler when it starts running, so this one goes in after it.
    static void install() { previous = qInstallMessageHandler(&LogCapture::handle); }
    static void uninstall() { qInstallMessageHandler(previous); }
    static QStringList lines()
    {
        QMutexLocker lock(&mutex());
        return store();
    }
    static void clear()
    {
        QMutexLocker lock(&mutex());
        store().clear();
    }
    static bool contains(const QString &fragment) { return count(fragment) > 0; }
    static int count(const QString &fragment)
    {
        int n = 0;
        for (const QString &line : lines())
            n += line.contains(fragment) ? 1 : 0;
        return n;
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        {
            QMutexLocker lock(&mutex());
            store().append(text);
        }
        if (type == QtFatalMsg || qEnvironmentVariableIsSet("DELIVERY_TEST_LOG"))
            previous(type, context, text);
    }
    static QStringList &store()
    {
        static QStringList s;
        return s;
    }
    static QMutex &mutex()
    {
        static QMutex m;
        return m;
    }
    static inline QtMessageHandler previous = nullptr;
};

// Settings, cache and dump files of one test run live in temporary places.
class Sandbox
{
public:
    Sandbox()
    {
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setOrganizationName(QStringLiteral("CorvalenDeliveryTests"));
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir.path());
        qputenv("TMPDIR", tempDir.path().toUtf8());
    }
    ~Sandbox()
    {
        QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)).removeRecursively();
    }
    void reset()
    {
        QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)).removeRecursively();
        QDir(tempDir.path()).removeRecursively();
        QDir().mkpath(tempDir.path());
        QFile::remove(settingsDir.filePath(QStringLiteral("YourCompany/YourApp.ini")));
    }
    QStringList dumps() const
    {
        return QDir(tempDir.path())
            .entryList({QStringLiteral("corvalen-dashboard-rcc-*.bin")}, QDir::Files);
    }
    QString tempPath() const { return tempDir.path(); }

private:
    QTemporaryDir settingsDir;
    QTemporaryDir tempDir;
};

// A stored session as sign-in leaves it; isUserLoggedIn() then restores it.
inline void signIn(ViewModel &vm, const QString &id, const QString &token = QStringLiteral("tok-1"))
{
    QSettings &s = vm.auth().Settings();
    s.setValue(QStringLiteral("token"), EncodeStoredValue(token));
    s.setValue(QStringLiteral("refreshToken"), EncodeStoredValue(QStringLiteral("refresh-1")));
    s.setValue(QStringLiteral("tokenLifeTime"), 3600);
    s.setValue(QStringLiteral("id"), id);
    s.setValue(QStringLiteral("email"), id + QStringLiteral("@example.test"));
    vm.isUserLoggedIn();
}

// The program's own main page inside a sized host, as main.qml holds it.
inline std::unique_ptr<QObject> createMainPage(QQmlEngine &engine)
{
    QQmlComponent host(&engine);
    host.setData("import QtQuick\nimport \"qrc:/user_interface/qml_files\"\n"
                 "Item { width: 200; height: 200; MainPage { objectName: \"page\" } }",
                 QUrl(QStringLiteral("qrc:/delivery_test_host.qml")));
    std::unique_ptr<QObject> root(host.create());
    if (!root)
        qWarning() << host.errorString();
    return root;
}

// Loads the registered dashboard the way the main page does after a successful delivery.
inline void loadDashboard(QObject *root)
{
    QMetaObject::invokeMethod(root->findChild<QObject *>(QStringLiteral("page")),
                              "loadExternalDashboard");
}

inline QString shownDashboard(QObject *root)
{
    QObject *page = root->findChild<QObject *>(QStringLiteral("page"));
    auto *object = page ? page->property("externalDashboardObject").value<QObject *>() : nullptr;
    return object ? object->property("marker").toString() : QString();
}

} // namespace delivery
