#include "viewmodel/viewmodel.h"

bool ViewModel::registerExternalResource(QString)
{
    return false;
}
QString ViewModel::dashboardCacheFilePath(QString)
{
    return {};
}
bool ViewModel::loadCachedDashboard(QString)
{
    return false;
}
void ViewModel::deleteCachedDashboard(QString) {}
void ViewModel::unregisterCurrentResource() {}
bool ViewModel::cacheAndRegisterPayload(QByteArray, QString, QString)
{
    return false;
}
void ViewModel::clearComponentCacheIfEngine() {}
