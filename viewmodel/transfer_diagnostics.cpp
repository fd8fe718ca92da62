#include "viewmodel/viewmodel.h"

#include <QDebug>

#include "auth/http_request.h"
#include <QNetworkRequest>

QString ViewModel::joinRawHeaders(const QList<QNetworkReply::RawHeaderPair> &pairs)
{
    QStringList pieces;
    pieces.reserve(pairs.size());
    for (const auto &pair : pairs)
        pieces.append(QString::fromLatin1(pair.first) + QLatin1Char('=') +
                      QString::fromLatin1(pair.second));
    return pieces.join(QStringLiteral(", "));
}

void ViewModel::connectDashboardReplyDiagnostics(QNetworkReply *reply)
{
    connect(reply, &QNetworkReply::metaDataChanged, this, [reply] {
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        const QString statusText =
            status.isValid() && !status.isNull() ? status.toString() : QStringLiteral("<none>");
        // One multi-argument arg() so that percent signs inside the URL are never taken as
        // placeholders.
        qInfo().noquote() << QStringLiteral("Dashboard RCC metaDataChanged: url=%1 status=%2 "
                                            "headers={%3}")
                                 .arg(reply->url().toString(), statusText,
                                      joinRawHeaders(reply->rawHeaderPairs()));
    });
    connect(reply, &QNetworkReply::readyRead, this, [reply] {
        qInfo() << "Dashboard RCC readyRead:"
                << "url=" << reply->url() << "bytesAvailable=" << reply->bytesAvailable();
    });
    connect(reply, &QNetworkReply::downloadProgress, this, [reply](qint64 received, qint64 total) {
        qInfo() << "Dashboard RCC downloadProgress:"
                << "url=" << reply->url() << "received=" << received << "total=" << total;
    });
    connect(reply, &QNetworkReply::errorOccurred, this, [reply](QNetworkReply::NetworkError code) {
        qWarning() << "Dashboard RCC errorOccurred:"
                   << "url=" << reply->url() << "code=" << code
                   << "errorString=" << reply->errorString()
                   << "bytesAvailable=" << reply->bytesAvailable();
    });
}

// A body over the cap is refused as soon as the reply shows it, by its declared length or by
// what has arrived: the network layer would otherwise hold all of it in memory.
void ViewModel::limitBundleBody(QNetworkReply *reply, QNetworkReply *ViewModel::*slot)
{
    const auto refuseIfTooLarge = [this, reply, slot](qint64 bytes) {
        if (bytes <= maxBundleBytes || this->*slot != reply)
            return;
        qWarning() << "Refused RCC transfer over the size limit:" << reply->url()
                   << "bytes=" << bytes << "limit=" << maxBundleBytes;
        http::dropReply(this->*slot);
        emit externalResourceLoadFinished(
            false, tr("Downloaded RCC file is too large: more than %1 bytes.").arg(maxBundleBytes));
    };
    connect(reply, &QNetworkReply::metaDataChanged, this, [reply, refuseIfTooLarge] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && !length.isNull())
            refuseIfTooLarge(length.toLongLong());
    });
    connect(reply, &QNetworkReply::downloadProgress, this,
            [refuseIfTooLarge](qint64 received, qint64 total) {
                refuseIfTooLarge(qMax(received, total));
            });
}
