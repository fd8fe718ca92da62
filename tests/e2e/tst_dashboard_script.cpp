// scripts/dashboard publish: a folder is packed with rcc, its dashboard.qml loaded by the check
// program, and published with the real backend only when it loads (or when forced).
#include <QtTest>

#include "support/local_backend.h"
#include "support/sandbox.h"

class DashboardScriptTest : public QObject
{
    Q_OBJECT

    Sandbox home;
    LocalBackend backend; // its database only; publishing needs no server
    int user = 0;

private slots:
    void initTestCase() { qputenv("CORVALEN_BUILD_DIR", CORVALEN_BUILD_DIR); }

    void publishesOnlyWhatLoads_data()
    {
        QTest::addColumn<QByteArray>("qml");
        QTest::addColumn<bool>("force");
        QTest::addColumn<bool>("published");
        QTest::addColumn<QByteArray>("error"); // in the script's output
        const QByteArray good = "import QtQuick\nimport \"parts\"\nRectangle { Part {} }\n";
        const QByteArray syntax = "import QtQuick\nRectangle {\n    width: (\n}\n";
        const QByteArray missing = "import QtQuick\nRectangle {\n    NoSuchType {}\n}\n";
        QTest::newRow("loads") << good << false << true << QByteArray();
        QTest::newRow("syntax error")
            << syntax << false << false << QByteArray("dashboard.qml:4:1: Expected token");
        QTest::newRow("unknown type") << missing << false << false
                                      << QByteArray("dashboard.qml:3:5: NoSuchType is not a type");
        QTest::newRow("forced") << missing << true << true << QByteArray("--force");
    }
    void publishesOnlyWhatLoads()
    {
        QFETCH(QByteArray, qml);
        QFETCH(bool, force);
        QFETCH(bool, published);
        QFETCH(QByteArray, error);
        const QString email = QStringLiteral("author%1@script.example").arg(++user);
        QVERIFY(!backend.createUser(email, "Scr1pt-author-pw").isEmpty());
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath("parts"));
        QVERIFY(writeFile(dir.filePath("dashboard.qml"), qml));
        QVERIFY(writeFile(dir.filePath("parts/Part.qml"), "import QtQuick\nItem {}\n"));

        QStringList args{"publish", dir.path(), "--email", email, "--db", backend.dbPath()};
        if (force)
            args << "--force";
        const ToolResult run =
            runTool(QStringLiteral(CORVALEN_SOURCE_DIR "/scripts/dashboard"), args);
        const QByteArray output = run.out + run.err;
        QVERIFY2(run.ok() == published, output.constData());
        QVERIFY2(output.contains(error), output.constData());
        QCOMPARE(backend.updateFlag(email), QJsonValue(published));
    }
};

QTEST_GUILESS_MAIN(DashboardScriptTest)
#include "tst_dashboard_script.moc"
