#include "app/config.h"

#include <QByteArray>
#include <QLatin1String>

QString defaultAuthBaseUrl()
{
    return QStringLiteral("https://eu.auth.corvalen.example/v1");
}

QString normalizeDashboardBaseUrl(QString value)
{
    // Older bundles were uploaded under "user_dashboard"; the server now serves them from
    // "user-dashboards". The slash-terminated form goes first so a trailing slash survives.
    value.replace(QLatin1String("/wp-content/uploads/user_dashboard/"),
                  QLatin1String("/wp-content/uploads/user-dashboards/"));

    // The bare form only where the path segment ends there: a plain substring replacement would
    // turn ".../user_dashboards" into ".../user-dashboardss".
    const QLatin1String legacy("/wp-content/uploads/user_dashboard");
    const QLatin1String current("/wp-content/uploads/user-dashboards");
    qsizetype from = 0;
    while ((from = value.indexOf(legacy, from)) >= 0) {
        const qsizetype end = from + legacy.size();
        const bool segmentEnds = end == value.size() || value.at(end) == QLatin1Char('?') ||
                                 value.at(end) == QLatin1Char('#');
        if (segmentEnds) {
            value.replace(from, legacy.size(), current);
            from += current.size();
        } else {
            from = end;
        }
    }
    return value;
}

QString configValue(const QString &key)
{
    const QString name = key.trimmed();
    // No variable name can hold '=' or NUL; getenv would otherwise answer a different variable
    // (or a piece of another one's value).
    if (name.isEmpty() || name.contains(QLatin1Char('=')) || name.contains(QChar(0)))
        return {};

    const QByteArray raw = qgetenv(name.toUtf8().constData()).trimmed();
    if (!raw.isEmpty()) {
        const QString value = QString::fromUtf8(raw);
        if (name == QLatin1String("CORVALEN_RCC_DASHBOARD_BASE_URL"))
            return normalizeDashboardBaseUrl(value);
        return value;
    }

    if (name == QLatin1String("CORVALEN_AUTH_BASE_URL"))
        return defaultAuthBaseUrl().trimmed();
    return {};
}
