#include "viewmodel/viewmodel.h"

#include <utility>

#include "app/config.h"
#include "viewmodel/author_mode.h"

namespace {

QUrl withUserId(QUrl url, const QString &id)
{
    // Every reserved character of the id is escaped: a server that reads its query as a form
    // takes a bare '+' for a space, and '&', '=' or '#' would end the value.
    QString query = url.query(QUrl::FullyEncoded);
    if (!query.isEmpty())
        query += QLatin1Char('&');
    query += QStringLiteral("user_id=") + QString::fromLatin1(QUrl::toPercentEncoding(id));
    url.setQuery(query, QUrl::StrictMode);
    return url;
}

} // namespace

QString ViewModel::configuredDashboardFunctionUrl()
{
    const QString configured =
        configValue(QStringLiteral("CORVALEN_RCC_DASHBOARD_FUNCTION_URL")).trimmed();
    if (!configured.isEmpty())
        return normalizedDashboardFunctionUrl(QUrl(configured, QUrl::TolerantMode));
    // The functions live beside the authentication service: same URL, ".functions." host.
    QUrl base(configValue(QStringLiteral("CORVALEN_AUTH_BASE_URL")).trimmed(), QUrl::TolerantMode);
    if (!base.isValid())
        return QString();
    QString host = base.host(QUrl::FullyDecoded);
    host.replace(QLatin1String(".auth."), QLatin1String(".functions."));
    base.setHost(host);
    return normalizedDashboardFunctionUrl(base);
}

bool ViewModel::resolveAndDownloadExternalResourceForCurrentUser()
{
    if (!networkManager) {
        emit externalResourceLoadFinished(false, tr("Network manager is not initialized."));
        return false;
    }
    const QString id = userId.trimmed();
    if (id.isEmpty()) {
        emit externalResourceLoadFinished(
            false, tr("Missing authenticated user id. Please sign in again and retry."));
        return false;
    }
    if (authorMode) {
        // After the dashboard the page has just released: a component the old one still uses
        // would otherwise survive the cache clearing, and be created again.
        afterMessageWaits([this] {
            if (userSignedIn && authorMode->prepareLoad())
                emit externalResourceLoadFinished(true, tr("Dashboard loaded from its folder."));
        });
        return true;
    }
    // An announced update must come from the network even when a cached copy exists, and so
    // must a dashboard asked for again after the cached one failed.
    const bool fromNetwork = dashboardUpdatePending || std::exchange(skipCacheOnce, false);
    if (!fromNetwork && loadCachedDashboard(id))
        return true;

    const QString functionUrl = configuredDashboardFunctionUrl();
    if (functionUrl.isEmpty()) {
        emit externalResourceLoadFinished(
            false, tr("Missing dashboard function URL. Set CORVALEN_RCC_DASHBOARD_FUNCTION_URL."));
        return false;
    }
    QUrl url(functionUrl, QUrl::TolerantMode);
    if (!url.isValid()) {
        emit externalResourceLoadFinished(false, tr("Invalid dashboard RCC function URL."));
        return false;
    }
    const QString token = authHandler.GetAccessToken();
    if (token.isEmpty()) {
        emit externalResourceLoadFinished(
            false, tr("Missing access token. Please sign in again and retry."));
        return false;
    }

    return requestDashboardFunction(withUserId(url, id), token);
}

QString ViewModel::normalizedDashboardFunctionUrl(QUrl url)
{
    if (!url.isValid())
        return {};
    static const QString endpoint = QStringLiteral("/get_dashboard_rcc");
    static const QString legacyEndpoint = QStringLiteral("/get_dashboard_rcc_url");
    QString path = url.path(QUrl::FullyDecoded).trimmed();
    if (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    if (path.endsWith(legacyEndpoint)) {
        path.chop(legacyEndpoint.size());
        path += endpoint;
    } else if (!path.endsWith(endpoint)) {
        path += endpoint;
    }
    url.setPath(path, QUrl::DecodedMode);
    return url.toString();
}

bool ViewModel::reloadDashboardFromServer()
{
    skipCacheOnce = true;
    const bool requested = resolveAndDownloadExternalResourceForCurrentUser();
    skipCacheOnce = false;
    return requested;
}
