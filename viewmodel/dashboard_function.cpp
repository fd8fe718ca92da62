#include "viewmodel/viewmodel.h"

bool ViewModel::requestDashboardFunction(QUrl, QString)
{
    return false;
}
void ViewModel::handleDashboardFunctionReply(QNetworkReply *) {}
