#include "auth/authhandler.h"

QString EncodeStoredValue(const QString &value)
{
    return QString::fromLatin1(value.toUtf8().toBase64());
}
QString DecodeStoredValue(const QString &stored)
{
    return QString::fromUtf8(QByteArray::fromBase64(stored.toUtf8()));
}
qint64 tokenRenewalIntervalMs(qint64)
{
    return 3600000;
}

AuthHandler::AuthHandler(QObject *parent)
    : QObject(parent), restApi(nullptr), refreshAbandoned(false), refreshInFlight(false),
      refreshFailures(0), settings(QSettings::IniFormat, QSettings::UserScope,
                                   QStringLiteral("YourCompany"), QStringLiteral("YourApp")),
      rccCheckRetried(false), rccCheckAfterRefresh(false), rccClearPending(false)
{
}
AuthHandler::~AuthHandler() = default;
QSettings &AuthHandler::Settings()
{
    return settings;
}
QString AuthHandler::GetAccessToken()
{
    return {};
}
bool AuthHandler::HasStoredSession()
{
    return false;
}
void AuthHandler::StartTokenTimer() {}
void AuthHandler::ClearSession() {}
void AuthHandler::SignIn(const QString &, const QString &) {}
void AuthHandler::ResetPassword(const QString &) {}
void AuthHandler::CheckRccUpdate() {}
void AuthHandler::ClearRccUpdate() {}
void AuthHandler::ParseResponse(QByteArray) {}
void AuthHandler::GetNewAccessToken() {}
bool AuthHandler::runSessionStep(const QJsonObject &)
{
    return false;
}
void AuthHandler::runRefreshFailureStep() {}
void AuthHandler::syncSettings() {}
