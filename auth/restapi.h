#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QObject>
#include <QString>

#include "net/http_request.h"

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;

class RestApi : public QObject
{
    Q_OBJECT
public:
    explicit RestApi(QObject *parent = nullptr);
    ~RestApi() override;

    // The tag comes back through answeredTag() with the reply to this request.
    void Post(const QString &path, const QJsonDocument &body, quint64 tag = 0);
    void Put(const QString &url, const QJsonDocument &body);
    void Patch(const QString &url, const QJsonDocument &body);
    void Get(const QString &url);

    // While ResponseToRequest is being emitted: the tag of the request it answers (0 when none
    // was given). The body alone cannot tell a late reply from a current one.
    quint64 answeredTag() const;
    // While ResponseToRequest is being emitted: whether the request got no HTTP answer at all
    // (no connection, or none in time).
    bool answeredUnreachable() const { return answeringUnreachable; }

    // Time limits of the requests sent from now on.
    void setDeadlines(const http::Deadlines &limits);

signals:
    void ResponseToRequest(QByteArray response);

private slots:
    void ReadAndParseNetworkReply();

private:
    friend class RestApiTest; // empties baseUrl, which the built-in default never is

    QNetworkRequest prepareRequest(const QString &url) const;
    void track(QNetworkReply *reply, quint64 tag = 0);
    void answer(const QByteArray &body, quint64 tag, bool unreachable = false);

    QNetworkAccessManager *accessManager;
    QString baseUrl;
    quint64 answering = 0;
    bool answeringUnreachable = false;
    http::Deadlines deadlines = http::Deadlines::auth();
};
