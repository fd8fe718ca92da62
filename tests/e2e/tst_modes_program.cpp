// The real program in author mode on a private X display: signed in against the real backend, it
// follows edits of its dashboard folder and shows QML errors in its window. Pixels, logs and files.
#include <QtTest>

#include "support/desktop_client.h"
#include "support/local_backend.h"
#include "support/processes.h"
#include "support/sandbox.h"

namespace {
constexpr int Timeout = 60000;
const QString Email = QStringLiteral("author@modes.example");
const QString Password = QStringLiteral("Auth0r-mode-secret");
constexpr QRgb ProblemBorder = 0xc0392b; // the client's problem box

QByteArray dashboard(const QByteArray &version, const QByteArray &extra = {})
{
    return "import QtQuick\nRectangle {\n    color: \"#203040\"\n" + extra +
           "    Component.onCompleted: console.log(\"Authored dashboard " + version + "\")\n}\n";
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
        QVERIFY(!client.findWindow({"--name", "^Author mode: " + folder.path() + "$"}).isEmpty());
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

    void errorShowsUntilFixed()
    {
        QVERIFY(writeFile(file(), dashboard("v3", "    width: (\n")));
        QTRY_VERIFY_WITH_TIMEOUT(logged("Author mode: file://" + file().toUtf8() + ":5:"), Timeout);
        QTRY_VERIFY_WITH_TIMEOUT(pixelsOf(client.screenshot(), ProblemBorder).size() > 100,
                                 Timeout);

        QVERIFY(writeFile(file(), dashboard("v4")));
        QTRY_VERIFY_WITH_TIMEOUT(logged("Authored dashboard v4"), Timeout);
        QTRY_VERIFY_WITH_TIMEOUT(pixelsOf(client.screenshot(), ProblemBorder).isEmpty(), Timeout);
    }
};

QTEST_MAIN(ModesProgramTest)
#include "tst_modes_program.moc"
