#include "viewmodel/viewmodel.h"

QString ViewModel::joinRawHeaders(const QList<QNetworkReply::RawHeaderPair> &)
{
    return {};
}
