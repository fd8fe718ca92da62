#include <QCommandLineParser>
#include <QDir>
#include <QHash>
#include <QTest>

#include "app/modes.h"

// The command line and the configuration keys, as the program reads them at start-up.
class ModesTest : public QObject
{
    Q_OBJECT

private slots:
    void readsModes_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("dirKey");
        QTest::addColumn<QString>("kioskKey");
        QTest::addColumn<QString>("dir"); // relative to the working directory
        QTest::addColumn<bool>("kiosk");
        const QString cwd = QDir::currentPath();
        QTest::newRow("neither") << QStringList{} << ""
                                 << ""
                                 << "" << false;
        QTest::newRow("options") << QStringList{"--dashboard-dir", "/srv/dash", "--kiosk"} << ""
                                 << ""
                                 << "/srv/dash" << true;
        QTest::newRow("relative folder") << QStringList{"--dashboard-dir=mine/../dash/"} << ""
                                         << "" << cwd + "/dash" << false;
        QTest::newRow("keys") << QStringList{} << " /srv/keyed "
                              << "yes"
                              << "/srv/keyed" << true;
        QTest::newRow("option wins over key") << QStringList{"--dashboard-dir", "/a"} << "/b"
                                              << ""
                                              << "/a" << false;
        QTest::newRow("kiosk key upper case") << QStringList{} << ""
                                              << "TRUE"
                                              << "" << true;
        QTest::newRow("kiosk key off") << QStringList{} << ""
                                       << "0"
                                       << "" << false;
        QTest::newRow("kiosk key unknown word") << QStringList{} << ""
                                                << "kiosk"
                                                << "" << false;
    }
    void readsModes()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, dirKey);
        QFETCH(QString, kioskKey);
        QFETCH(QString, dir);
        QFETCH(bool, kiosk);
        QCommandLineParser parser;
        addModeOptions(parser);
        QVERIFY2(parser.parse(QStringList{"corvalen_dashboard"} + arguments),
                 qPrintable(parser.errorText()));
        const QHash<QString, QString> keys{{"CORVALEN_DASHBOARD_DIR", dirKey},
                                           {"CORVALEN_KIOSK", kioskKey}};
        const Modes modes = readModes(parser, [&](const QString &key) { return keys.value(key); });
        QCOMPARE(modes.dashboardDir, dir);
        QCOMPARE(modes.kiosk, kiosk);
    }
};

QTEST_GUILESS_MAIN(ModesTest)
#include "tst_modes.moc"
