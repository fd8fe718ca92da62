#include "auth/restapi.h"
#include "support/scripted_http_server.h"

#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using Response = ScriptedHttpServer::Response;

class RestApiTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
        server = std::make_unique<ScriptedHttpServer>();
        QVERIFY(server->start());
        server->setHandler(
            [](const ScriptedHttpServer::Request &) { return Response::json(200, "{}"); });
        qputenv("CORVALEN_AUTH_BASE_URL", (server->baseUrl() + QStringLiteral("/v1")).toUtf8());
    }
    void cleanup()
    {
        server.reset();
        qunsetenv("CORVALEN_AUTH_BASE_URL");
    }

    void requestShape_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::newRow("post") << QByteArray("POST");
        QTest::newRow("put") << QByteArray("PUT");
        QTest::newRow("patch") << QByteArray("PATCH");
        QTest::newRow("get") << QByteArray("GET");
    }
    void requestShape()
    {
        QFETCH(QByteArray, method);
        // Keys given out of order and nested: the wire form is indented and sorted.
        const QJsonDocument document(
            QJsonObject{{"email", "a@b.c"}, {"b", QJsonObject{{"z", true}, {"y", 1}}}});
        const QByteArray indented = "{\n    \"b\": {\n        \"y\": 1,\n        \"z\": true\n"
                                    "    },\n    \"email\": \"a@b.c\"\n}\n";
        const QString absolute = server->baseUrl() + "/elsewhere/item";
        RestApi api(nullptr);
        if (method == "POST")
            api.Post("/elsewhere/item", document);
        else if (method == "PUT")
            api.Put(absolute, document);
        else if (method == "PATCH")
            api.Patch(absolute, document);
        else
            api.Get(absolute);

        QCOMPARE(waitForOneResponse(api), QByteArray("{}"));
        QCOMPARE(server->requestCount(), 1);
        const auto request = server->lastRequest();
        QCOMPARE(request.method, method);
        QCOMPARE(request.path(), method == "POST" ? "/v1/elsewhere/item" : "/elsewhere/item");
        QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
        QVERIFY(!request.hasHeader("Authorization"));
        QCOMPARE(request.body, method == "GET" ? QByteArray() : indented);
    }
    void baseUrlIsTrimmedAndConcatenated_data()
    {
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("target");

        QTest::newRow("plain") << "/v1"
                               << "/token" << QByteArray("/v1/token");
        QTest::newRow("spaces around") << "/v1  \t"
                                       << "/token" << QByteArray("/v1/token");
        QTest::newRow("trailing slash kept") << "/v1/"
                                             << "/token" << QByteArray("/v1//token");
        QTest::newRow("no separator added") << "/v1"
                                            << "token" << QByteArray("/v1token");
    }
    void baseUrlIsTrimmedAndConcatenated()
    {
        QFETCH(QString, suffix);
        QFETCH(QString, path);
        QFETCH(QByteArray, target);

        qputenv("CORVALEN_AUTH_BASE_URL", ("  " + server->baseUrl() + suffix).toUtf8());
        RestApi api(nullptr);
        api.Post(path, QJsonDocument(QJsonObject()));
        QCOMPARE(waitForOneResponse(api), QByteArray("{}"));
        QCOMPARE(server->lastRequest().target, target);
    }
    void redirectsAreFollowed()
    {
        const QByteArray target = server->baseUrl().toUtf8() + "/moved";
        server->setHandler([target](const ScriptedHttpServer::Request &request) {
            return request.path() == "/start" ? Response::redirect(302, target)
                                              : Response::json(200, "{\"moved\":true}");
        });
        RestApi api(nullptr);
        api.Get(server->baseUrl() + "/start");
        QCOMPARE(waitForOneResponse(api), QByteArray("{\"moved\":true}"));
        QCOMPARE(server->lastRequest().path(), "/moved");
    }
    void replyBodies_data()
    {
        QTest::addColumn<int>("status"); // 0: connection refused
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("errorText"); // pattern; empty: no failure
        QTest::addColumn<bool>("replaced");     // the consumer gets {"error": errorText}

        const QByteArray serviceError = R"({"error":"invalid-email-password","status":401})";
        QTest::newRow("401 with service body") << 401 << serviceError << "HTTP 401: .+" << false;
        QTest::newRow("401 empty body") << 401 << QByteArray() << "HTTP 401: .+" << true;
        QTest::newRow("500 white space body")
            << 500 << QByteArray(" \r\n\t ") << "HTTP 500: .+" << true;
        QTest::newRow("200 white space body") << 200 << QByteArray("  \n") << QString() << false;
        QTest::newRow("204 no content") << 204 << QByteArray() << QString() << false;
        QTest::newRow("refused") << 0 << QByteArray() << "(?!HTTP).*refused.*" << true;
    }
    void replyBodies()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, errorText);
        QFETCH(bool, replaced);

        Response response = Response::json(status, body);
        server->enqueue(response);
        if (status == 0)
            server->stop();
        if (!errorText.isEmpty()) {
            QTest::ignoreMessage(
                QtWarningMsg,
                QRegularExpression("^REST request failed: \"" + errorText +
                                   "\" URL: QUrl\\(\"http://127\\.0\\.0\\.1:\\d+/v1/x\"\\)$"));
        }

        RestApi api(nullptr);
        api.Post("/x", QJsonDocument(QJsonObject()));
        const QByteArray answer = waitForOneResponse(api);
        if (!replaced) {
            QCOMPARE(answer, body);
            return;
        }
        // Compact, with the single member the consumer reads.
        QVERIFY2(QRegularExpression("^\\{\"error\":\"" + errorText + "\"\\}$",
                                    QRegularExpression::CaseInsensitiveOption)
                     .match(QString::fromUtf8(answer))
                     .hasMatch(),
                 answer.constData());
    }
    void emptyBaseUrlAnswersSynchronously()
    {
        RestApi api(nullptr);
        api.baseUrl.clear();

        // A receiver that posts again from its slot is answered inside its own call.
        QList<QByteArray> answers;
        QStringList trace;
        connect(&api, &RestApi::ResponseToRequest, this, [&](const QByteArray &answer) {
            answers.append(answer);
            trace.append(QStringLiteral("answer %1").arg(answers.size()));
            if (answers.size() == 1) {
                api.Post(QStringLiteral("/again"), QJsonDocument(QJsonObject()));
                trace.append(QStringLiteral("inner post returned"));
            }
        });

        api.Post(QStringLiteral("/signin/email-password"), QJsonDocument(QJsonObject()));
        trace.append(QStringLiteral("outer post returned"));

        const QByteArray expected = "{\"error\":\"Missing CORVALEN_AUTH_BASE_URL configuration\"}";
        QCOMPARE(answers, QList<QByteArray>({expected, expected}));
        QCOMPARE(trace, QStringList({"answer 1", "answer 2", "inner post returned",
                                     "outer post returned"}));
        QCOMPARE(server->requestCount(), 0);
    }

private:
    QByteArray waitForOneResponse(RestApi &api)
    {
        QSignalSpy spy(&api, &RestApi::ResponseToRequest);
        if (!spy.wait(10000) || spy.size() != 1)
            return QByteArray("<no single response>");
        return spy.at(0).at(0).toByteArray();
    }

    std::unique_ptr<ScriptedHttpServer> server;
};

QTEST_GUILESS_MAIN(RestApiTest)
#include "tst_restapi.moc"
