// Wall-panel mode: the real main.qml and view model, the real backend on loopback with tokens
// that live a few seconds, and signed bundles made with rcc and the backend's signing command.
#include <QtQuick>
#include <QtTest>

#include <memory>

#include "app/window_images.h"
#include "mqtt/mqttclient.h"
#include "support/dashboards.h"
#include "support/local_backend.h"
#include "support/sandbox.h"
#include "viewmodel/kiosk_mode.h"
#include "viewmodel/viewmodel.h"

namespace {
constexpr int Timeout = 60000;
const QString Email = QStringLiteral("panel@kiosk.example");
const QString Password = QStringLiteral("Wall-Pan3l-secret");
// Its broker is on a loopback port where nothing listens.
const QByteArray Dashboard = "import QtQuick\nRectangle { color: \"#102030\"; "
                             "property string panel: \"hall\"\n    Component.onCompleted: "
                             "manager.configureDashboardMqtt(\"127.0.0.1\", 1, [\"t\"]) }\n";
} // namespace

class KioskModeTest : public QObject
{
    Q_OBJECT

    Sandbox home; // the session store and the bundle cache
    LocalBackend backend;
    quint16 port = 0;
    bool backendUp = false;
    std::unique_ptr<ViewModel> vm;
    std::unique_ptr<MqttClient> mqtt;
    std::unique_ptr<QQmlApplicationEngine> engine;
    QQuickWindow *window = nullptr;

    QQuickItem *item(const char *name) const { return window->findChild<QQuickItem *>(name); }
    bool dashboardShown() const
    {
        const auto *dashboard =
            item("mainPage")->property("externalDashboardObject").value<QObject *>();
        return dashboard && dashboard->property("panel").toString() == QLatin1String("hall");
    }
    bool bannerShown() const { return item("offlineBanner")->isVisible(); }

    // Signs in once as an ordinary run would and ends without signing out: the session and the
    // signed bundle stay stored.
    void storeSession(const QString &email = Email, bool withBundle = true)
    {
        ViewModel first;
        QSignalSpy loads(&first, &ViewModel::externalResourceLoadFinished);
        first.logUserIn(email, Password);
        QTRY_VERIFY_WITH_TIMEOUT(!first.currentUserId().isEmpty(), Timeout);
        if (!withBundle)
            return;
        QVERIFY(first.resolveAndDownloadExternalResourceForCurrentUser());
        QTRY_COMPARE_WITH_TIMEOUT(loads.count(), 1, Timeout);
        QVERIFY2(loads.at(0).at(0).toBool(), qPrintable(loads.at(0).at(1).toString()));
        first.unregisterCurrentResource();
    }
    bool restartBackend()
    {
        return backend.start({"--token-lifetime", "5", "--port", QString::number(port)});
    }
    void startKiosk()
    {
        vm = std::make_unique<ViewModel>();
        mqtt = std::make_unique<MqttClient>();
        engine = std::make_unique<QQmlApplicationEngine>();
        vm->setMqttClient(mqtt.get());
        addWindowImages(engine.get());
        vm->setQmlEngine(engine.get());
        auto *kiosk = new KioskMode(*vm, engine.get());
        engine->rootContext()->setContextProperty("manager", vm.get());
        engine->rootContext()->setContextProperty("mqttClient", mqtt.get());
        engine->setInitialProperties({{"kioskMode", QVariant::fromValue(kiosk)}});
        engine->load(QUrl("qrc:/user_interface/qml_files/main.qml"));
        window = qobject_cast<QQuickWindow *>(engine->rootObjects().value(0));
        QVERIFY(window);
        // Never the login page, not even for a moment.
        QVERIFY(!item("loginPage")->isVisible());
        QVERIFY(item("mainPage")->isVisible());
        QCOMPARE(window->visibility(), QWindow::FullScreen);
    }

private slots:
    void initTestCase()
    {
        QCoreApplication::setApplicationName(QStringLiteral("corvalen_dashboard"));
        QVERIFY2(backend.start({"--token-lifetime", "5"}), backend.log().constData());
        port = backend.serverPort();
        backendUp = true;
        QVERIFY(!backend.createUser(Email, Password).isEmpty());
        const QByteArray publicKey = backend.createSigningKey();
        QVERIFY(!publicKey.isEmpty());
        qputenv(BundleTrust::kConfigKey, publicKey);
        QVERIFY(backend.publish(Email, buildDashboardBundle(Dashboard),
                                {"--signing-key", backend.filePath("signing.pem")}));
        qputenv("CORVALEN_AUTH_BASE_URL", backend.baseUrl().toUtf8());
        qputenv("CORVALEN_CLEAR_RCC_UPDATE_FUNCTION_URL",
                (backend.baseUrl() + "/clear_rcc_update").toUtf8());
    }
    void init()
    {
        QVERIFY(home.wipe());
        if (!backendUp)
            backendUp = restartBackend();
        QVERIFY(backendUp);
        storeSession();
    }
    void cleanup()
    {
        engine.reset();
        mqtt.reset();
        vm.reset();
    }

