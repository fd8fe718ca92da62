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
