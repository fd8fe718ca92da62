// qmllint with the installed type information of Corvalen.Client: the sample lints clean, and a
// call the client's objects do not have is flagged.
#include <QLibraryInfo>
#include <QtTest>

#include "support/processes.h"
#include "support/sandbox.h"

namespace {
const QByteArray Header = "import QtQuick\nimport Corvalen.Client\n\nRectangle {\n";
}

class DashboardLintTest : public QObject
{
    Q_OBJECT

    const QString qmllint =
        QLibraryInfo::path(QLibraryInfo::BinariesPath) + QStringLiteral("/qmllint");
    // Qt 6.4's qmllint fails on any warning and has no option for it; newer ones (6.8) exit 0
    // after warnings unless given a maximum.
    const QStringList strict = runTool(qmllint, {"--help"}).out.contains("--max-warnings")
                                   ? QStringList{"--max-warnings", "0"}
                                   : QStringList();

private slots:
    void lints_data()
    {
        QTest::addColumn<QByteArray>("body"); // empty: the sample dashboard's own files
        QTest::addColumn<bool>("withTypes");
        QTest::addColumn<QByteArray>("flagged"); // empty: clean
        QTest::newRow("sample") << QByteArray() << true << QByteArray();
        QTest::newRow("sample without the types") << QByteArray() << false << QByteArray("Client");
        QTest::newRow("members in use")
            << QByteArray("    property string who: Client.manager.currentUserId()\n"
                          "    property bool live: Client.mqttClient.connected\n"
                          "    Component.onCompleted: {\n"
                          "        Client.mqttClient.SetAutoReconnect(true)\n"
                          "        Client.manager.configureDashboardMqtt(\"h\", 1883, [\"t\"])\n"
                          "    }\n"
                          "    Connections {\n"
                          "        target: Client.mqttClient\n"
                          "        function onMessageReceived(topic, message) {}\n"
                          "    }\n")
            << true << QByteArray();
        QTest::newRow("unknown method")
            << QByteArray("    Component.onCompleted: Client.manager.noSuchMethod()\n") << true
            << QByteArray("noSuchMethod");
        QTest::newRow("unknown MQTT member")
            << QByteArray("    property bool up: Client.mqttClient.online\n") << true
            << QByteArray("online");
        QTest::newRow("context property")
            << QByteArray("    Component.onCompleted: manager.noSuchMethod()\n") << true
            << QByteArray("manager");
    }
    void lints()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, withTypes);
        QFETCH(QByteArray, flagged);
        QVERIFY2(QFile::exists(qmllint), qPrintable(qmllint));
        QTemporaryDir dir;
        QStringList files;
        if (body.isEmpty()) {
            const QDir components(QStringLiteral(SAMPLE_DASHBOARD_DIR "/components"));
            files << QStringLiteral(SAMPLE_DASHBOARD_DIR "/dashboard.qml");
            for (const QString &name : components.entryList({"*.qml"}, QDir::Files))
                files << components.filePath(name);
        } else {
            files << dir.filePath("dashboard.qml");
            QVERIFY(writeFile(files.first(), Header + body + "}\n"));
        }
        const QStringList types{"-I", QStringLiteral(CORVALEN_QML_DIR)};
        const ToolResult lint =
            runTool(qmllint, strict + (withTypes ? types : QStringList()) + files);
        const QByteArray output = lint.out + lint.err;
        const bool warned = output.contains("Warning:");
        if (flagged.isEmpty())
            QVERIFY2(lint.ok() && !warned, output.constData());
        else
            QVERIFY2(!lint.ok() && warned && output.contains(flagged), output.constData());
    }
};

QTEST_GUILESS_MAIN(DashboardLintTest)
#include "tst_dashboard_lint.moc"
