#include "viewmodel/viewmodel.h"

#include <QDebug>

#include "net/http_request.h"

// A body over the cap is refused as soon as the reply shows it, by its declared length or by
// what has arrived: nothing of it is kept.
void ViewModel::limitBundleBody(QNetworkReply *reply, QNetworkReply *ViewModel::*slot)
{
    http::limitReplyBody(reply, maxBundleBytes, [this, reply, slot](qint64 bytes) {
        if (this->*slot != reply)
            return;
        qWarning() << "Refused RCC transfer over the size limit:" << reply->url()
                   << "bytes=" << bytes << "limit=" << maxBundleBytes;
        http::dropReply(this->*slot);
        emit externalResourceLoadFinished(
            false, tr("Downloaded RCC file is too large: more than %1 bytes.").arg(maxBundleBytes));
    });
}
