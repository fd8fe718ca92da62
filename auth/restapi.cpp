#include "auth/restapi.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

RestApi::RestApi(QObject *parent) : QObject(parent), accessManager(new QNetworkAccessManager()) {}
RestApi::~RestApi()
{
    delete accessManager;
}
void RestApi::Post(const QString &, const QJsonDocument &) {}
void RestApi::Put(const QString &, const QJsonDocument &) {}
void RestApi::Patch(const QString &, const QJsonDocument &) {}
void RestApi::Get(const QString &) {}
void RestApi::ReadAndParseNetworkReply() {}
QNetworkRequest RestApi::prepareRequest(const QString &url) const
{
    return QNetworkRequest(QUrl(url));
}
void RestApi::track(QNetworkReply *) {}