    void storedSessionKeepsRenewing()
    {
        startKiosk();
        QSignalSpy renewals(&vm->auth(), &AuthHandler::AccessTokenRefreshed);
        QSignalSpy reconnects(mqtt.get(), &MqttClient::reconnectScheduled);
        QTRY_VERIFY_WITH_TIMEOUT(dashboardShown(), Timeout);
        QTRY_VERIFY_WITH_TIMEOUT(!reconnects.isEmpty(), Timeout); // without being asked to
        // The resume renews at once, then every few seconds as the tokens expire.
        QStringList tokens;
        for (int cycle = 1; cycle <= 4; ++cycle) {
            QTRY_VERIFY_WITH_TIMEOUT(renewals.count() >= cycle, Timeout);
            tokens << vm->auth().GetAccessToken();
        }
        QCOMPARE(tokens.removeDuplicates(), 0);
        QVERIFY(dashboardShown() && !bannerShown());
        QVERIFY(!vm->currentUserId().isEmpty());
    }

    void offlineStartShowsOnlyVerifiedCache_data()
    {
        QTest::addColumn<bool>("signatureIntact");
        QTest::newRow("signed cache") << true;
        QTest::newRow("signature broken") << false;
    }
    void offlineStartShowsOnlyVerifiedCache()
    {
        QFETCH(bool, signatureIntact);
        backendUp = false;
        QVERIFY(backend.stop());
        if (!signatureIntact) {
            const QString sig =
                home.filePath(".local/share/corvalen_dashboard/dashboard_rcc_cache");
            const QStringList sigs = QDir(sig).entryList({"*.sig"});
            QCOMPARE(sigs.size(), 1);
            QByteArray bytes = QByteArray::fromBase64(readFile(sig + "/" + sigs.first()));
            bytes[0] = char(bytes[0] ^ 1);
            QVERIFY(writeFile(sig + "/" + sigs.first(), bytes.toBase64() + '\n'));
        }

        startKiosk();
        QTRY_VERIFY_WITH_TIMEOUT(bannerShown(), Timeout);
        QCOMPARE(dashboardShown(), signatureIntact);
        QVERIFY(!vm->currentUserId().isEmpty()); // the session is kept while offline

        backendUp = restartBackend();
        QVERIFY(backendUp);
        QTRY_VERIFY_WITH_TIMEOUT(!bannerShown() && dashboardShown(), Timeout);
    }

    void dashboardAppearsOncePublished()
    {
        const QString email = QStringLiteral("unpublished@kiosk.example");
        QVERIFY(!backend.createUser(email, Password).isEmpty());
        QVERIFY(home.wipe());
        storeSession(email, false);
        startKiosk();
        // The page's own fallback, not a box nobody is there to close; asked again by itself.
        QTRY_VERIFY_WITH_TIMEOUT(item("dashboardFallback")->isVisible(), Timeout);
        QVERIFY(QApplication::activeModalWidget() == nullptr);
        QVERIFY(backend.publish(email, buildDashboardBundle(Dashboard),
                                {"--signing-key", backend.filePath("signing.pem")}));
        QTRY_VERIFY_WITH_TIMEOUT(dashboardShown(), Timeout);
        QVERIFY(!bannerShown());
    }

    void cursorHidesWhileMouseRests()
    {
        const auto hidden = [] {
            return QGuiApplication::overrideCursor() &&
                   QGuiApplication::overrideCursor()->shape() == Qt::BlankCursor;
        };
        startKiosk();
        QTRY_VERIFY_WITH_TIMEOUT(hidden(), Timeout);
        QTest::mouseMove(window, QPoint(10, 10));
        QVERIFY(!hidden());
        QTRY_VERIFY_WITH_TIMEOUT(hidden(), Timeout);
    }

    void shortcutLeavesKiosk()
    {
        startKiosk();
        QTRY_VERIFY_WITH_TIMEOUT(dashboardShown(), Timeout);
        window->requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(window));
        QTest::keyClick(window, Qt::Key_Q, Qt::ControlModifier | Qt::ShiftModifier);
        QTRY_VERIFY_WITH_TIMEOUT(item("loginPage")->isVisible(), Timeout);
        QCOMPARE(window->visibility(), QWindow::Windowed);
        QVERIFY(!window->property("kiosk").toBool());
    }
};

QTEST_MAIN(KioskModeTest)
#include "tst_kiosk_mode.moc"
