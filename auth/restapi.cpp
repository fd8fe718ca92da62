#include "auth/restapi.h"

#include "app/config.h"
#include "net/http_request.h"

#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>
#include <QtDebug>

#include <utility>

namespace {

const char kTagProperty[] = "corvalenRequestTag";

QByteArray errorBody(const QString &text)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("error"), text}})
        .toJson(QJsonDocument::Compact);
}

QString failureText(const QNetworkReply *reply)
{
    if (http::bodyTooLarge(reply))
        return http::bodyTooLargeText(http::kMaxAuthReplyBytes);
    if (http::refusedRedirect(reply) || http::timedOut(reply))
        return http::errorText(reply);
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QString errorString = reply->errorString();
    return status > 0 ? QStringLiteral("HTTP %1: %2").arg(QString::number(status), errorString)
                      : errorString;
}

} // namespace

RestApi::RestApi(QObject *parent) : QObject(parent), accessManager(new QNetworkAccessManager())
{
    baseUrl = configValue(QStringLiteral("CORVALEN_AUTH_BASE_URL"));
    if (baseUrl.isEmpty())
        qWarning() << "Missing CORVALEN_AUTH_BASE_URL in environment/.env";
}

RestApi::~RestApi()
{
    delete accessManager;
}

void RestApi::Post(const QString &path, const QJsonDocument &body, quint64 tag)
{
    if (baseUrl.isEmpty()) {
        // Answer at once so the caller still sees exactly one response per request.
        answer(errorBody(QStringLiteral("Missing CORVALEN_AUTH_BASE_URL configuration")), tag);
        return;
    }
    track(accessManager->post(prepareRequest(baseUrl + path), body.toJson(QJsonDocument::Indented)),
          tag);
}

void RestApi::Put(const QString &url, const QJsonDocument &body)
{
    track(accessManager->put(prepareRequest(url), body.toJson(QJsonDocument::Indented)));
}

void RestApi::Patch(const QString &url, const QJsonDocument &body)
{
    track(accessManager->sendCustomRequest(prepareRequest(url), QByteArrayLiteral("PATCH"),
                                           body.toJson(QJsonDocument::Indented)));
}

void RestApi::Get(const QString &url)
{
    track(accessManager->get(prepareRequest(url)));
}

void RestApi::ReadAndParseNetworkReply()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;

    // A refused body may end before its abort, with no error set yet; an aborted reply has no
    // body left to read.
    const bool refused =
        http::bodyTooLarge(reply) || http::refusedRedirect(reply) || http::timedOut(reply);
    QByteArray body = refused ? QByteArray() : reply->readAll();
    if (refused || reply->error() != QNetworkReply::NoError) {
        const QString errorText = failureText(reply);
        qWarning() << "REST request failed:" << errorText << "URL:" << reply->url();
        // The consumer parses one JSON shape; keep the service's own error body when it sent one.
        if (body.trimmed().isEmpty())
            body = errorBody(errorText);
    }

    const bool unreachable = reply->error() != QNetworkReply::NoError &&
                             !reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
    disconnect(reply, nullptr, this, nullptr);
    answer(body, reply->property(kTagProperty).toULongLong(), unreachable);
    reply->deleteLater();
}

void RestApi::setDeadlines(const http::Deadlines &limits)
{
    deadlines = limits;
}

quint64 RestApi::answeredTag() const
{
    return answering;
}

void RestApi::answer(const QByteArray &body, quint64 tag, bool unreachable)
{
    // A receiver may post again from its slot and be answered inside this one.
    const quint64 outer = std::exchange(answering, tag);
    const bool outerUnreachable = std::exchange(answeringUnreachable, unreachable);
    emit ResponseToRequest(body);
    answering = outer;
    answeringUnreachable = outerUnreachable;
}

QNetworkRequest RestApi::prepareRequest(const QString &url) const
{
    // Sign-in and refresh carry the password and the refresh token in their bodies.
    QNetworkRequest request =
        http::buildRequest(QUrl(url, QUrl::TolerantMode), http::Redirects::SameOrigin);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    return request;
}

void RestApi::track(QNetworkReply *reply, quint64 tag)
{
    reply->setProperty(kTagProperty, tag);
    http::supervise(reply, deadlines);
    http::limitReplyBody(reply, http::kMaxAuthReplyBytes);
    connect(reply, &QNetworkReply::finished, this, &RestApi::ReadAndParseNetworkReply);
}
