#include <QtQml>
#include <QtTest>
#include <functional>
#include <memory>

#include "support/dashboards.h"
#include "support/loopback_backend.h"
#include "viewmodel/script_watchdog.h"
#include "viewmodel/viewmodel.h"

using Response = ScriptedHttpServer::Response;

// How the view model learns of the stored session.
enum class Entry
{
    StartUp, // isUserLoggedIn(), as main.qml asks
    SignIn,  // the sign-in's "USER_AUTENTICATED"
};
// What keeps the GUI thread from its event loop.
enum class Load
{
    GuardedWork,   // the client's own, under ScriptWatchdog::Busy
    UnguardedWork, // the same without the guard, as a stalled script would
    EventStream,   // back-to-back events, the loop running between them
};
Q_DECLARE_METATYPE(Entry)
Q_DECLARE_METATYPE(Load)

class TestViewModel : public QObject
{
    Q_OBJECT

    std::unique_ptr<LoopbackBackend> backend;
    std::unique_ptr<ViewModel> vm;

    // A ViewModel over this stored session. Without an access token a resolution fails at once,
    // which makes an unwanted start visible synchronously.
    void startWith(const QVariantMap &stored)
    {
        vm = std::make_unique<ViewModel>();
        for (auto it = stored.cbegin(); it != stored.cend(); ++it)
            vm->auth().Settings().setValue(it.key(), it.value());
    }

private slots:
    void init()
    {
        backend = std::make_unique<LoopbackBackend>();
        QVERIFY(backend->start());
        backend->routes["/v1/token"] = Response::json(
            200, R"({"accessToken":"acc2","refreshToken":"ref2","accessTokenExpiresIn":900})");
    }
    void cleanup()
    {
        vm.reset();
        backend.reset();
    }

    void userRestoredFromStoredSession_data()
    {
        QTest::addColumn<QVariantMap>("stored");
        QTest::addColumn<Entry>("entry");
        QTest::addColumn<QString>("userId");
        // Whichever lifetime renews sooner, so that the armed token timer shows in time.
        const int lifetime = tokenRenewalIntervalMs(1) <= tokenRenewalIntervalMs(3600) ? 1 : 3600;
        const QVariantMap session{
            {"id", "u1"}, {"email", "e"}, {"refreshToken", "cg=="}, {"tokenLifeTime", lifetime}};
        QVariantMap noEmail = session;
        noEmail["email"] = "";
        QTest::newRow("start-up") << session << Entry::StartUp << "u1";
        QTest::newRow("start-up, nothing stored") << QVariantMap() << Entry::StartUp << QString();
        QTest::newRow("signed in") << session << Entry::SignIn << "u1";
        QTest::newRow("signed in, empty e-mail") << noEmail << Entry::SignIn << "";
    }
    void userRestoredFromStoredSession()
    {
        QFETCH(QVariantMap, stored);
        QFETCH(Entry, entry);
        QFETCH(QString, userId);
        startWith(stored);
        QSignalSpy outcomes(vm.get(), &ViewModel::externalResourceLoadFinished);
        if (entry == Entry::StartUp) {
            QCOMPARE(vm->isUserLoggedIn(), false);
            QCOMPARE(vm->isUserLoggedIn(), false); // also once resumed
        } else {
            vm->GetSignInResponse("USER_AUTENTICATED");
        }
        QCOMPARE(vm->currentUserId(), userId);
        // Only a restored user fetches an announced update, and keeps the token renewed.
        emit vm->auth().RccUpdateAvailable();
        QCOMPARE(outcomes.count(), userId.isEmpty() ? 0 : 1);
        if (!userId.isEmpty())
            QTRY_COMPARE_WITH_TIMEOUT(backend->server.requestCount(), 1, 15000);
    }

