#include "viewmodel/viewmodel.h"

#include "auth/http_request.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QUrlQuery>

namespace {

// Loop detection compares URLs without their fragment: a fragment never reaches the server.
QString urlKey(const QUrl &url)
{
    return url.toString(QUrl::FullyEncoded | QUrl::RemoveFragment);
}

constexpr int kMaxRedirects = 10;
constexpr int kMaxRetries = 2;

} // namespace

bool ViewModel::downloadAndRegisterExternalResource(QString rccUrl)
{
    const QString trimmed = rccUrl.trimmed();
    const QUrl url(trimmed, QUrl::TolerantMode);
    if (trimmed.isEmpty() || !url.isValid()) {
        emit externalResourceLoadFinished(false, tr("Invalid RCC URL."));
        return false;
    }
    const QString scheme = url.scheme().toLower();
    if (!scheme.isEmpty() && scheme != QLatin1String("http") && scheme != QLatin1String("https")) {
        emit externalResourceLoadFinished(false, tr("RCC URL must be relative, HTTP or HTTPS."));
        return false;
    }
    if (!networkManager) {
        emit externalResourceLoadFinished(false, tr("Network manager is not initialized."));
        return false;
    }
    http::dropReply(directDownloadReply);

    directDownloadRetryCount = 0;
    directDownloadRedirectCount = 0;
    visitedDownloadUrls.clear();
    visitedDownloadUrls.insert(urlKey(url));
    return requestDirectDownload(url);
}

bool ViewModel::requestDirectDownload(QUrl url)
{
    if (!networkManager) {
        emit externalResourceLoadFinished(false, tr("Network manager is not initialized."));
        return false;
    }
    directDownloadUrl = url;

    // Some file hosts only hand out raw bytes to requests that look like a browser's.
    QNetworkRequest request = http::buildRequest(url, http::Redirects::Manual);
    request.setHeader(QNetworkRequest::UserAgentHeader,
                      QStringLiteral("Mozilla/5.0 (Macintosh; Intel Mac OS X 14_0) "
                                     "AppleWebKit/537.36 (KHTML, like Gecko) "
                                     "Chrome/123.0.0.0 Safari/537.36"));
    request.setRawHeader("Accept", "application/octet-stream,*/*;q=0.9");
    request.setRawHeader("Accept-Language", "en-US,en;q=0.9");
    const QString referer = qEnvironmentVariable("CORVALEN_REFERER_URL").trimmed();
    if (!referer.isEmpty())
        request.setRawHeader("Referer", referer.toUtf8());

    QNetworkReply *reply = networkManager->get(request);
    directDownloadReply = reply;
    connect(reply, &QNetworkReply::finished, this,
            [this, reply] { handleDirectDownloadReply(reply); });
    return true;
}

void ViewModel::handleDirectDownloadReply(QNetworkReply *reply)
{
    if (!reply) {
        emit externalResourceLoadFinished(false, tr("Invalid network reply."));
        return;
    }
    if (reply != directDownloadReply) {
        reply->deleteLater();
        return;
    }
    directDownloadReply = nullptr;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QUrl replyUrl = reply->url();
    const QVariant target = reply->attribute(QNetworkRequest::RedirectionTargetAttribute);

    if (target.isValid() && !target.isNull()) {
        const QUrl resolved = replyUrl.resolved(target.toUrl());
        const QString fromKey = urlKey(replyUrl);
        const QString toKey = urlKey(resolved);
        QString failure;
        const QString toScheme = resolved.scheme().toLower();
        if (!resolved.isValid() || toKey.isEmpty()) {
            failure = tr("Invalid RCC redirect target from: %1").arg(fromKey);
        } else if (!toScheme.isEmpty() && toScheme != QLatin1String("http") &&
                   toScheme != QLatin1String("https")) {
            // A server must not steer the download to local files or other schemes.
            failure = tr("Invalid RCC redirect target from: %1").arg(fromKey);
        } else if (replyUrl.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 &&
                   resolved.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) != 0) {
            // A bundle is code: once fetched over TLS it must not continue in the clear.
            qWarning() << "Refused RCC redirect from HTTPS to an insecure target:" << toKey;
            failure = tr("Refused insecure RCC redirect to: %1").arg(toKey);
        } else if (toKey == fromKey || visitedDownloadUrls.contains(toKey)) {
            failure = tr("RCC server redirect loop detected at: %1").arg(toKey);
        } else if (directDownloadRedirectCount >= kMaxRedirects) {
            failure = tr("Too many RCC redirects. Last URL: %1").arg(toKey);
        } else {
            ++directDownloadRedirectCount;
            visitedDownloadUrls.insert(toKey);
            reply->deleteLater();
            if (!requestDirectDownload(resolved))
                emit externalResourceLoadFinished(false, tr("Failed to follow RCC redirect."));
            return;
        }
        reply->deleteLater();
        emit externalResourceLoadFinished(false, failure);
        return;
    }

    if ((status == 406 || reply->error() == QNetworkReply::TooManyRedirectsError) &&
        directDownloadRetryCount < kMaxRetries) {
        // Hints that make common file hosts serve the bytes instead of a preview page.
        QUrl retryUrl = directDownloadUrl;
        QUrlQuery query(retryUrl);
        query.addQueryItem(directDownloadRetryCount == 0 ? QStringLiteral("download")
                                                         : QStringLiteral("raw"),
                           QStringLiteral("1"));
        retryUrl.setQuery(query);
        ++directDownloadRetryCount;
        reply->deleteLater();
        if (!requestDirectDownload(retryUrl))
            emit externalResourceLoadFinished(false, tr("Failed to retry RCC download."));
        return;
    }

    if (reply->error() != QNetworkReply::NoError) {
        const QString message =
            tr("Failed to download RCC from %1: %2").arg(replyUrl.toString(), reply->errorString());
        qWarning() << message;
        emit externalResourceLoadFinished(false, message);
        reply->deleteLater();
        return;
    }

    const QByteArray body = reply->readAll();
    if (body.isEmpty()) {
        emit externalResourceLoadFinished(false, tr("Downloaded RCC file is empty."));
    } else if (!cacheAndRegisterPayload(body, userId, replyUrl.toString())) {
        emit externalResourceLoadFinished(false,
                                          tr("Downloaded file is not a valid RCC resource."));
    } else {
        qInfo() << "Registered external RCC from URL:" << replyUrl;
        if (dashboardUpdatePending) {
            dashboardUpdatePending = false;
            clearComponentCacheIfEngine();
            authHandler.ClearRccUpdate();
        }
        emit externalResourceLoadFinished(true, tr("External resource loaded."));
    }
    reply->deleteLater();
}
