#include <QSslCertificate>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QtTest>

#include "delivery_fixture.h"
#include "support/scripted_http_server.h"

using namespace delivery;
using Response = ScriptedHttpServer::Response;
using Script = QList<Response>;
Q_DECLARE_METATYPE(Script)
Q_DECLARE_METATYPE(ScriptedHttpServer::Handler)

namespace {

constexpr int kWait = 20000;
const QByteArray kRefreshed =
    R"({"accessToken":"tok-2","refreshToken":"refresh-2","accessTokenExpiresIn":3600})";
const QString kOnlyA = QStringLiteral(":/external/only_a.txt");
const QString kOnlyB = QStringLiteral(":/external/only_b.txt");

Response ok(const QByteArray &body, const QByteArray &type = "application/octet-stream")
{
    Response r;
    r.body = body;
    r.headers.emplaceBack(QByteArray("Content-Type"), type);
    return r;
}

Response status(int code, const QByteArray &body = {})
{
    Response r;
    r.status = code;
    r.body = body;
    return r;
}

// Expected texts end in '*' where only their start is fixed (the network layer's wording).
bool matches(const QString &actual, const QString &expected)
{
    return expected.endsWith(QLatin1Char('*')) ? actual.startsWith(expected.chopped(1))
                                               : actual == expected;
}

QStringList targets(const ScriptedHttpServer &server, const QString &path = QString())
{
    QStringList list;
    for (const auto &request : server.requests())
        if (path.isEmpty() || request.path() == path)
            list << QString::fromLatin1(request.target);
    return list;
}

// HTTPS on loopback with a certificate the tests trust; offers HTTP/2 so that a client which
// allowed it would end up speaking it.
class TlsServer : public QObject
{
public:
    std::function<QByteArray(const QByteArray &target)> respond;
    QStringList negotiated;

    bool start()
    {
        const auto certs =
            QSslCertificate::fromPath(QStringLiteral(DELIVERY_BUNDLE_DIR "/tls_cert.pem"));
        QFile keyFile(QStringLiteral(DELIVERY_BUNDLE_DIR "/tls_key.pem"));
        if (certs.isEmpty() || !keyFile.open(QIODevice::ReadOnly))
            return false;
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        config.setLocalCertificate(certs.first());
        config.setPrivateKey(QSslKey(&keyFile, QSsl::Rsa));
        config.setPeerVerifyMode(QSslSocket::VerifyNone);
        config.setAllowedNextProtocols({QByteArrayLiteral("h2"), QByteArrayLiteral("http/1.1")});
        server.setSslConfiguration(config);
        connect(&server, &QTcpServer::pendingConnectionAvailable, this, [this] {
            while (auto *socket = static_cast<QSslSocket *>(server.nextPendingConnection()))
                serve(socket);
        });
        return server.listen(QHostAddress::LocalHost, 0);
    }
    QString baseUrl() const
    {
        return QStringLiteral("https://127.0.0.1:%1").arg(server.serverPort());
    }

private:
    void serve(QSslSocket *socket)
    {
        negotiated << QString::fromLatin1(socket->sslConfiguration().nextNegotiatedProtocol());
        auto buffer = std::make_shared<QByteArray>();
        connect(socket, &QSslSocket::readyRead, socket, [this, socket, buffer] {
            buffer->append(socket->readAll());
            if (!buffer->contains("\r\n\r\n"))
                return;
            const QByteArray target = buffer->split(' ').value(1);
            socket->write(respond(target));
            socket->disconnectFromHost();
        });
        connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
    }
    QSslServer server;
};

} // namespace

class TstBundleTransfer : public QObject
{
    Q_OBJECT

    Sandbox sandbox;
    ScriptedHttpServer server;
    std::unique_ptr<ViewModel> vm;
    QByteArray bundleA, bundleB;