    // The client's own long work on the GUI thread (a big bundle checked and written) is not a
    // stalled dashboard, nor is a loop kept busy by a stream of events, which answers when
    // asked: the engine is left alone. The same pause without the guard is a stall.
    void watchdogTellsStallsFromWork_data()
    {
        QTest::addColumn<Load>("load");
        QTest::addColumn<bool>("interrupted");
        QTest::newRow("guarded work") << Load::GuardedWork << false;
        QTest::newRow("unguarded work") << Load::UnguardedWork << true;
        QTest::newRow("busy event loop") << Load::EventStream << false;
    }
    void watchdogTellsStallsFromWork()
    {
        QFETCH(Load, load);
        QFETCH(bool, interrupted);
        QJSEngine engine;
        ScriptWatchdog watchdog;
        watchdog.setEngine(&engine);
        // The stream starts under a long limit, at which the watchdog looks only every half
        // second, and lowers it between the first two looks: the second comes long after the
        // last sign of life, as when the watchdog's own thread waits for a processor on a loaded
        // machine. A running loop must still be asked before it is taken for a stall.
        watchdog.setLimit(std::chrono::milliseconds(load == Load::EventStream ? 5000 : 50));
        watchdog.setArmed(true);
        QSignalSpy stalled(&watchdog, &ScriptWatchdog::stalled);
        // Stands for work that keeps this thread busy, away from its event loop.
        const auto work = [](int ms) {
            QElapsedTimer working;
            working.start();
            while (working.elapsed() < ms) {
            }
        };
        bool evaluated = false, failed = false;
        const auto evaluate = [&] {
            failed = engine.evaluate("1 + 1").isError();
            evaluated = true;
        };
        int rounds = 0; // three seconds of back-to-back events, each a little work
        std::function<void()> next = [&] {
            work(5);
            if (++rounds == 150)
                watchdog.setLimit(std::chrono::milliseconds(50));
            if (rounds < 600)
                QMetaObject::invokeMethod(this, next, Qt::QueuedConnection);
            else
                evaluate();
        };
        if (load == Load::EventStream)
            next();
        else
            QTimer::singleShot(0, this, [&] {
                {
                    std::optional<ScriptWatchdog::Busy> busy;
                    if (load == Load::GuardedWork)
                        busy.emplace(watchdog);
                    work(1000);
                }
                evaluate();
            });
        QTRY_VERIFY_WITH_TIMEOUT(evaluated, 30000);
        QCOMPARE(failed, interrupted);
        if (interrupted)
            QTRY_COMPARE_WITH_TIMEOUT(stalled.size(), 1, 10000);
        else
            QCOMPARE(stalled.size(), 0);
    }

    // The cap is on more than its size: a bundle of exactly that many bytes is taken.
    void bundleSizeCap_data()
    {
        QTest::addColumn<qint64>("slack"); // the cap less the bundle's size
        QTest::addColumn<QString>("outcome");
        QTest::newRow("exactly the cap") << qint64(0) << "External resource loaded.";
        QTest::newRow("a byte over the cap")
            << qint64(-1) << "Downloaded RCC file is too large: more than %1 bytes.";
    }
    void bundleSizeCap()
    {
        QFETCH(qint64, slack);
        QFETCH(QString, outcome);
        const QByteArray bundle = buildDashboardBundle("import QtQml\nQtObject {}");
        backend->routes["/b.rcc"] = LoopbackBackend::raw(bundle);
        startWith({});
        vm->maxBundleBytes = bundle.size() + slack;
        QSignalSpy finished(vm.get(), &ViewModel::externalResourceLoadFinished);
        QVERIFY(vm->downloadAndRegisterExternalResource(backend->server.baseUrl() + "/b.rcc"));
        QVERIFY(finished.wait(15000));
        QCOMPARE(finished.constFirst(),
                 (QVariantList{slack >= 0, outcome.arg(vm->maxBundleBytes)}));
    }

    // A bundle registered from memory is read in place, so it must not stay registered once
    // the view model has freed its bytes.
    void destructionUnregistersBundleFromMemory()
    {
        const QByteArray bundle = buildDashboardBundle("import QtQml\nQtObject {}");
        startWith({});
        // Without a user id nothing is cached: the payload is registered from memory.
        QVERIFY(vm->cacheAndRegisterPayload(bundle, QString(), "memory"));
        QVERIFY(QFile::exists(":/external/dashboard.qml"));
        vm.reset();
        QVERIFY(!QFile::exists(":/external/dashboard.qml"));
    }

    // Dashboards reach releaseDashboard too; what QML may not destroy must survive it.
    void releaseDeletesOnlyWhatQmlMayDestroy()
    {
        startWith({});
        QQmlEngine engine;
        QQmlComponent component(&engine);
        component.setData("import QtQml\nQtObject {}", QUrl());
        QPointer<QObject> made = component.create();
        QQmlEngine::setObjectOwnership(made, QQmlEngine::JavaScriptOwnership); // as createObject()
        QPointer<QObject> published = vm.get();
        vm->releaseDashboard(vm.get());
        vm->releaseDashboard(made);
        QTRY_VERIFY_WITH_TIMEOUT(!made, 15000);
        QVERIFY(published);
    }
};

QTEST_MAIN(TestViewModel)
#include "tst_viewmodel.moc"
