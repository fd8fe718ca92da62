// A newer dashboard is published for a signed-in user; the update check (run at once, not after
// five minutes) fetches it past the cache, shows it and acknowledges it. Real backend and broker.
#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

#include "mqtt/mqttclient.h"
#include "support/local_backend.h"
#include "support/mosquitto_broker.h"
#include "support/sandbox.h"
#include "support/waits.h"
#include "viewmodel/viewmodel.h"

namespace {
const QString Password = QStringLiteral("Upd4te-flow-secret");

// The registered dashboard's title, made the way the main page makes it (a qrc URL loads at once).
QString dashboardTitle(QQmlEngine &engine)
{
    QQmlComponent component(&engine, QUrl(QStringLiteral("qrc:/external/dashboard.qml")));
    const std::unique_ptr<QObject> dashboard(component.create());
    return dashboard ? dashboard->property("dashboardTitle").toString() : component.errorString();
}
} // namespace

class DashboardUpdateTest : public QObject
{
    Q_OBJECT

    Sandbox home; // the session file and the bundle cache, never the user's
    LocalBackend backend;
    MosquittoBroker broker;

private slots:
    void initTestCase()
    {
        QCoreApplication::setApplicationName(QStringLiteral("corvalen_dashboard"));
        QVERIFY2(backend.start(), backend.log().constData());
        QVERIFY2(broker.start(), qPrintable(broker.errorString()));
        qputenv("CORVALEN_AUTH_BASE_URL", backend.baseUrl().toUtf8());
        qputenv("CORVALEN_CLEAR_RCC_UPDATE_FUNCTION_URL",
                (backend.baseUrl() + QStringLiteral("/clear_rcc_update")).toUtf8());
        qputenv("CORVALEN_MQTT_HOST", broker.host().toUtf8());
        qputenv("CORVALEN_MQTT_PORT", QByteArray::number(broker.port()));
    }

    void announcedBundleReplacesDashboard_data()
    {
        QTest::addColumn<QString>("format");
        QTest::newRow("raw bundle") << QStringLiteral("raw");
        QTest::newRow("base64 in JSON") << QStringLiteral("base64");
    }

    void announcedBundleReplacesDashboard()
    {
        QFETCH(QString, format);
        const QString email = format + QStringLiteral("@update.example");
        const QString userId = backend.createUser(email, Password);
        QVERIFY(backend.cli("set-format", {"--email", email, "--format", format}).ok());
        QVERIFY(backend.publish(email, readFile(SAMPLE_DASHBOARD_RCC)));

        // Destroyed in reverse order: engine, MQTT client, view model, as at program exit.
        ViewModel viewModel;
        MqttClient mqttClient;
        QQmlEngine engine;
        viewModel.setMqttClient(&mqttClient);
        viewModel.setQmlEngine(&engine);
        engine.rootContext()->setContextProperty(QStringLiteral("manager"), &viewModel);
        engine.rootContext()->setContextProperty(QStringLiteral("mqttClient"), &mqttClient);
        QSignalSpy loads(&viewModel, &ViewModel::externalResourceLoadFinished);
        QSignalSpy announcements(&viewModel.auth(), &AuthHandler::RccUpdateAvailable);

        viewModel.logUserIn(email, Password);
        QTRY_COMPARE_WITH_TIMEOUT(viewModel.currentUserId(), userId, kWait);
        QVERIFY(viewModel.resolveAndDownloadExternalResourceForCurrentUser());
        QTRY_COMPARE_WITH_TIMEOUT(loads.count(), 1, kWait);
        QVERIFY2(loads.at(0).at(0).toBool(), qPrintable(loads.at(0).at(1).toString()));
        QCOMPARE(dashboardTitle(engine), QStringLiteral("Sample dashboard"));
        const QString cacheFile = home.filePath(
            QStringLiteral(".local/share/corvalen_dashboard/dashboard_rcc_cache/%1.rcc")
                .arg(userId));
        QCOMPARE(readFile(cacheFile), readFile(QStringLiteral(SAMPLE_DASHBOARD_RCC)));

        QVERIFY(backend.publish(email, readFile(SAMPLE_DASHBOARD_V2_RCC)));
        QCOMPARE(backend.updateFlag(email), QJsonValue(true));
        viewModel.auth().CheckRccUpdate();
        QTRY_COMPARE_WITH_TIMEOUT(loads.count(), 2, kWait);
        QVERIFY2(loads.at(1).at(0).toBool(), qPrintable(loads.at(1).at(1).toString()));

        // Fetched past the cache, and the engine no longer hands out the old component.
        QCOMPARE(readFile(cacheFile), readFile(QStringLiteral(SAMPLE_DASHBOARD_V2_RCC)));
        QCOMPARE(dashboardTitle(engine), QStringLiteral("Sample dashboard v2"));
        QTRY_VERIFY_WITH_TIMEOUT(mqttClient.isConnected(), kWait);
        QTRY_COMPARE_WITH_TIMEOUT(backend.updateFlag(email), QJsonValue(false), kWait);
        QCOMPARE(announcements.count(), 1);

        // Sign-out releases the resource, its cached file and the broker connection.
        viewModel.logUserOut();
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(cacheFile), kWait);
        QVERIFY(!QFile::exists(QStringLiteral(":/external/dashboard.qml")));
        QVERIFY(!mqttClient.isConnected());
    }
};

QTEST_MAIN(DashboardUpdateTest)
#include "tst_dashboard_update.moc"
