// The dashboard-update flag: the periodic check and its acknowledgement.

#include "auth/authhandler.h"

#include "app/config.h"
#include "net/http_request.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>
#include <QtDebug>

namespace {

int httpStatus(const QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

} // namespace

bool readRccUpdateFlag(const QByteArray &body)
{
    return QJsonDocument::fromJson(body)
        .object()
        .value(QStringLiteral("metadata"))
        .toObject()
        .value(QStringLiteral("rcc_update_available"))
        .toBool();
}

void AuthHandler::CheckRccUpdate()
{
    // Read at every call rather than taken from RestApi, so the check follows the environment.
    const QString base = configValue(QStringLiteral("CORVALEN_AUTH_BASE_URL"));
    const QString token = GetAccessToken();
    if (base.isEmpty() || token.isEmpty())
        return;

    QNetworkRequest request =
        http::buildRequest(QUrl(base + QStringLiteral("/user"), QUrl::TolerantMode),
                           http::Redirects::SameOrigin, token);
    request.setRawHeader("Accept", "application/json");
    QNetworkReply *reply = network.get(request);
    http::supervise(reply, requestDeadlines);
    http::limitReplyBody(reply, http::kMaxAuthReplyBytes);
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        reply->deleteLater();
        // The session ended while the check was under way.
        if (!rccCheckTimer.isActive())
            return;

        const int status = httpStatus(reply);
        if (status == 401) {
            // One refresh per period; the check runs again once the refresh succeeds.
            if (!rccCheckRetried) {
                rccCheckRetried = true;
                rccCheckAfterRefresh = true;
                GetNewAccessToken();
            }
            return;
        }
        // A refused body may end before its abort, with no error set yet.
        const bool refused = http::bodyTooLarge(reply);
        if (refused || reply->error() != QNetworkReply::NoError || status != 200) {
            qWarning() << "RCC update check failed:"
                       << "HTTP" << status
                       << (refused ? http::bodyTooLargeText(http::kMaxAuthReplyBytes)
                                   : http::errorText(reply));
            return;
        }

        if (!readRccUpdateFlag(reply->readAll()))
            rccClearPending = false;
        else if (rccClearPending)
            ClearRccUpdate(); // the earlier acknowledgement has not reached the server yet
        else
            emit RccUpdateAvailable();
    });
}

void AuthHandler::ClearRccUpdate()
{
    rccClearPending = true;

    const QString url = configValue(QStringLiteral("CORVALEN_CLEAR_RCC_UPDATE_FUNCTION_URL"));
    if (url.isEmpty())
        qWarning() << "Missing CORVALEN_CLEAR_RCC_UPDATE_FUNCTION_URL in environment/.env";
    const QString token = GetAccessToken();
    const QUrl target(url, QUrl::TolerantMode);
    if (url.isEmpty() || !target.isValid() || token.isEmpty())
        return;

    QNetworkRequest request = http::buildRequest(target, http::Redirects::SameOrigin, token);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    QNetworkReply *reply = network.post(request, QByteArrayLiteral("{}"));
    http::supervise(reply, requestDeadlines);
    // Only the status counts; the body is let go as it comes so that none of it piles up.
    connect(reply, &QNetworkReply::readyRead, reply,
            [reply] { reply->skip(reply->bytesAvailable()); });
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        reply->deleteLater();
        const int status = httpStatus(reply);
        if (http::isSuccess(status)) {
            rccClearPending = false;
            return;
        }
        qWarning() << "clear_rcc_update failed:"
                   << "HTTP" << status << http::errorText(reply);
        // Not re-sent here: the next check that still sees the flag sends it again.
        if (status == 401)
            GetNewAccessToken();
    });
}
