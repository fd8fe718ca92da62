#include "viewmodel/viewmodel.h"

#include <QDebug>
#include <QNetworkRequest>

#include "auth/http_request.h"

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
