// Sign-in, password reset and token refresh: the requests and the one reply classifier.

#include "auth/authhandler.h"
#include "auth/session_keys.h"

#include "app/config.h"

#include <QJsonDocument>
#include <QJsonValue>

namespace {

constexpr int kRefreshRetryMs = 30000;
constexpr int kRefreshAttempts = 3;

const char kInvalidResponse[] = "Invalid response from server";

} // namespace

void AuthHandler::SignIn(const QString &email, const QString &password)
{
    const QJsonObject body{{QStringLiteral("email"), email},
                           {QStringLiteral("password"), password}};
    restApi.Post(QStringLiteral("/signin/email-password"), QJsonDocument(body));
}

void AuthHandler::ResetPassword(const QString &email)
{
    QJsonObject body{{QStringLiteral("email"), email}};
    const QString redirect = configValue(QStringLiteral("CORVALEN_RESET_PASSWORD_REDIRECT_URL"));
    if (!redirect.isEmpty())
        body.insert(QStringLiteral("options"),
                    QJsonObject{{QStringLiteral("redirectTo"), redirect}});
    restApi.Post(QStringLiteral("/user/password/reset"), QJsonDocument(body));
}

namespace {

QString errorMessageOf(const QJsonObject &object)
{
    QString message = object.value(QStringLiteral("error")).toString();
    if (message.isEmpty()) {
        message = object.value(QStringLiteral("message")).toString().trimmed();
        if (message.isEmpty())
            message = object.value(QStringLiteral("error_description")).toString().trimmed();
        if (message.isEmpty() && !object.isEmpty())
            message = QString::fromLatin1(kInvalidResponse);
    }
    return message;
}

} // namespace

void AuthHandler::ParseResponse(QByteArray response)
{
    // Renewing or failing the current session with an earlier session's answer would hand one
    // user's tokens to another, or sign them out for someone else's expired token.
    const quint64 tag = restApi.answeredTag();
    if (tag != 0 && tag != sessionCounter)
        return;

    if (refreshInFlight && keepSessionWhenUnreachable && restApi.answeredUnreachable()) {
        refreshInFlight = false;
        emit BackendUnreachable();
        return;
    }

    const QJsonDocument document = QJsonDocument::fromJson(response);
    if (document.isNull()) {
        if (refreshInFlight)
            runRefreshFailureStep();
        else
            emit SignInResponse(QString::fromLatin1(kInvalidResponse));
        return;
    }

    const QJsonObject object = document.object();
    // A reply that carries a session or a renewed token has succeeded, whatever else it holds.
    // Reading an "error" beside it as well would answer one sign-in twice (signed in, then an
    // error), or count a renewal that took effect as a failed one.
    if (runSessionStep(object)) {
        if (object.contains(QStringLiteral("error")))
            qInfo() << "Ignoring the error beside a session or token in the reply:"
                    << object.value(QStringLiteral("error"));
        syncSettings();
        return;
    }

    if (refreshInFlight)
        runRefreshFailureStep();
    const QString message = errorMessageOf(object);
    syncSettings();

    if (message.isEmpty())
        return;
    if (refreshAbandoned) {
        tokenTimer.stop();
        emit SignOutUser();
        refreshFailures = 0;
        refreshAbandoned = false;
        refreshInFlight = false;
    } else {
        StartTokenTimer();
        emit SignInResponse(message);
    }
}

void AuthHandler::GetNewAccessToken()
{
    if (refreshInFlight)
        return;
    if (refreshToken.isEmpty())
        refreshToken = DecodeStoredValue(settings.value(sessionkey::kRefreshToken).toString());
    // Set before posting: a missing base URL answers inside Post.
    refreshInFlight = true;
    restApi.Post(QStringLiteral("/token"),
                 QJsonDocument(QJsonObject{{QStringLiteral("refreshToken"), refreshToken}}),
                 sessionCounter);
}

bool AuthHandler::runSessionStep(const QJsonObject &object)
{
    if (object.contains(QStringLiteral("session"))) {
        takeSignInSession(object.value(QStringLiteral("session")).toObject());
        return true;
    }
    if (object.contains(QStringLiteral("accessToken")))
        return takeRefreshedToken(object);
    return false;
}

void AuthHandler::takeSignInSession(const QJsonObject &session)
{
    const QJsonObject user = session.value(QStringLiteral("user")).toObject();
    const QString accessToken = session.value(QStringLiteral("accessToken")).toString();
    const QString newRefreshToken = session.value(QStringLiteral("refreshToken")).toString();

    refreshToken = newRefreshToken;
    QString code;
    if (accessToken.isEmpty()) {
        code = QStringLiteral("USER_ALREADY_LOGGED_IN");
    } else {
        code = QStringLiteral("USER_AUTENTICATED");
        ++sessionCounter;
        settings.setValue(sessionkey::kAccessToken, EncodeStoredValue(accessToken));
        settings.setValue(sessionkey::kRefreshToken, EncodeStoredValue(newRefreshToken));
        settings.setValue(sessionkey::kTokenLifetime,
                          session.value(QStringLiteral("accessTokenExpiresIn")).toInteger());
        settings.setValue(sessionkey::kUserId, user.value(QStringLiteral("id")).toString());
        settings.setValue(sessionkey::kEmail, user.value(QStringLiteral("email")).toString());
    }
    refreshFailures = 0;
    refreshAbandoned = false;
    refreshInFlight = false;

    StartTokenTimer();
    rccCheckTimer.start();
    emit SignInResponse(code);
}

bool AuthHandler::takeRefreshedToken(const QJsonObject &reply)
{
    const QString accessToken = reply.value(QStringLiteral("accessToken")).toString();
    // A reply without a usable token is a failed refresh, not one that empties the session.
    if (accessToken.isEmpty())
        return false;

    settings.setValue(sessionkey::kAccessToken, EncodeStoredValue(accessToken));
    // Without a new refresh token the current one stays valid for the next renewal.
    const QString newRefreshToken = reply.value(QStringLiteral("refreshToken")).toString();
    if (!newRefreshToken.isEmpty()) {
        refreshToken = newRefreshToken;
        settings.setValue(sessionkey::kRefreshToken, EncodeStoredValue(newRefreshToken));
    }
    settings.setValue(sessionkey::kTokenLifetime,
                      reply.value(QStringLiteral("accessTokenExpiresIn")).toInteger());

    refreshFailures = 0;
    refreshAbandoned = false;
    refreshInFlight = false;

    StartTokenTimer();
    emit AccessTokenRefreshed();
    if (rccCheckAfterRefresh) {
        rccCheckAfterRefresh = false;
        CheckRccUpdate();
    }
    return true;
}

void AuthHandler::runRefreshFailureStep()
{
    refreshInFlight = false;
    ++refreshFailures;
    if (refreshFailures < kRefreshAttempts) {
        refreshAbandoned = false;
        tokenTimer.start(kRefreshRetryMs);
        return;
    }
    refreshAbandoned = true;
    tokenTimer.stop();
    emit SignOutUser();
}
