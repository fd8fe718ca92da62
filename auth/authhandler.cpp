#include "auth/authhandler.h"

#include "app/config.h"
#include "auth/http_request.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonValue>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>
#include <QtDebug>

#include <limits>

namespace {

constexpr int kRefreshRetryMs = 30000;
constexpr int kRccCheckIntervalMs = 300000;
constexpr int kRefreshAttempts = 3;
constexpr qint64 kDefaultRenewalMs = 3600000;

const char kInvalidResponse[] = "Invalid response from server";

QString environmentValue(const char *name)
{
    return QString::fromUtf8(qgetenv(name)).trimmed();
}

// Read at every call rather than taken from RestApi, so the check follows the environment.
QString authBaseUrl()
{
    const QString url = environmentValue("CORVALEN_AUTH_BASE_URL");
    return url.isEmpty() ? defaultAuthBaseUrl().trimmed() : url;
}

int httpStatus(const QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

} // namespace

QString EncodeStoredValue(const QString &value)
{
    return QString::fromLatin1(value.toUtf8().toBase64());
}

QString DecodeStoredValue(const QString &stored)
{
    return QString::fromUtf8(QByteArray::fromBase64(stored.toUtf8()));
}

qint64 tokenRenewalIntervalMs(qint64 lifetimeSeconds)
{
    if (lifetimeSeconds <= 0)
        return kDefaultRenewalMs;
    // Renew ahead of expiry: a minute early, or a fifth of the lifetime for short-lived tokens.
    const qint64 margin = qMin<qint64>(60, lifetimeSeconds / 5);
    const qint64 seconds = qMax<qint64>(1, lifetimeSeconds - margin);
    return qMin(seconds, std::numeric_limits<qint64>::max() / 1000) * 1000;
}

AuthHandler::AuthHandler(QObject *parent)
    : QObject(parent), restApi(nullptr), refreshAbandoned(false), refreshInFlight(false),
      refreshFailures(0), settings(QSettings::IniFormat, QSettings::UserScope,
                                   QStringLiteral("YourCompany"), QStringLiteral("YourApp")),
      rccCheckRetried(false), rccCheckAfterRefresh(false), rccClearPending(false)
{
    connect(&restApi, &RestApi::ResponseToRequest, this, &AuthHandler::ParseResponse);

    connect(&tokenTimer, &QTimer::timeout, this, &AuthHandler::GetNewAccessToken);
    tokenTimer.setSingleShot(true);

    connect(&rccCheckTimer, &QTimer::timeout, this, [this] {
        rccCheckRetried = false;
        CheckRccUpdate();
    });
    rccCheckTimer.setInterval(kRccCheckIntervalMs);
}

AuthHandler::~AuthHandler()
{
    tokenTimer.stop();
    rccCheckTimer.stop();
    // Members go away one by one; nothing may call back into a half-destroyed handler.
    restApi.disconnect(this);
    const auto replies = network.findChildren<QNetworkReply *>();
    for (QNetworkReply *reply : replies)
        reply->disconnect(this);
}

QSettings &AuthHandler::Settings()
{
    return settings;
}

QString AuthHandler::GetAccessToken()
{
    const QString stored = settings.value(QStringLiteral("token")).toString().trimmed();
    if (stored.isEmpty())
        return QString();
    return DecodeStoredValue(stored).trimmed();
}

bool AuthHandler::HasStoredSession()
{
    for (const char *key : {"id", "email", "refreshToken"}) {
        if (settings.value(QLatin1String(key)).toString().isEmpty())
            return false;
    }
    return true;
}

void AuthHandler::StartTokenTimer()
{
    const QString key = QStringLiteral("tokenLifeTime");
    if (!settings.contains(key))
        return;
    // Non-numeric text reads as 0, which falls back to the default renewal interval.
    const qint64 lifetime = settings.value(key).toLongLong();
    if (tokenTimer.isActive())
        return;
    // QTimer takes an int; very long lifetimes are renewed at the longest interval it can hold.
    const qint64 interval =
        qMin<qint64>(tokenRenewalIntervalMs(lifetime), std::numeric_limits<int>::max());
    tokenTimer.start(static_cast<int>(interval));
}

void AuthHandler::ClearSession()
{
    if (tokenTimer.isActive())
        tokenTimer.stop();
    refreshFailures = 0;
    refreshAbandoned = false;
    refreshInFlight = false;

    rccCheckTimer.stop();
    rccCheckRetried = false;
    rccCheckAfterRefresh = false;
    rccClearPending = false;

    refreshToken.clear();
    settings.clear();
    syncSettings();
}

void AuthHandler::SignIn(const QString &email, const QString &password)
{
    const QJsonObject body{{QStringLiteral("email"), email},
                           {QStringLiteral("password"), password}};
    restApi.Post(QStringLiteral("/signin/email-password"), QJsonDocument(body));
}

void AuthHandler::ResetPassword(const QString &email)
{
    QJsonObject body{{QStringLiteral("email"), email}};
    const QString redirect = environmentValue("CORVALEN_RESET_PASSWORD_REDIRECT_URL");
    if (!redirect.isEmpty())
        body.insert(QStringLiteral("options"),
                    QJsonObject{{QStringLiteral("redirectTo"), redirect}});
    restApi.Post(QStringLiteral("/user/password/reset"), QJsonDocument(body));
}

void AuthHandler::CheckRccUpdate()
{
    const QString base = authBaseUrl();
    const QString token = GetAccessToken();
    if (base.isEmpty() || token.isEmpty())
        return;

    QNetworkRequest request =
        http::buildRequest(QUrl(base + QStringLiteral("/user"), QUrl::TolerantMode),
                           http::Redirects::FollowNoLessSafe, token);
    request.setRawHeader("Accept", "application/json");
    QNetworkReply *reply = network.get(request);
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        reply->deleteLater();
        // The session ended while the check was under way.
        if (!rccCheckTimer.isActive())
            return;

        const int status = httpStatus(reply);
        if (status == 401) {
            // One refresh per period; the check runs again once the refresh succeeds.
            if (!rccCheckRetried) {
                rccCheckRetried = true;
                rccCheckAfterRefresh = true;
                GetNewAccessToken();
            }
            return;
        }
        if (reply->error() != QNetworkReply::NoError || status != 200) {
            qWarning() << "RCC update check failed:"
                       << "HTTP" << status << reply->errorString();
            return;
        }

        const bool available = QJsonDocument::fromJson(reply->readAll())
                                   .object()
                                   .value(QStringLiteral("metadata"))
                                   .toObject()
                                   .value(QStringLiteral("rcc_update_available"))
                                   .toBool();
        if (!available)
            rccClearPending = false;
        else if (rccClearPending)
            ClearRccUpdate(); // the earlier acknowledgement has not reached the server yet
        else
            emit RccUpdateAvailable();
    });
}

