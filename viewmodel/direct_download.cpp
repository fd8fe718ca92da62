#include "viewmodel/viewmodel.h"

bool ViewModel::downloadAndRegisterExternalResource(QString)
{
    return false;
}
bool ViewModel::requestDirectDownload(QUrl)
{
    return false;
}
void ViewModel::handleDirectDownloadReply(QNetworkReply *) {}
