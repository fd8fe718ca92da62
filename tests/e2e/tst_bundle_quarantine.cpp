// A dashboard that takes the client down while it is being created must not do so at every
// start. The real client, in an Xvfb window driven with xdotool, is killed during creation,
// started again while the backend serves the same bundle (refused, with a message), then a
// different one (loads). Real backend on loopback.
#include <QtTest>

#include "support/dashboards.h"
#include "support/desktop_client.h"
#include "support/local_backend.h"
#include "support/processes.h"
#include "support/sandbox.h"

namespace {
constexpr int Timeout = 60000; // generous: the machine may be busy building
const QString Email = QStringLiteral("quarantine@corvalen.example");
const QString Password = QStringLiteral("Quarant1ne-pa55");

// Created, it never returns: the client is stuck in creation until it is killed.
const QByteArray HangingDashboard = R"(import QtQuick 2.15
Item {
    Component.onCompleted: {
        console.log("Hanging dashboard created")
        for (;;) {}
    }
}
)";
} // namespace

class BundleQuarantineTest : public QObject
{
    Q_OBJECT

    Sandbox root; // first, so that it goes last
    PrivateDisplay display;
    LocalBackend backend;
    QProcessEnvironment env;
    QString userId;

    QString cached(const QString &suffix) const
    {
        return root.filePath(".local/share/corvalen_dashboard/dashboard_rcc_cache/" + userId +
                             suffix);
    }
    // Starts run `run` of the client and signs in on its login page.
    void startAndSignIn(DesktopClient &client, int run)
    {
        QVERIFY2(client.start(env, root.filePath(QStringLiteral("client-%1.log").arg(run))),
                 client.log().constData());
        QVERIFY(client.signIn(Email, Password));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(display.start());
        QVERIFY2(backend.start(), backend.log().constData());
        userId = backend.createUser(Email, Password);
        QVERIFY(!userId.isEmpty());

        // Nothing inherited: a private home for the session and the bundle cache; no broker.
        env.insert(QStringLiteral("HOME"), root.path());
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), root.path());
        env.insert(QStringLiteral("CORVALEN_AUTH_BASE_URL"), backend.baseUrl());
        env.insert(QStringLiteral("CORVALEN_MQTT_HOST"), QStringLiteral("127.0.0.1"));
        env.insert(QStringLiteral("CORVALEN_MQTT_PORT"), QStringLiteral("1"));
    }

    void crashDuringCreationQuarantinesBundle()
    {
        QVERIFY(backend.publish(Email, buildDashboardBundle(HangingDashboard)));
        DesktopClient first;
        startAndSignIn(first, 1);
        QTRY_VERIFY2_WITH_TIMEOUT(first.log().contains("qml: Hanging dashboard created"),
                                  first.log().constData(), Timeout);
        QVERIFY(QFile::exists(cached(".loading")) && QFile::exists(cached(".rcc")));
        first.process().kill();
        QVERIFY(first.process().waitForFinished(Timeout));

        // The same bundle, from the cache and again from the backend: refused, and said so.
        DesktopClient second;
        startAndSignIn(second, 2);
        QVERIFY2(!second.findWindow({"--name", "^RCC download failed$"}).isEmpty(),
                 second.log().constData());
        QVERIFY(second.log().contains(
            "Quarantined dashboard RCC that did not finish loading in an earlier run"));
        QVERIFY(second.log().contains("Refused quarantined dashboard RCC"));
        QVERIFY(!second.log().contains("Hanging dashboard created"));
        QVERIFY(!QFile::exists(cached(".rcc")) && QFile::exists(cached(".quarantined")));
        stopProcess(second.process());

        // A different bundle loads and lifts the quarantine; its load leaves no mark.
        QVERIFY(backend.publish(Email, readFile(SAMPLE_DASHBOARD_RCC)));
        DesktopClient third;
        startAndSignIn(third, 3);
        QTRY_VERIFY2_WITH_TIMEOUT(third.log().contains("qml: Sample dashboard loaded"),
                                  third.log().constData(), Timeout);
        QVERIFY(!QFile::exists(cached(".quarantined")) && !QFile::exists(cached(".loading")));
    }
};

QTEST_GUILESS_MAIN(BundleQuarantineTest)
#include "tst_bundle_quarantine.moc"
