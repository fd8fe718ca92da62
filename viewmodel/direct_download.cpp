#include "viewmodel/viewmodel.h"

#include "net/http_request.h"
#include "net/redirect_policy.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QUrlQuery>

namespace {

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
    visitedDownloadUrls.insert(redirect::urlKey(url));
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
    http::supervise(reply, bundleDeadlines);
    limitBundleBody(reply, &ViewModel::directDownloadReply);
    const BodyStream stream = streamBundleBody(reply, &ViewModel::directDownloadReply);
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, stream] { handleDirectDownloadReply(reply, stream); });
    return true;
}

void ViewModel::handleDirectDownloadReply(QNetworkReply *reply, const BodyStream &stream)
{
    if (!reply) {
        emit externalResourceLoadFinished(false, tr("Invalid network reply."));
        return;
    }
    const http::FinishedReply finished = http::takeFinished(reply, directDownloadReply);
    if (!finished)
        return;

    const QVariant target = reply->attribute(QNetworkRequest::RedirectionTargetAttribute);
    if (target.isValid() && !target.isNull()) {
        followDirectDownloadRedirect(reply->url(), target.toUrl());
        return;
    }
    if (retryDirectDownload(reply))
        return;
    if (reply->error() != QNetworkReply::NoError) {
        const QString message = tr("Failed to download RCC from %1: %2")
                                    .arg(reply->url().toString(), http::errorText(reply));
        qWarning() << message;
        emit externalResourceLoadFinished(false, message);
        return;
    }
    // Only the answer that carries the bundle can vouch for it; redirects on the way do not.
    DeliveredBundle bundle = receivedBundle(reply, stream);
    deliverPayload(bundle, reply->rawHeader(kBundleSignatureHeader), reply->url(),
                   Delivery::DirectDownload);
}

void ViewModel::followDirectDownloadRedirect(const QUrl &from, const QUrl &location)
{
    const redirect::Decision next = redirect::decide(from, location, visitedDownloadUrls,
                                                     directDownloadRedirectCount, kMaxRedirects);
    switch (next.verdict) {
    case redirect::Verdict::Follow:
        ++directDownloadRedirectCount;
        visitedDownloadUrls.insert(next.toKey);
        if (!requestDirectDownload(next.target))
            emit externalResourceLoadFinished(false, tr("Failed to follow RCC redirect."));
        return;
    case redirect::Verdict::InvalidTarget:
        emit externalResourceLoadFinished(
            false, tr("Invalid RCC redirect target from: %1").arg(next.fromKey));
        return;
    case redirect::Verdict::Insecure:
        qWarning() << "Refused RCC redirect from HTTPS to an insecure target:" << next.toKey;
        emit externalResourceLoadFinished(
            false, tr("Refused insecure RCC redirect to: %1").arg(next.toKey));
        return;
    case redirect::Verdict::Loop:
        emit externalResourceLoadFinished(
            false, tr("RCC server redirect loop detected at: %1").arg(next.toKey));
        return;
    case redirect::Verdict::TooMany:
        emit externalResourceLoadFinished(
            false, tr("Too many RCC redirects. Last URL: %1").arg(next.toKey));
        return;
    }
}

// Some file hosts answer 406, or redirect in circles, until asked for the raw bytes; the hints
// below make common ones serve the file instead of a preview page.
bool ViewModel::retryDirectDownload(QNetworkReply *reply)
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if ((status != 406 && reply->error() != QNetworkReply::TooManyRedirectsError) ||
        directDownloadRetryCount >= kMaxRetries)
        return false;
    QUrl retryUrl = directDownloadUrl;
    QUrlQuery query(retryUrl);
    query.addQueryItem(directDownloadRetryCount == 0 ? QStringLiteral("download")
                                                     : QStringLiteral("raw"),
                       QStringLiteral("1"));
    retryUrl.setQuery(query);
    ++directDownloadRetryCount;
    if (!requestDirectDownload(retryUrl))
        emit externalResourceLoadFinished(false, tr("Failed to retry RCC download."));
    return true;
}
