// The operator publishes a newer dashboard for a signed-in user: the client's update check
// fetches it past the cache, shows it and acknowledges it on the backend. The product runs the
// check every five minutes; here the same public check is called at once instead, against the
// real local backend, with the real ViewModel, QML engine and MQTT client.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include "e2e/e2e_support.h"
#include "mqtt/mqttclient.h"
#include "support/mosquitto_broker.h"
#include "viewmodel/viewmodel.h"

namespace {
constexpr int Timeout = 30000;
const QString Password = QStringLiteral("Upd4te-flow-secret");
const QString DashboardUrl = QStringLiteral("qrc:/external/dashboard.qml");

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Instantiates the registered dashboard the way the main page does.
std::unique_ptr<QObject> createDashboard(QQmlEngine &engine)
{
    QQmlComponent component(&engine, QUrl(DashboardUrl));
    if (component.isLoading() && !QTest::qWaitFor([&] { return !component.isLoading(); }, Timeout))
        return nullptr;
    if (!component.isReady()) {
        qWarning() << "dashboard component failed:" << component.errorString();
        return nullptr;
    }
    return std::unique_ptr<QObject>(component.create());
}
} // namespace

class DashboardUpdateTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void announcedBundleReplacesDashboard_data();
    void announcedBundleReplacesDashboard();

private:
    LocalBackend backend{QStringLiteral(CORVALEN_BACKEND_EXECUTABLE)};
    MosquittoBroker broker;
};

void DashboardUpdateTest::initTestCase()
{
    const QString missing = missingTools({QStringLiteral("mosquitto")});
    if (!missing.isEmpty())
        QSKIP(qPrintable(QStringLiteral("not installed: ") + missing));
    QVERIFY2(backend.start(), qPrintable(backend.errorString()));
    QVERIFY2(broker.start(), qPrintable(broker.errorString()));

    // The client reads its configuration from the environment at each use.
    qputenv("CORVALEN_AUTH_BASE_URL", backend.baseUrl().toUtf8());
    qputenv("CORVALEN_CLEAR_RCC_UPDATE_FUNCTION_URL",
            (backend.baseUrl() + QStringLiteral("/clear_rcc_update")).toUtf8());
    qputenv("CORVALEN_MQTT_HOST", broker.host().toUtf8());
    qputenv("CORVALEN_MQTT_PORT", QByteArray::number(broker.port()));
}

void DashboardUpdateTest::announcedBundleReplacesDashboard_data()
{
    QTest::addColumn<QString>("format");
    QTest::newRow("raw bundle") << QStringLiteral("raw");
    QTest::newRow("base64 in JSON") << QStringLiteral("base64");
}

void DashboardUpdateTest::announcedBundleReplacesDashboard()
{
    QFETCH(QString, format);
    const QString email = format + QStringLiteral("@update.example");
    const QString userId = backend.createUser(email, Password);
    QVERIFY(!userId.isEmpty());
    QVERIFY(backend
                .run(QStringLiteral("set-format"),
                     {QStringLiteral("--email"), email, QStringLiteral("--format"), format})
                .ok());
    QVERIFY(backend.publishBundle(email, QStringLiteral(SAMPLE_DASHBOARD_RCC), format));

    // Destroyed in reverse order: engine, MQTT client, view model, as at program exit.
    ViewModel viewModel;
    MqttClient mqttClient;
    QQmlEngine engine;
    viewModel.setMqttClient(&mqttClient);
    viewModel.setQmlEngine(&engine);
    engine.rootContext()->setContextProperty(QStringLiteral("manager"), &viewModel);
    engine.rootContext()->setContextProperty(QStringLiteral("mqttClient"), &mqttClient);
    QSignalSpy responses(&viewModel, &ViewModel::authResponseChanged);
    QSignalSpy loads(&viewModel, &ViewModel::externalResourceLoadFinished);
    QSignalSpy announcements(&viewModel.auth(), &AuthHandler::RccUpdateAvailable);

    viewModel.logUserIn(email, Password);
    QTRY_COMPARE_WITH_TIMEOUT(responses.count(), 1, Timeout);
    QCOMPARE(responses.at(0).at(0).toString(), QStringLiteral("USER_AUTENTICATED"));
    QCOMPARE(viewModel.currentUserId(), userId);

    QVERIFY(viewModel.resolveAndDownloadExternalResourceForCurrentUser());
    QTRY_COMPARE_WITH_TIMEOUT(loads.count(), 1, Timeout);
    QVERIFY2(loads.at(0).at(0).toBool(), qPrintable(loads.at(0).at(1).toString()));
    {
        auto first = createDashboard(engine);
        QVERIFY(first);
        QCOMPARE(first->property("dashboardTitle").toString(), QStringLiteral("Sample dashboard"));
    }
    const QString cacheFile =
        QDir(qEnvironmentVariable("XDG_DATA_HOME"))
            .filePath(QStringLiteral("corvalen_dashboard/dashboard_rcc_cache/") + userId +
                      QStringLiteral(".rcc"));
    QCOMPARE(readFile(cacheFile), readFile(QStringLiteral(SAMPLE_DASHBOARD_RCC)));

    // The operator publishes the newer bundle; the next check announces it.
    QVERIFY(backend.publishBundle(email, QStringLiteral(SAMPLE_DASHBOARD_V2_RCC), format));
    QVERIFY(backend.updateFlag(email));
    viewModel.auth().CheckRccUpdate();
    QTRY_COMPARE_WITH_TIMEOUT(announcements.count(), 1, Timeout);
    QTRY_COMPARE_WITH_TIMEOUT(loads.count(), 2, Timeout);
    QVERIFY2(loads.at(1).at(0).toBool(), qPrintable(loads.at(1).at(1).toString()));

    // Fetched past the cache: the cached file and the registered resource are the new ones,
    // and the engine no longer hands out the old component for the same URL.
    QCOMPARE(readFile(cacheFile), readFile(QStringLiteral(SAMPLE_DASHBOARD_V2_RCC)));
    QCOMPARE(readFile(QStringLiteral(":/external/dashboard.qml")),
             readFile(QStringLiteral(SAMPLE_DASHBOARD_V2_QML)));
    auto second = createDashboard(engine);
    QVERIFY(second);
    QCOMPARE(second->property("dashboardTitle").toString(), QStringLiteral("Sample dashboard v2"));
    QTRY_VERIFY_WITH_TIMEOUT(mqttClient.isConnected(), Timeout);

    // Acknowledged: the backend's flag is cleared.
    QTRY_VERIFY_WITH_TIMEOUT(!backend.updateFlag(email), Timeout);
    QCOMPARE(announcements.count(), 1);

    // Sign-out releases the dashboard, its resource and its cached file.
    second.reset();
    viewModel.logUserOut();
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(cacheFile), Timeout);
    QVERIFY(!QFile::exists(QStringLiteral(":/external/dashboard.qml")));
    QVERIFY(!mqttClient.isConnected());
}

int main(int argc, char *argv[])
{
    // The session file and the bundle cache go to a private home, never the user's.
    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    for (const char *name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"}) {
        const QString path = home.filePath(QString::fromLatin1(name).toLower());
        QDir().mkpath(path);
        qputenv(name, path.toUtf8());
    }
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvalen_dashboard"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0"));
    DashboardUpdateTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_dashboard_update.moc"
