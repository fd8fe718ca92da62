#include "viewmodel/viewmodel.h"

#include "auth/http_request.h"

#include <QDebug>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QTemporaryFile>

namespace {

QString knownHeaderText(QNetworkReply *reply, QNetworkRequest::KnownHeaders header)
{
    const QVariant value = reply->header(header);
    return value.isValid() && !value.isNull() ? value.toString() : QStringLiteral("<none>");
}

} // namespace

bool ViewModel::requestDashboardFunction(QUrl url, QString accessToken)
{
    if (!networkManager) {
        emit externalResourceLoadFinished(false, tr("Network manager is not initialized."));
        return false;
    }
    http::dropReply(dashboardFunctionReply);

    QNetworkRequest request =
        http::buildRequest(url, http::Redirects::FollowNoLessSafe, accessToken);
    request.setRawHeader("Accept", "application/octet-stream,application/json;q=0.9,*/*;q=0.8");

    QNetworkReply *reply = networkManager->get(request);
    dashboardFunctionReply = reply;
    connectDashboardReplyDiagnostics(reply);
    connect(reply, &QNetworkReply::finished, this,
            [this, reply] { handleDashboardFunctionReply(reply); });
    return true;
}

void ViewModel::handleDashboardFunctionReply(QNetworkReply *reply)
{
    if (!reply) {
        emit externalResourceLoadFinished(false, tr("Invalid dashboard RCC reply."));
        return;
    }
    if (reply != dashboardFunctionReply) {
        reply->deleteLater();
        return;
    }
    dashboardFunctionReply = nullptr;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray body = reply->readAll();

    if (status == 401) {
        reply->deleteLater();
        if (!unauthorizedRetried) {
            // The resolution runs again once the refreshed token has arrived.
            unauthorizedRetried = true;
            resolveAfterTokenRefresh = true;
            authHandler.GetNewAccessToken();
        } else {
            qWarning() << "Dashboard RCC request unauthorized after token refresh; signing out.";
            logUserOut();
            emit externalResourceLoadFinished(false, tr("Session expired. Please sign in again."));
        }
        return;
    }
    unauthorizedRetried = false;

    const QString contentType = knownHeaderText(reply, QNetworkRequest::ContentTypeHeader);
    const QString contentLength = knownHeaderText(reply, QNetworkRequest::ContentLengthHeader);
    const QString transferEncoding = QString::fromLatin1(reply->rawHeader("Transfer-Encoding"));
    const QString contentEncoding = QString::fromLatin1(reply->rawHeader("Content-Encoding"));
    const QString contentDisposition = QString::fromLatin1(reply->rawHeader("Content-Disposition"));
    const QString prefixHex = QString::fromLatin1(body.left(24).toHex(' '));
    const QString rawHeaders = joinRawHeaders(reply->rawHeaderPairs());

    QByteArray payload = body;
    const bool successfulPayload = !body.isEmpty() && unsigned(status - 200) <= 99u;

    const QJsonDocument document = QJsonDocument::fromJson(body);
    QString errorText;
    if (document.isObject()) {
        const QJsonObject object = document.object();
        errorText = object.value(QLatin1String("error")).toString().trimmed();
        const QString base64 = object.value(QLatin1String("payload_base64")).toString().trimmed();
        if (!base64.isEmpty()) {
            payload = QByteArray::fromBase64(base64.toUtf8());
            qInfo() << "Decoded dashboard RCC payload from base64 JSON:"
                    << "encodedBytes=" << base64.size() << "decodedBytes=" << payload.size();
        }
    }

    qInfo().noquote()
        << QStringLiteral("Dashboard RCC reply diagnostics: url=%1 status=%2 error=%3 "
                          "errorString=\"%4\" bytes=%5 bytesAvailableAfterRead=%6 "
                          "isFinished=%7 contentType=\"%8\" contentLength=\"%9\" "
                          "transferEncoding=\"%10\" contentEncoding=\"%11\" "
                          "contentDisposition=\"%12\" payloadPrefixHex=\"%13\" "
                          "rawHeaders={%14}")
               .arg(reply->url().toString(), QString::number(status),
                    QString::number(int(reply->error())), reply->errorString(),
                    QString::number(body.size()), QString::number(reply->bytesAvailable()),
                    reply->isFinished() ? QStringLiteral("true") : QStringLiteral("false"),
                    contentType, contentLength, transferEncoding, contentEncoding,
                    contentDisposition, prefixHex, rawHeaders);

    bool lengthParsed = false;
    const qint64 declaredLength = contentLength.toLongLong(&lengthParsed, 10);
    if (lengthParsed && declaredLength != body.size())
        qWarning() << "Dashboard RCC reply content-length mismatch:"
                   << "declared=" << declaredLength << "actual=" << body.size();

    if (document.isObject())
        qInfo().noquote() << QStringLiteral("Dashboard RCC JSON body: %1")
                                 .arg(QString::fromUtf8(document.toJson(QJsonDocument::Compact)));

    if (reply->error() != QNetworkReply::NoError) {
        if (!successfulPayload) {
            QString message = errorText;
            if (message.isEmpty())
                message = status <= 0
                              ? tr("Dashboard RCC request failed: %1").arg(reply->errorString())
                              : tr("Dashboard RCC request failed (%1): %2")
                                    .arg(QString::number(status), reply->errorString());
            emit externalResourceLoadFinished(false, message);
            reply->deleteLater();
            return;
        }
        qWarning() << "Continuing after dashboard RCC reply error because a successful payload "
                      "was received:"
                   << reply->errorString() << "status=" << status << "bytes=" << body.size();
    }

    if (status < 200 || status > 299) {
        const QString message = errorText.isEmpty()
                                    ? tr("Dashboard RCC request returned HTTP %1.").arg(status)
                                    : errorText;
        emit externalResourceLoadFinished(false, message);
        reply->deleteLater();
        return;
    }

    if (payload.isEmpty()) {
        emit externalResourceLoadFinished(false, tr("Downloaded RCC file is empty."));
        reply->deleteLater();
        return;
    }

    if (cacheAndRegisterPayload(payload, userId, reply->url().toString())) {
        qInfo() << "Registered external RCC from dashboard function:" << reply->url();
        if (dashboardUpdatePending) {
            dashboardUpdatePending = false;
            clearComponentCacheIfEngine();
            authHandler.ClearRccUpdate();
        }
        emit externalResourceLoadFinished(true, tr("External resource loaded."));
        reply->deleteLater();
        return;
    }

    // Keep the rejected bytes for inspection; the file outlives the program on purpose.
    QTemporaryFile dump(QDir::tempPath() + QStringLiteral("/corvalen-dashboard-rcc-XXXXXX.bin"));
    QString dumpPath;
    if (dump.open()) {
        dump.setAutoRemove(false);
        dump.write(payload);
        dump.flush();
        dumpPath = dump.fileName();
    }
    qWarning() << "Dashboard RCC registration failed:"
               << "bytes=" << payload.size() << "dumpPath=" << dumpPath;
    emit externalResourceLoadFinished(false, tr("Downloaded file is not a valid RCC resource."));
    reply->deleteLater();
}
