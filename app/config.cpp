#include "app/config.h"

QString defaultAuthBaseUrl()
{
    return QStringLiteral("https://eu.auth.corvalen.example/v1");
}
QString signUpPageUrl()
{
    return QStringLiteral("https://www.corvalen.example/signup");
}
QString normalizeDashboardBaseUrl(QString value)
{
    return value;
}
QString configValue(const QString &)
{
    return {};
}