void AuthHandler::ClearRccUpdate()
{
    rccClearPending = true;

    const QString url = environmentValue("CORVALEN_CLEAR_RCC_UPDATE_FUNCTION_URL");
    if (url.isEmpty())
        qWarning() << "Missing CORVALEN_CLEAR_RCC_UPDATE_FUNCTION_URL in environment/.env";
    const QString token = GetAccessToken();
    const QUrl target(url, QUrl::TolerantMode);
    if (url.isEmpty() || !target.isValid() || token.isEmpty())
        return;

    QNetworkRequest request = http::buildRequest(target, http::Redirects::FollowNoLessSafe, token);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    QNetworkReply *reply = network.post(request, QByteArrayLiteral("{}"));
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        reply->deleteLater();
        const int status = httpStatus(reply);
        if (status >= 200 && status <= 299) {
            rccClearPending = false;
            return;
        }
        qWarning() << "clear_rcc_update failed:"
                   << "HTTP" << status << reply->errorString();
        // Not re-sent here: the next check that still sees the flag sends it again.
        if (status == 401)
            GetNewAccessToken();
    });
}

void AuthHandler::ParseResponse(QByteArray response)
{
    const QJsonDocument document = QJsonDocument::fromJson(response);
    if (document.isNull()) {
        if (refreshInFlight)
            runRefreshFailureStep();
        else
            emit SignInResponse(QString::fromLatin1(kInvalidResponse));
        return;
    }

    const QJsonObject object = document.object();
    QString message;
    if (object.contains(QStringLiteral("error"))) {
        message = object.value(QStringLiteral("error")).toString();
        if (refreshInFlight)
            runRefreshFailureStep();
    }

    if (!runSessionStep(object)) {
        if (refreshInFlight)
            runRefreshFailureStep();
        if (message.isEmpty()) {
            message = object.value(QStringLiteral("message")).toString().trimmed();
            if (message.isEmpty())
                message = object.value(QStringLiteral("error_description")).toString().trimmed();
            if (message.isEmpty() && !object.isEmpty())
                message = QString::fromLatin1(kInvalidResponse);
        }
    }

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
        refreshToken = DecodeStoredValue(settings.value(QStringLiteral("refreshToken")).toString());
    // Set before posting: a missing base URL answers inside Post.
    refreshInFlight = true;
    restApi.Post(QStringLiteral("/token"),
                 QJsonDocument(QJsonObject{{QStringLiteral("refreshToken"), refreshToken}}));
}

