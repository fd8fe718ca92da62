#include "auth/restapi.h"
#include "support/scripted_http_server.h"

#include <QSignalSpy>
#include <QtTest>

using Response = ScriptedHttpServer::Response;

class RestApiTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QTest::failOnWarning(QRegularExpression(".*"));
        server = std::make_unique<ScriptedHttpServer>();
        QVERIFY(server->start());
        server->setHandler([](const auto &) { return Response::json(200, "{}"); });
        qputenv("CORVALEN_AUTH_BASE_URL", (" " + server->baseUrl() + "/v1/ \t").toUtf8());
    }

    void requests()
    {
        const QJsonDocument document(
            QJsonObject{{"email", "a@b.c"}, {"b", QJsonObject{{"z", true}, {"y", 1}}}});
        const QString url = server->baseUrl() + "/item";
        RestApi api(nullptr);
        const QList<std::function<void()>> calls{
            [&] { api.Post("/token", document); }, [&] { api.Put(url, document); },
            [&] { api.Patch(url, document); }, [&] { api.Get(url + "?a=1"); }};
        for (const auto &call : calls) {
            call();
            QCOMPARE(nextResponse(api), QByteArray("{}"));
        }
        // Indented, keys sorted at every level.
        const QByteArray body = "{\n    \"b\": {\n        \"y\": 1,\n        \"z\": true\n    },\n"
                                "    \"email\": \"a@b.c\"\n}\n";
        QStringList sent;
        for (const auto &request : server->requests()) {
            sent << request.method + ' ' + request.target;
            QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
            QCOMPARE(request.body, request.method == "GET" ? QByteArray() : body);
        }
        // Post: the trimmed base URL and the path joined as they are, slash and all.
        QCOMPARE(sent,
                 QStringList({"POST /v1//token", "PUT /item", "PATCH /item", "GET /item?a=1"}));
    }
    // The other failure shapes are read by AuthHandler's tests, through the reply's consumer.
    void refusedConnectionIsLoggedAndAnswered()
    {
        server.reset(); // nothing listens on its port any more
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("^REST request failed: \"Connection refused\" "
                                                "URL: QUrl\\(\"http://127.0.0.1:\\d+/v1//x\"\\)$"));
        RestApi api(nullptr);
        api.Post("/x", QJsonDocument(QJsonObject()));
        QCOMPARE(nextResponse(api), QByteArray("{\"error\":\"Connection refused\"}"));
    }
    void emptyBaseUrlAnswersInsidePost()
    {
        RestApi api(nullptr);
        api.baseUrl.clear();
        // A receiver that posts again from its slot is answered inside its own call.
        QList<QByteArray> answers;
        connect(&api, &RestApi::ResponseToRequest, this, [&](const QByteArray &answer) {
            answers << answer;
            if (answers.size() == 1)
                api.Post("/again", QJsonDocument(QJsonObject()));
        });
        api.Post("/signin/email-password", QJsonDocument(QJsonObject()));
        const QByteArray answer = R"({"error":"Missing CORVALEN_AUTH_BASE_URL configuration"})";
        QCOMPARE(answers, QList<QByteArray>({answer, answer}));
        QCOMPARE(server->requestCount(), 0);
    }

private:
    QByteArray nextResponse(RestApi &api)
    {
        QSignalSpy spy(&api, &RestApi::ResponseToRequest);
        return spy.wait(10000) && spy.size() == 1 ? spy.at(0).at(0).toByteArray() : "<none>";
    }

    std::unique_ptr<ScriptedHttpServer> server;
};

QTEST_GUILESS_MAIN(RestApiTest)
#include "tst_restapi.moc"
