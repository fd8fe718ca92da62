#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QObject>
#include <QSettings>
#include <QString>
#include <QTimer>

#include "auth/restapi.h"

// Standard base64 of the UTF-8 text, as the session tokens are stored.
QString EncodeStoredValue(const QString &value);
// Lenient inverse of EncodeStoredValue: characters outside the alphabet are skipped.
QString DecodeStoredValue(const QString &stored);
// Delay before renewing an access token that lives lifetimeSeconds.
qint64 tokenRenewalIntervalMs(qint64 lifetimeSeconds);

// The update check's answer: "rcc_update_available" in the user record's "metadata". Anything
// else (not JSON, missing, another type) reads as false.
bool readRccUpdateFlag(const QByteArray &body);

class AuthHandler : public QObject
{
    Q_OBJECT
public:
    explicit AuthHandler(QObject *parent = nullptr);
    ~AuthHandler() override;

    QSettings &Settings();
    QString GetAccessToken();
    bool HasStoredSession();
    void StartTokenTimer();
    void ClearSession();
    // A stored session taken up without signing in: renewed now, and checked for dashboard
    // updates from now on.
    void ResumeSession();
    // While set, a renewal that reaches no server is not a failed one: the session is kept, and
    // BackendUnreachable says so. The caller decides when to renew again.
    void setKeepSessionWhenUnreachable(bool keep) { keepSessionWhenUnreachable = keep; }

    void SignIn(const QString &email, const QString &password);
    void ResetPassword(const QString &email);

    void CheckRccUpdate();
    void ClearRccUpdate();

    // Time limits of sign-in, reset, refresh, update check and acknowledgement from now on.
    void setRequestDeadlines(const http::Deadlines &deadlines);

signals:
    void SignInResponse(QString response);
    void SignOutUser();
    void RccUpdateAvailable();
    void AccessTokenRefreshed();
    void BackendUnreachable();

public slots:
    void ParseResponse(QByteArray response);
    void GetNewAccessToken();

private:
    friend class AuthHandlerTest; // reads timer state without waiting minutes

    bool runSessionStep(const QJsonObject &object);
    void takeSignInSession(const QJsonObject &session);
    bool takeRefreshedToken(const QJsonObject &reply);
    void runRefreshFailureStep();
    void syncSettings();

    RestApi restApi;
    bool refreshAbandoned;
    bool refreshInFlight;
    int refreshFailures;
    QString refreshToken;
    QSettings settings;
    QTimer tokenTimer;
    QNetworkAccessManager network;
    QTimer rccCheckTimer;
    bool rccCheckRetried;
    bool rccCheckAfterRefresh;
    bool rccClearPending;
    // Tags each refresh; a new session starts at sign-out and at every stored sign-in, so a
    // refresh reply of an earlier session can be told apart and dropped.
    quint64 sessionCounter;
    bool keepSessionWhenUnreachable = false;
    http::Deadlines requestDeadlines = http::Deadlines::auth();
};
