#include "viewmodel/viewmodel.h"

bool ViewModel::resolveAndDownloadExternalResourceForCurrentUser()
{
    return false;
}
QString ViewModel::normalizedDashboardFunctionUrl(QUrl)
{
    return {};
}
