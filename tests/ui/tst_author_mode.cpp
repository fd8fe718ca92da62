// Author mode: the real main.qml and view model show a dashboard from a folder on disk and follow
// its edits. Sign-in goes to a scripted service on loopback.
#include <QtQuick>
#include <QtTest>

#include <memory>

#include "support/client_ui.h"
#include "support/log_capture.h"
#include "support/loopback_backend.h"
#include "viewmodel/author_mode.h"

using Response = ScriptedHttpServer::Response;

namespace {
constexpr int Timeout = 15000;

// A dashboard that reports its version, taken from a component in a subfolder so that relative
// imports are exercised.
QByteArray dashboardQml(const QByteArray &body = {})
{
    return "import QtQuick\nimport \"parts\"\nRectangle {\n    color: \"#203040\"\n"
           "    property string version: tag.version\n    Tag { id: tag }\n" +
           body + "}\n";
}
QByteArray tagQml(const QByteArray &version)
{
    return "import QtQuick\nQtObject { property string version: \"" + version + "\" }\n";
}

// How an editor stores a file.
enum class Save
{
    InPlace,    // truncates and writes the same file
    RenameOver, // writes a new file and renames it over the old one
};
bool save(const QString &path, const QByteArray &text, Save how)
{
    if (how == Save::InPlace)
        return writeFile(path, text);
    const QString temporary = path + QStringLiteral(".tmp~");
    return writeFile(temporary, text) && ::rename(QFile::encodeName(temporary).constData(),
                                                  QFile::encodeName(path).constData()) == 0;
}
} // namespace
Q_DECLARE_METATYPE(Save)

class AuthorModeTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> folder;
    std::unique_ptr<LoopbackBackend> backend;
    std::unique_ptr<ClientUi> ui;
    QQuickWindow *window = nullptr;

    QString file(const QString &name) const { return folder->filePath(name); }
    QQuickItem *item(const char *name) const { return window->findChild<QQuickItem *>(name); }
    QObject *dashboard() const
    {
        return item("mainPage")->property("externalDashboardObject").value<QObject *>();
    }
    QString shownVersion() const
    {
        return dashboard() ? dashboard()->property("version").toString() : QString();
    }
    QString overlayText() const
    {
        QQuickItem *overlay = item("authorProblems");
        if (!overlay || !overlay->isVisible())
            return {};
        QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(overlay);
        return accessible ? accessible->text(QAccessible::Name) : QStringLiteral("?");
    }
    QString cacheFolder() const
    {
        return backend->sandbox.filePath(".local/share/corvalen_dashboard/dashboard_rcc_cache");
    }

private slots:
    void init()
    {
        // The overlay is updated after the dashboard's bindings, never from inside them.
        QTest::failOnWarning(QRegularExpression("qrc:/user_interface/|Binding loop"));
        folder = std::make_unique<QTemporaryDir>();
        QVERIFY(folder->isValid() && QDir(folder->path()).mkpath("parts"));
        QVERIFY(writeFile(file("dashboard.qml"), dashboardQml()));
        QVERIFY(writeFile(file("parts/Tag.qml"), tagQml("v1")));
        backend = std::make_unique<LoopbackBackend>();
        QVERIFY(backend->start());
        backend->routes["/v1/signin/email-password"] = Response::json(200, kSignedInU1);

        ui = std::make_unique<ClientUi>();
        auto *author = new AuthorMode(folder->path(), &ui->engine, &ui->engine);
        ui->viewModel.setAuthorMode(author);
        QVERIFY(ui->load({{"authorMode", QVariant::fromValue(author)}}));
        window = ui->window;
        QVERIFY(window->title().contains(folder->path()));

        ui->viewModel.logUserIn("e", "p");
        QTRY_COMPARE_WITH_TIMEOUT(shownVersion(), QStringLiteral("v1"), Timeout);
    }
    void cleanup()
    {
        ui.reset();
        // Never a bundle: nothing asked of the dashboard function, nothing cached.
        const QList<ScriptedHttpServer::Request> requests = backend->server.requests();
        for (const auto &request : requests)
            QVERIFY2(!request.path().startsWith("/fn"), request.target.constData());
        QVERIFY(QDir(cacheFolder()).isEmpty());
        backend.reset();
        folder.reset();
    }

    void savedChangeIsShown_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<Save>("how");
        QTest::newRow("subfolder, in place") << "parts/Tag.qml" << Save::InPlace;
        QTest::newRow("subfolder, renamed over") << "parts/Tag.qml" << Save::RenameOver;
        QTest::newRow("top file, renamed over") << "dashboard.qml" << Save::RenameOver;
    }
    void savedChangeIsShown()
    {
        QFETCH(QString, name);
        QFETCH(Save, how);
        const QPointer<QObject> first = dashboard();
        // Twice: a file renamed over is watched again after the first change.
        for (const QByteArray version : {"v2", "v3"}) {
            const QByteArray text =
                name == "dashboard.qml"
                    ? dashboardQml().replace("tag.version", "\"" + version + "\"")
                    : tagQml(version);
            QElapsedTimer sinceSave;
            sinceSave.start();
            QVERIFY(save(file(name), text, how));
            QTRY_COMPARE_WITH_TIMEOUT(shownVersion(), QString(version), Timeout);
            qInfo("Edit to visible: %lld ms", sinceSave.elapsed());
        }
        // The old dashboard is deleted, and the session is the same one.
        QTRY_VERIFY_WITH_TIMEOUT(first.isNull(), Timeout);
        QCOMPARE(ui->viewModel.currentUserId(), QStringLiteral("u1"));
    }

    void problemShowsUntilFixed_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("broken");
        QTest::addColumn<QString>("where"); // file:line:column in the message
        QTest::newRow("syntax") << "dashboard.qml" << dashboardQml("    width: (\n")
                                << "dashboard.qml:8:1";
        QTest::newRow("unknown type")
            << "parts/Tag.qml" << QByteArray("import QtQuick\nNoSuchThing {}\n") << "Tag.qml:2:1";
        QTest::newRow("script error")
            << "dashboard.qml" << dashboardQml("    width: manager.noSuchMethod()\n")
            << "dashboard.qml:7:5";
    }
    void problemShowsUntilFixed()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, broken);
        QFETCH(QString, where);
        LogCapture log;
        const QByteArray good = readFile(file(name));
        QVERIFY(writeFile(file(name), broken));
        QTRY_VERIFY_WITH_TIMEOUT(overlayText().contains(where), Timeout);
        QVERIFY2(log.contains(where), qPrintable(log.lines().join('\n')));

        QVERIFY(writeFile(file(name), good));
        QTRY_VERIFY_WITH_TIMEOUT(dashboard() && overlayText().isEmpty(), Timeout);
        QCOMPARE(shownVersion(), QStringLiteral("v1"));
    }
};

QTEST_MAIN(AuthorModeTest)
#include "tst_author_mode.moc"