    QString base() const { return server.baseUrl(); }
    QString expand(QString text) const
    {
        return text.replace(QLatin1String("%BASE%"), base())
            .replace(QLatin1String("%TMP%"), sandbox.tempPath());
    }
    // Waits for the n-th outcome and answers it.
    static QPair<bool, QString> outcome(QSignalSpy &spy, int n = 1)
    {
        QDeadlineTimer deadline(kWait);
        while (spy.count() < n && !deadline.hasExpired())
            spy.wait(int(qMax<qint64>(1, deadline.remainingTime())));
        if (spy.count() < n)
            return {false, QStringLiteral("<no outcome>")};
        return {spy.at(n - 1).at(0).toBool(), spy.at(n - 1).at(1).toString()};
    }
    QByteArray cachedBytes(const QString &id) const
    {
        QFile file(cacheDir() + QLatin1Char('/') + id + QStringLiteral(".rcc"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // Token refreshes and update acknowledgements succeed; function replies come queued.
    void serveTokens()
    {
        server.setHandler([](const ScriptedHttpServer::Request &request) {
            if (request.path() == QLatin1String("/v1/token"))
                return Response::json(200, kRefreshed);
            return status(request.path() == QLatin1String("/clear") ? 200 : 404);
        });
    }

private slots:
    void initTestCase()
    {
        LogCapture::install();
        QVERIFY(server.start());
        bundleA = bundle("bundle_a");
        bundleB = bundle("bundle_b");
        QVERIFY(!bundleA.isEmpty() && !bundleB.isEmpty());
        qputenv("CORVALEN_AUTH_BASE_URL", (base() + QStringLiteral("/v1")).toUtf8());
        qputenv("CORVALEN_CLEAR_RCC_UPDATE_FUNCTION_URL",
                (base() + QStringLiteral("/clear")).toUtf8());
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.addCaCertificates(
            QSslCertificate::fromPath(QStringLiteral(DELIVERY_BUNDLE_DIR "/tls_cert.pem")));
        QSslConfiguration::setDefaultConfiguration(tls);
    }
    void cleanupTestCase() { LogCapture::uninstall(); }
    void init()
    {
        sandbox.reset();
        LogCapture::clear();
        server.clearRequests();
        server.setHandler({});
        qputenv("CORVALEN_RCC_DASHBOARD_FUNCTION_URL", (base() + QStringLiteral("/fn")).toUtf8());
        qunsetenv("CORVALEN_REFERER_URL");
        vm = std::make_unique<ViewModel>();
        signIn(*vm, QStringLiteral("user-1"));
    }
    void cleanup()
    {
        vm->unregisterCurrentResource();
        vm.reset();
    }

    void functionReplies_data()
    {
        QTest::addColumn<Script>("replies");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("logs");
        QTest::addColumn<bool>("dumped");
        auto row = [](const char *name, Response reply, const QString &message,
                      const QStringList &logs = {}, bool dumped = false) {
            QTest::newRow(name) << Script{reply} << message << logs << dumped;
        };
        const QByteArray a = bundle("bundle_a");
        const QString size = QString::number(a.size());
        const QByteArray encoded = a.toBase64();
        const QString url = QStringLiteral("%BASE%/fn/get_dashboard_rcc?user_id=user-1");
        const QString loaded = QStringLiteral("External resource loaded.");

        row("raw bundle", ok(a), loaded,
            {"Dashboard RCC metaDataChanged: url=" + url +
                 " status=200 headers={Content-Type=application/octet-stream, Content-Length=" +
                 size,
             "Dashboard RCC readyRead: url= QUrl(\"" + url + "\") bytesAvailable=",
             "Dashboard RCC downloadProgress: url= QUrl(\"" + url + "\") received= " + size +
                 " total= " + size,
             "Dashboard RCC reply diagnostics: url=" + url +
                 " status=200 error=0 errorString=\"Unknown error\" bytes=" + size +
                 " bytesAvailableAfterRead=0 isFinished=true "
                 "contentType=\"application/octet-stream\" contentLength=\"" +
                 size +
                 "\" transferEncoding=\"\" contentEncoding=\"\" contentDisposition=\"\" "
                 "payloadPrefixHex=\"71 72 65 73 00 00 00 03",
             "Registered external RCC from dashboard function: QUrl(\"" + url + "\")"});
        row("base64 in JSON",
            Response::json(200, R"({"payload_base64":" )" + encoded + R"( ","v":2})"), loaded,
            {QStringLiteral("Decoded dashboard RCC payload from base64 JSON: encodedBytes= %1 "
                            "decodedBytes= %2")
                 .arg(encoded.size())
                 .arg(a.size()),
             "Dashboard RCC JSON body: {\"payload_base64\":"});
        row("error JSON with 200", Response::json(200, R"({"error":"no bundle yet"})"),
            "Downloaded file is not a valid RCC resource.",
            {"Dashboard RCC registration failed: bytes= 25 dumpPath= "
             "\"%TMP%/corvalen-dashboard-rcc-"},
            true);
        row("error JSON with 500", Response::json(500, R"({"error":"  build failed  "})"),
            "build failed");
        row("500 empty", status(500),
            "Dashboard RCC request failed (500): Error transferring " + url +
                " - server replied: Internal Server Error*",
            {"Dashboard RCC errorOccurred: url= QUrl(\"" + url +
             "\") code= QNetworkReply::InternalServerError errorString="});
        row("404 page", status(404, "<html>gone</html>"), "Dashboard RCC request failed (404): *");
        row("2xx without body", status(204), "Downloaded RCC file is empty.");
        row("base64 of nothing", Response::json(200, R"({"payload_base64":"  ===  "})"),
            "Downloaded RCC file is empty.", {"encodedBytes= 3 decodedBytes= 0"});
        Response cut = ok(a + QByteArray(100, 'x'));
        cut.dropAfterBodyBytes = int(a.size());
        row("connection dropped after the bundle", cut, loaded,
            {"Continuing after dashboard RCC reply error because a successful payload was "
             "received:",
             QStringLiteral("Dashboard RCC reply content-length mismatch: declared= %1 actual= %2")
                 .arg(a.size() + 100)
                 .arg(a.size())});
    }
    void functionReplies()
    {
        QFETCH(Script, replies);
        QFETCH(QString, message);
        QFETCH(QStringList, logs);
        QFETCH(bool, dumped);
        for (const Response &reply : replies)
            server.enqueue(reply);
        QSignalSpy finished(vm.get(), &ViewModel::externalResourceLoadFinished);

        QVERIFY(vm->resolveAndDownloadExternalResourceForCurrentUser());
        const auto [ok, text] = outcome(finished);
        const bool success = message == QLatin1String("External resource loaded.");
        QCOMPARE(ok, success);
        QVERIFY2(matches(text, expand(message)), qPrintable(text));
        for (const QString &line : std::as_const(logs))
            QVERIFY2(LogCapture::contains(expand(line)), qPrintable(expand(line)));
        QCOMPARE(!resourceText(kOnlyA).isNull(), success);

        const QStringList dumps = sandbox.dumps();
        QCOMPARE(dumps.size(), dumped ? 1 : 0);
        if (dumped) {
            QFile dump(sandbox.tempPath() + QLatin1Char('/') + dumps.first());
            QVERIFY(dump.open(QIODevice::ReadOnly));
            QCOMPARE(dump.readAll(),
                     server.requests().isEmpty() ? QByteArray() : replies.first().body);
        }
        QCOMPARE(finished.count(), 1);
    }

    void functionUrlAndPreconditions_data()
    {
        QTest::addColumn<QString>("functionUrl"); // empty: unset
        QTest::addColumn<QString>("authBase");    // empty: the local server's
        QTest::addColumn<QString>("target");      // the request expected, empty: none
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("token");
        auto row = [](const char *name, const char *functionUrl, const char *authBase,
                      const char *target, const char *message, const char *id = "user-1",
                      const char *token = "tok-1") {
            QTest::newRow(name) << functionUrl << authBase << target << message << id << token;
        };
        const char *loaded = "External resource loaded.";
        const char *noUrl =
            "Missing dashboard function URL. Set CORVALEN_RCC_DASHBOARD_FUNCTION_URL.";
        row("legacy endpoint, slash", "%BASE%/fn/get_dashboard_rcc_url/", "",
            "/fn/get_dashboard_rcc?user_id=user-1", loaded);
        row("endpoint kept", "%BASE%/fn/get_dashboard_rcc", "",
            "/fn/get_dashboard_rcc?user_id=user-1", loaded);
        row("bare host", "%BASE%", "", "/get_dashboard_rcc?user_id=user-1", loaded);
        row("query kept, id trimmed", "%BASE%/fn?tenant=t1", "",
            "/fn/get_dashboard_rcc?tenant=t1&user_id=user-1", loaded, " user-1 ");
        row("derived, host kept", "", "%BASE%/v1", "/v1/get_dashboard_rcc?user_id=user-1", loaded);
        row("derived, .auth. host", "", "http://tenant.auth.invalid/v1", "",
            "Dashboard RCC request failed: Host tenant.functions.invalid not found*");
        row("host not found", "http://dashboard.invalid/fn", "", "",
            "Dashboard RCC request failed: Host dashboard.invalid not found*");
        row("no HTTP status", "file://%TMP%/fnroot", "", "",
            "Dashboard RCC request returned HTTP 0.");
        row("unparsable URL", "http://exa mple.com", "", "", noUrl);
        row("blank user id", "%BASE%/fn", "", "",
            "Missing authenticated user id. Please sign in again and retry.", "   ");
        row("no token", "%BASE%/fn", "", "",
            "Missing access token. Please sign in again and retry.", "user-1", "");
        row("no token, bad URL", "http://exa mple.com", "", "", noUrl, "user-1", "");
    }
    void functionUrlAndPreconditions()
    {
        QFETCH(QString, functionUrl);
        QFETCH(QString, authBase);
        QFETCH(QString, target);
        QFETCH(QString, message);
        QFETCH(QString, id);
        QFETCH(QString, token);
        const bool sent = !message.startsWith(QLatin1String("Missing"));
        vm = std::make_unique<ViewModel>();
        signIn(*vm, id, token);
        if (token.isEmpty())
            vm->auth().Settings().remove(QStringLiteral("token"));
        qputenv("CORVALEN_RCC_DASHBOARD_FUNCTION_URL", expand(functionUrl).toUtf8());
        const QByteArray savedBase = qgetenv("CORVALEN_AUTH_BASE_URL");
        if (!authBase.isEmpty())
            qputenv("CORVALEN_AUTH_BASE_URL", expand(authBase).toUtf8());
        QVERIFY(QDir().mkpath(sandbox.tempPath() + QStringLiteral("/fnroot")));
        QFile fileEndpoint(sandbox.tempPath() + QStringLiteral("/fnroot/get_dashboard_rcc"));
        QVERIFY(fileEndpoint.open(QIODevice::WriteOnly));
        fileEndpoint.write(bundleA);
        fileEndpoint.close();
        server.setHandler([this](const ScriptedHttpServer::Request &) { return ok(bundleA); });
        QSignalSpy finished(vm.get(), &ViewModel::externalResourceLoadFinished);

        const bool answered = vm->resolveAndDownloadExternalResourceForCurrentUser();
        qputenv("CORVALEN_AUTH_BASE_URL", savedBase);
        QCOMPARE(answered, sent);
        const auto [ok, text] = outcome(finished);
        QCOMPARE(ok, text == QLatin1String("External resource loaded."));
        QVERIFY2(matches(text, message), qPrintable(text));
        QCOMPARE(targets(server), target.isEmpty() ? QStringList() : QStringList{target});
    }

    void functionRequestHeaders()
    {
        qputenv("CORVALEN_REFERER_URL", "https://portal.example.test/");
        server.enqueue(ok(bundleA));
        QSignalSpy finished(vm.get(), &ViewModel::externalResourceLoadFinished);
        QVERIFY(vm->resolveAndDownloadExternalResourceForCurrentUser());
        QVERIFY(outcome(finished).first);
        const auto request = server.lastRequest();
        QCOMPARE(request.method, QByteArray("GET"));
        QCOMPARE(request.header("Accept"),
                 QByteArray("application/octet-stream,application/json;q=0.9,*/*;q=0.8"));
        QCOMPARE(request.header("Authorization"), QByteArray("Bearer tok-1"));
        QVERIFY(!request.hasHeader("Referer"));
    }

    void directRequestHeaders_data()
    {
        QTest::addColumn<QByteArray>("referer");
        QTest::newRow("no referer") << QByteArray();
        QTest::newRow("blank referer") << QByteArray("   ");
        QTest::newRow("referer") << QByteArray(" https://portal.example.test/app ");
    }
    void directRequestHeaders()
    {
        QFETCH(QByteArray, referer);
        qputenv("CORVALEN_REFERER_URL", referer);
        server.enqueue(ok(bundleA));
        QSignalSpy finished(vm.get(), &ViewModel::externalResourceLoadFinished);
        QVERIFY(vm->downloadAndRegisterExternalResource(base() + QStringLiteral("/b.rcc")));
        QVERIFY(outcome(finished).first);
        const auto request = server.lastRequest();
        QCOMPARE(request.header("User-Agent"),
                 QByteArray("Mozilla/5.0 (Macintosh; Intel Mac OS X 14_0) AppleWebKit/537.36 "
                            "(KHTML, like Gecko) Chrome/123.0.0.0 Safari/537.36"));
        QCOMPARE(request.header("Accept"), QByteArray("application/octet-stream,*/*;q=0.9"));
        QCOMPARE(request.header("Accept-Language"), QByteArray("en-US,en;q=0.9"));
        QCOMPARE(request.hasHeader("Referer"), !referer.trimmed().isEmpty());
        QCOMPARE(request.header("Referer"), referer.trimmed());
        QVERIFY(!request.hasHeader("Authorization"));
    }

    void directDownload_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<ScriptedHttpServer::Handler>("handler");
        QTest::addColumn<bool>("sent");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("requests");
        const QByteArray a = bundle("bundle_a");
        auto chain = [a](int redirects) {
            return ScriptedHttpServer::Handler([a,
                                                redirects](const ScriptedHttpServer::Request &r) {
                const int n = r.path().section(QLatin1Char('/'), -1).toInt();
                return n < redirects ? Response::redirect(302, "/r/" + QByteArray::number(n + 1))
                                     : ok(a);
            });
        };
        auto hops = [](int count) {
            QStringList list;
            for (int i = 0; i < count; ++i)
                list << QStringLiteral("/r/%1").arg(i);
            return list;
        };
        auto fixed = [](Response response) {
            return ScriptedHttpServer::Handler([response](const auto &) { return response; });
        };
        const QString loaded = QStringLiteral("External resource loaded.");

        QTest::newRow("10 redirects") << "%BASE%/r/0" << chain(10) << true << loaded << hops(11);
        QTest::newRow("11 redirects")
            << "%BASE%/r/0" << chain(11) << true << "Too many RCC redirects. Last URL: %BASE%/r/11"
            << hops(11);
        QTest::newRow("back to start")
            << "%BASE%/s" << ScriptedHttpServer::Handler([](const ScriptedHttpServer::Request &r) {
                   return Response::redirect(302, r.path() == QLatin1String("/s") ? "/t" : "/s");
               })
            << true << "RCC server redirect loop detected at: %BASE%/s" << QStringList{"/s", "/t"};
        QTest::newRow("same URL, other fragment")
            << "%BASE%/f#top" << fixed(Response::redirect(302, "/f#other")) << true
            << "RCC server redirect loop detected at: %BASE%/f" << QStringList{"/f"};
        QTest::newRow("relative redirect")
            << "%BASE%/dir/start"
            << ScriptedHttpServer::Handler([a](const ScriptedHttpServer::Request &r) {
                   return r.path() == QLatin1String("/dir/start")
                              ? Response::redirect(302, "next.rcc")
                              : ok(a);
               })
            << true << loaded << QStringList{"/dir/start", "/dir/next.rcc"};
        QTest::newRow("redirect to a local file")
            << "%BASE%/to-file" << fixed(Response::redirect(302, "file:///etc/hostname")) << true
            << "Invalid RCC redirect target from: %BASE%/to-file" << QStringList{"/to-file"};
        QTest::newRow("406 three times")
            << "%BASE%/n?v=2" << fixed(status(406)) << true
            << "Failed to download RCC from %BASE%/n?v=2&download=1&raw=1: *"
            << QStringList{"/n?v=2", "/n?v=2&download=1", "/n?v=2&download=1&raw=1"};
        QTest::newRow("406 then bytes")
            << "%BASE%/n" << ScriptedHttpServer::Handler([a](const ScriptedHttpServer::Request &r) {
                   return r.target.contains("download=1") ? ok(a) : status(406);
               })
            << true << loaded << QStringList{"/n", "/n?download=1"};
        QTest::newRow("404") << "%BASE%/missing" << fixed(status(404, "nope")) << true
                             << "Failed to download RCC from %BASE%/missing: Error transferring "
                                "%BASE%/missing - server replied: Not Found"
                             << QStringList{"/missing"};
        QTest::newRow("HTML page")
            << "%BASE%/page" << fixed(ok("<html><body>Download</body></html>", "text/html")) << true
            << "Downloaded file is not a valid RCC resource." << QStringList{"/page"};
        QTest::newRow("empty body") << "%BASE%/empty" << fixed(ok({})) << true
                                    << "Downloaded RCC file is empty." << QStringList{"/empty"};
        QTest::newRow("upper-case scheme") << "HTTP://127.0.0.1:%PORT%/b.rcc" << fixed(ok(a))
                                           << true << loaded << QStringList{"/b.rcc"};
        QTest::newRow("ftp") << "ftp://127.0.0.1/b.rcc" << fixed(ok(a)) << false
                             << "RCC URL must be relative, HTTP or HTTPS." << QStringList();
        QTest::newRow("blank") << "  \t " << fixed(ok(a)) << false << "Invalid RCC URL."
                               << QStringList();
    }
    void directDownload()
    {
        QFETCH(QString, url);
        QFETCH(ScriptedHttpServer::Handler, handler);
        QFETCH(bool, sent);
        QFETCH(QString, message);
        QFETCH(QStringList, requests);
        server.setHandler(handler);
        QSignalSpy finished(vm.get(), &ViewModel::externalResourceLoadFinished);

        QCOMPARE(vm->downloadAndRegisterExternalResource(
                     expand(url).replace(QLatin1String("%PORT%"), QString::number(server.port()))),
                 sent);
        const auto [ok, text] = outcome(finished);
        QVERIFY2(matches(text, expand(message)), qPrintable(text));
        QCOMPARE(ok, text == QLatin1String("External resource loaded."));
        QCOMPARE(targets(server), requests);
        QCOMPARE(finished.count(), 1);
        if (ok)
            QCOMPARE(cachedBytes(QStringLiteral("user-1")), bundleA);
    }

    // TLS on loopback: a bundle fetched over https must not continue over plain http, and
    // neither path may negotiate HTTP/2.
    void httpsDowngradeRefusedAndHttp1Only()
    {
        TlsServer tls;
        QVERIFY(tls.start());
        const QString plainTarget = base() + QStringLiteral("/plain.rcc");
        tls.respond = [&](const QByteArray &target) -> QByteArray {
            if (target == "/up")
                return "HTTP/1.1 302 Found\r\nLocation: /secure.rcc\r\nContent-Length: 0\r\n\r\n";
            if (target == "/down")
                return "HTTP/1.1 302 Found\r\nLocation: " + plainTarget.toUtf8() +
                       "\r\nContent-Length: 0\r\n\r\n";
            return "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                   QByteArray::number(bundleA.size()) + "\r\n\r\n" + bundleA;
        };
        server.setHandler([this](const auto &) { return ok(bundleA); });
        QSignalSpy finished(vm.get(), &ViewModel::externalResourceLoadFinished);

        QVERIFY(vm->downloadAndRegisterExternalResource(tls.baseUrl() + QStringLiteral("/up")));
        QCOMPARE(outcome(finished, 1),
                 qMakePair(true, QStringLiteral("External resource loaded.")));
        QVERIFY(vm->downloadAndRegisterExternalResource(tls.baseUrl() + QStringLiteral("/down")));
        QCOMPARE(
            outcome(finished, 2),
            qMakePair(false, QStringLiteral("Refused insecure RCC redirect to: ") + plainTarget));
        QCOMPARE(server.requestCount(), 0);

        QVERIFY(QDir(cacheDir()).removeRecursively()); // the function, not the cache
        qputenv("CORVALEN_RCC_DASHBOARD_FUNCTION_URL", tls.baseUrl().toUtf8());
        QVERIFY(vm->resolveAndDownloadExternalResourceForCurrentUser());
        QCOMPARE(outcome(finished, 3),
                 qMakePair(true, QStringLiteral("External resource loaded.")));
        QCOMPARE(tls.negotiated.size(), 4);
        QVERIFY2(!tls.negotiated.contains(QStringLiteral("h2")),
                 qPrintable(tls.negotiated.join(',')));
    }

    void unauthorizedRefreshesOnceThenSignsOut_data()
    {
        QTest::addColumn<bool>("secondAccepted");
        QTest::newRow("accepted after refresh") << true;
        QTest::newRow("refused again") << false;
    }
    void unauthorizedRefreshesOnceThenSignsOut()
    {
        QFETCH(bool, secondAccepted);
        int calls = 0;
        server.setHandler([&](const ScriptedHttpServer::Request &request) {
            if (request.path() == QLatin1String("/v1/token"))
                return Response::json(200, kRefreshed);
            return ++calls == 2 && secondAccepted ? ok(bundleA) : status(401);
        });
        QSignalSpy finished(vm.get(), &ViewModel::externalResourceLoadFinished);
        QSignalSpy signedOut(vm.get(), &ViewModel::signOutUser);

        QVERIFY(vm->resolveAndDownloadExternalResourceForCurrentUser());
        const auto [ok, text] = outcome(finished);
        QCOMPARE(ok, secondAccepted);
        QCOMPARE(text, secondAccepted ? QStringLiteral("External resource loaded.")
                                      : QStringLiteral("Session expired. Please sign in again."));
        QCOMPARE(targets(server, QStringLiteral("/v1/token")).size(), 1);
        const auto requests = server.requests();
        QCOMPARE(requests.first().header("Authorization"), QByteArray("Bearer tok-1"));
        QCOMPARE(requests.last().header("Authorization"), QByteArray("Bearer tok-2"));
        QCOMPARE(calls, 2);
        QCOMPARE(signedOut.count(), secondAccepted ? 0 : 1);
        QCOMPARE(vm->currentUserId().isEmpty(), !secondAccepted);
        QCOMPARE(finished.count(), 1);
    }

    void cacheFirstUnlessUpdatePending()
    {
        serveTokens();
        QVERIFY(QDir().mkpath(cacheDir()));
        QFile cached(cacheDir() + QStringLiteral("/user-1.rcc"));
        QVERIFY(cached.open(QIODevice::WriteOnly));
        cached.write(bundleA);
        cached.close();
        vm->auth().Settings().remove(QStringLiteral("token")); // the cache needs none
        QSignalSpy finished(vm.get(), &ViewModel::externalResourceLoadFinished);

        QVERIFY(vm->resolveAndDownloadExternalResourceForCurrentUser());
        QCOMPARE(outcome(finished, 1),
                 qMakePair(true, QStringLiteral("External resource loaded from cache.")));
        QCOMPARE(server.requestCount(), 0);
        QVERIFY(!resourceText(kOnlyA).isNull());

        // An announced update goes past the cache; a failed fetch keeps it pending.
        vm->auth().Settings().setValue(QStringLiteral("token"),
                                       EncodeStoredValue(QStringLiteral("tok-1")));
        server.enqueue(status(503));
        emit vm->auth().RccUpdateAvailable();
        QCOMPARE(outcome(finished, 2).first, false);
        server.enqueue(ok(bundleB));
        QVERIFY(vm->resolveAndDownloadExternalResourceForCurrentUser());
        QCOMPARE(outcome(finished, 3),
                 qMakePair(true, QStringLiteral("External resource loaded.")));
        QVERIFY(resourceText(kOnlyA).isNull());
        QVERIFY(!resourceText(kOnlyB).isNull());
        QCOMPARE(cachedBytes(QStringLiteral("user-1")), bundleB);
        QTRY_COMPARE_WITH_TIMEOUT(targets(server, QStringLiteral("/clear")).size(), 1, kWait);

        // Acknowledged: back to the cache.
        QVERIFY(vm->resolveAndDownloadExternalResourceForCurrentUser());
        QCOMPARE(outcome(finished, 4),
                 qMakePair(true, QStringLiteral("External resource loaded from cache.")));
        QCOMPARE(targets(server, QStringLiteral("/fn/get_dashboard_rcc")).size(), 2);
    }

    // The previous user's dashboard must not reach the next user: not through the cache file,
    // not through the registration, not through the QML engine's component cache.
    void nextUserSeesOwnDashboard()
    {
        QQmlEngine engine;
        vm->setQmlEngine(&engine);
        std::unique_ptr<QObject> root = createMainPage(engine);
        QVERIFY(root);
        QSignalSpy finished(vm.get(), &ViewModel::externalResourceLoadFinished);
        server.enqueue(ok(bundleA));
        QVERIFY(vm->resolveAndDownloadExternalResourceForCurrentUser());
        QVERIFY(outcome(finished, 1).first);
        loadDashboard(root.get());
        QTRY_COMPARE(shownDashboard(root.get()), QStringLiteral("bundle A"));

        bool cleanedBeforeHandlers = true;
        connect(vm.get(), &ViewModel::signOutUser, this, [&] {
            cleanedBeforeHandlers =
                resourceText(kOnlyA).isNull() || cachedBytes("user-1").isEmpty();
        });
        vm->logUserOut();
        QVERIFY(!cleanedBeforeHandlers);
        QTRY_VERIFY(resourceText(kOnlyA).isNull() && cachedBytes("user-1").isEmpty());

        signIn(*vm, QStringLiteral("user-2"));
        server.enqueue(ok(bundleB));
        QVERIFY(vm->resolveAndDownloadExternalResourceForCurrentUser());
        QCOMPARE(outcome(finished, 2),
                 qMakePair(true, QStringLiteral("External resource loaded.")));
        loadDashboard(root.get());
        QTRY_COMPARE(shownDashboard(root.get()), QStringLiteral("bundle B"));
        QCOMPARE(server.lastRequest().target, QByteArray("/fn/get_dashboard_rcc?user_id=user-2"));
        vm->setQmlEngine(nullptr);
    }

    // A reply replaced by a newer request or cut off by sign-out reports nothing.
    void abortedTransfersAreSilent()
    {
        Response slow = ok(bundleA);
        slow.dribbleChunk = 8;
        slow.dribbleDelayMs = 50;
        QSignalSpy finished(vm.get(), &ViewModel::externalResourceLoadFinished);
        QSignalSpy received(&server, &ScriptedHttpServer::requestReceived);

        server.enqueue(slow);
        server.enqueue(ok(bundleB));
        QVERIFY(vm->resolveAndDownloadExternalResourceForCurrentUser());
        QVERIFY(received.wait(kWait));
        QVERIFY(vm->resolveAndDownloadExternalResourceForCurrentUser());
        QCOMPARE(outcome(finished), qMakePair(true, QStringLiteral("External resource loaded.")));
        QVERIFY(!resourceText(kOnlyB).isNull());

        server.enqueue(slow);
        server.enqueue(ok(bundleB));
        QVERIFY(vm->downloadAndRegisterExternalResource(base() + QStringLiteral("/slow")));
        QTRY_COMPARE_WITH_TIMEOUT(received.count(), 3, kWait);
        QVERIFY(vm->downloadAndRegisterExternalResource(base() + QStringLiteral("/fast")));
        QCOMPARE(outcome(finished, 2),
                 qMakePair(true, QStringLiteral("External resource loaded.")));

        server.enqueue(slow);
        server.enqueue(slow);
        QVERIFY(QDir(cacheDir()).removeRecursively());
        QVERIFY(vm->resolveAndDownloadExternalResourceForCurrentUser());
        QVERIFY(vm->downloadAndRegisterExternalResource(base() + QStringLiteral("/slow")));
        QTRY_COMPARE_WITH_TIMEOUT(received.count(), 6, kWait);
        vm->logUserOut(); // the aborts run the finished handlers right here
        QTRY_VERIFY(resourceText(kOnlyB).isNull());
        QCOMPARE(finished.count(), 2);
    }

    void joinRawHeaders_data()
    {
        QTest::addColumn<QList<QNetworkReply::RawHeaderPair>>("pairs");
        QTest::addColumn<QString>("joined");
        QTest::newRow("none") << QList<QNetworkReply::RawHeaderPair>() << QString();
        QTest::newRow("in order") << QList<QNetworkReply::RawHeaderPair>{{"B", "2"}, {"A", "x=1"}}
                                  << QStringLiteral("B=2, A=x=1");
        QTest::newRow("Latin-1") << QList<QNetworkReply::RawHeaderPair>{{"X-Name", "Jos\xe9"}}
                                 << QStringLiteral("X-Name=Jos\u00e9");
    }
    void joinRawHeaders()
    {
        QFETCH(QList<QNetworkReply::RawHeaderPair>, pairs);
        QFETCH(QString, joined);
        QCOMPARE(ViewModel::joinRawHeaders(pairs), joined);
    }
};

QTEST_MAIN(TstBundleTransfer)
#include "tst_bundle_transfer.moc"
