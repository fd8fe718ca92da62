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
    // "user-dashboards". The slash-terminated form goes first so that a trailing slash survives.
    value.replace(QLatin1String("/wp-content/uploads/user_dashboard/"),
                  QLatin1String("/wp-content/uploads/user-dashboards/"));
    value.replace(QLatin1String("/wp-content/uploads/user_dashboard"),
                  QLatin1String("/wp-content/uploads/user-dashboards"));
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
        QString value = QString::fromUtf8(raw);
        if (name == QLatin1String("CORVALEN_RCC_DASHBOARD_BASE_URL"))
            return normalizeDashboardBaseUrl(value);
        return value;
    }

    if (name == QLatin1String("CORVALEN_AUTH_BASE_URL"))
        return defaultAuthBaseUrl().trimmed();
    return {};
}
