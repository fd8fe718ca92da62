// The real program started in author mode on a private X display, signed in against the real
// backend: its window says so, and it follows edits of its dashboard folder without a bundle.
#include <QtTest>

#include "support/desktop_client.h"
#include "support/local_backend.h"
#include "support/processes.h"
#include "support/sandbox.h"

namespace {
constexpr int Timeout = 60000;
const QString Email = QStringLiteral("author@modes.example");
const QString Password = QStringLiteral("Auth0r-mode-secret");

QByteArray dashboard(const QByteArray &version)
{
    return "import QtQuick\nRectangle {\n    color: \"#203040\"\n"
           "    Component.onCompleted: console.log(\"Authored dashboard " +
           version + "\")\n}\n";
}
} // namespace

class ModesProgramTest : public QObject
{
    Q_OBJECT

    Sandbox root;
    PrivateDisplay display;
    LocalBackend backend;
    QTemporaryDir folder;
    DesktopClient client;

    bool logged(const QByteArray &line) const { return client.log().contains(line); }
    QString file() const { return folder.filePath("dashboard.qml"); }

private slots:
    void initTestCase()
    {
        QVERIFY(display.start());
        QVERIFY2(backend.start(), backend.log().constData());
        QVERIFY(!backend.createUser(Email, Password).isEmpty());
        QVERIFY(writeFile(file(), dashboard("v1")));
        QProcessEnvironment env;
        env.insert("HOME", root.path());
        env.insert("XDG_RUNTIME_DIR", root.path());
        env.insert("CORVALEN_AUTH_BASE_URL", backend.baseUrl());
        QVERIFY2(client.start(env, root.filePath("client.log"), {"--dashboard-dir", folder.path()}),
                 client.log().constData());
        QVERIFY(!client.findWindow({"--name", "author mode: " + folder.path() + "$"}).isEmpty());
        QVERIFY(client.signIn(Email, Password));
        QTRY_VERIFY_WITH_TIMEOUT(logged("Authored dashboard v1"), Timeout);
    }
    void cleanupTestCase()
    {
        stopProcess(client.process());
        // No bundle was asked for or cached.
        QVERIFY(!logged("RCC"));
        QVERIFY(
            QDir(root.filePath(".local/share/corvalen_dashboard/dashboard_rcc_cache")).isEmpty());
    }

    void editIsShown()
    {
        QElapsedTimer sinceSave;
        sinceSave.start();
        QVERIFY(writeFile(file(), dashboard("v2")));
        QTRY_VERIFY_WITH_TIMEOUT(logged("Authored dashboard v2"), Timeout);
        qInfo("Edit to log line: %lld ms", sinceSave.elapsed());
        for (const QByteArray &line : client.log().split('\n'))
            if (line.contains("dashboard reloaded"))
                qInfo("%s", line.constData()); // the client's own measure
    }
};

QTEST_MAIN(ModesProgramTest)
#include "tst_modes_program.moc"