bool AuthHandler::runSessionStep(const QJsonObject &object)
{
    if (object.contains(QStringLiteral("session"))) {
        const QJsonObject session = object.value(QStringLiteral("session")).toObject();
        const QJsonObject user = session.value(QStringLiteral("user")).toObject();
        const QString userId = user.value(QStringLiteral("id")).toString();
        const QString email = user.value(QStringLiteral("email")).toString();
        const QString accessToken = session.value(QStringLiteral("accessToken")).toString();
        const QString newRefreshToken = session.value(QStringLiteral("refreshToken")).toString();
        const qint64 lifetime = session.value(QStringLiteral("accessTokenExpiresIn")).toInteger();

        refreshToken = newRefreshToken;
        QString code;
        if (accessToken.isEmpty()) {
            code = QStringLiteral("USER_ALREADY_LOGGED_IN");
        } else {
            code = QStringLiteral("USER_AUTENTICATED");
            settings.setValue(QStringLiteral("token"), EncodeStoredValue(accessToken));
            settings.setValue(QStringLiteral("refreshToken"), EncodeStoredValue(newRefreshToken));
            settings.setValue(QStringLiteral("tokenLifeTime"), lifetime);
            settings.setValue(QStringLiteral("id"), userId);
            settings.setValue(QStringLiteral("email"), email);
        }
        refreshFailures = 0;
        refreshAbandoned = false;
        refreshInFlight = false;

        StartTokenTimer();
        rccCheckTimer.start();
        emit SignInResponse(code);
        return true;
    }

    if (object.contains(QStringLiteral("accessToken"))) {
        const QString accessToken = object.value(QStringLiteral("accessToken")).toString();
        // A reply without a usable token is a failed refresh, not one that empties the session.
        if (accessToken.isEmpty())
            return false;
        // Left over from a session that was cleared meanwhile: nobody to renew it for.
        if (!refreshInFlight && settings.value(QStringLiteral("id")).toString().isEmpty())
            return true;

        settings.setValue(QStringLiteral("token"), EncodeStoredValue(accessToken));
        // Without a new refresh token the current one stays valid for the next renewal.
        const QString newRefreshToken = object.value(QStringLiteral("refreshToken")).toString();
        if (!newRefreshToken.isEmpty()) {
            refreshToken = newRefreshToken;
            settings.setValue(QStringLiteral("refreshToken"), EncodeStoredValue(newRefreshToken));
        }
        settings.setValue(QStringLiteral("tokenLifeTime"),
                          object.value(QStringLiteral("accessTokenExpiresIn")).toInteger());

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

    return false;
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

void AuthHandler::syncSettings()
{
    settings.sync();
#ifdef Q_OS_UNIX
    // The store holds the session tokens: readable by its owner only.
    QFile::setPermissions(settings.fileName(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
#endif
}
