// Construction and the session store: the settings file, the accessors, the token timer.

#include "auth/authhandler.h"
#include "auth/session_keys.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>

#include <limits>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

constexpr int kRccCheckIntervalMs = 300000;
constexpr qint64 kDefaultRenewalMs = 3600000;

// The settings object replaces its file atomically and gives the new file the mode of the one it
// replaces; without one, the umask's (0644 as a rule) until our chmod after the write, and the
// tokens are readable by others in between. So the store exists, owner-only, before the first
// write.
void createOwnerOnlyStore(const QString &path)
{
#ifdef Q_OS_UNIX
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder))
        return; // the settings object reports its own failure to write
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0) {
        qWarning() << "Could not create the session store owner-only:" << path
                   << std::strerror(errno);
        return;
    }
    // A store left by an earlier version may be wider.
    (void)::fchmod(fd, S_IRUSR | S_IWUSR);
    ::close(fd);
#else
    Q_UNUSED(path);
#endif
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
      rccCheckRetried(false), rccCheckAfterRefresh(false), rccClearPending(false), sessionCounter(1)
{
    createOwnerOnlyStore(settings.fileName());

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

void AuthHandler::setRequestDeadlines(const http::Deadlines &deadlines)
{
    requestDeadlines = deadlines;
    restApi.setDeadlines(deadlines);
}

QSettings &AuthHandler::Settings()
{
    return settings;
}

QString AuthHandler::GetAccessToken()
{
    const QString stored = settings.value(sessionkey::kAccessToken).toString().trimmed();
    if (stored.isEmpty())
        return QString();
    return DecodeStoredValue(stored).trimmed();
}

bool AuthHandler::HasStoredSession()
{
    for (const QLatin1String key :
         {sessionkey::kUserId, sessionkey::kEmail, sessionkey::kRefreshToken}) {
        if (settings.value(key).toString().isEmpty())
            return false;
    }
    return true;
}

void AuthHandler::StartTokenTimer()
{
    const QString key = QString(sessionkey::kTokenLifetime);
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

void AuthHandler::ResumeSession()
{
    rccCheckTimer.start();
    GetNewAccessToken();
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
    ++sessionCounter;
    settings.clear();
    syncSettings();
}

void AuthHandler::syncSettings()
{
    settings.sync();
#ifdef Q_OS_UNIX
    // The store holds the session tokens: readable by its owner only.
    QFile::setPermissions(settings.fileName(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
#endif
}
