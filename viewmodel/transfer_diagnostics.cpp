#include "viewmodel/viewmodel.h"

#include <QDebug>
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
