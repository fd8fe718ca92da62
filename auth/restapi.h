#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QObject>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;

class RestApi : public QObject
{
    Q_OBJECT
public:
    explicit RestApi(QObject *parent = nullptr);
    ~RestApi() override;

    void Post(const QString &path, const QJsonDocument &body);
    void Put(const QString &url, const QJsonDocument &body);
    void Patch(const QString &url, const QJsonDocument &body);
    void Get(const QString &url);

signals:
    void ResponseToRequest(QByteArray response);

private slots:
    void ReadAndParseNetworkReply();

private:
    friend class RestApiTest; // empties baseUrl, which the built-in default never is

    QNetworkRequest prepareRequest(const QString &url) const;
    void track(QNetworkReply *reply);

    QNetworkAccessManager *accessManager;
    QString baseUrl;
};
