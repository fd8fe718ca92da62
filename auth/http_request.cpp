#include "auth/http_request.h"

#include <QNetworkReply>

namespace http {

QNetworkRequest buildRequest(const QUrl &url, Redirects redirects, const QString &bearerToken)
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         redirects == Redirects::Manual
                             ? QNetworkRequest::ManualRedirectPolicy
                             : QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setTransferTimeout(kTransferTimeoutMs);
    if (!bearerToken.isEmpty())
        request.setRawHeader("Authorization",
                             QStringLiteral("Bearer %1").arg(bearerToken).toUtf8());
    return request;
}

namespace {
const char kTooLargeProperty[] = "corvalenBodyTooLarge";
}

void limitReplyBody(QNetworkReply *reply, qint64 maxBytes)
{
    // Aborting from inside the reply's own signals upsets its bookkeeping, so the abort is
    // queued; until it runs, whatever arrives is thrown away.
    const auto refuse = [reply] {
        reply->setProperty(kTooLargeProperty, true);
        QMetaObject::invokeMethod(reply, &QNetworkReply::abort, Qt::QueuedConnection);
    };
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, maxBytes, refuse] {
        bool known = false;
        const qint64 declared =
            reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
        if (known && declared > maxBytes && !bodyTooLarge(reply))
            refuse();
    });
    // The handlers read the body only when it is complete, so what waits here is all of it.
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply, maxBytes, refuse] {
        if (!bodyTooLarge(reply) && reply->bytesAvailable() > maxBytes)
            refuse();
        if (bodyTooLarge(reply))
            reply->skip(reply->bytesAvailable());
    });
}

bool bodyTooLarge(const QNetworkReply *reply)
{
    return reply->property(kTooLargeProperty).toBool();
}

QString bodyTooLargeText(qint64 maxBytes)
{
    return QStringLiteral("Reply body larger than %1 bytes").arg(maxBytes);
}

void dropReply(QNetworkReply *&member)
{
    QNetworkReply *reply = member;
    if (!reply)
        return;
    member = nullptr;
    reply->abort();
    reply->deleteLater();
}

} // namespace http
