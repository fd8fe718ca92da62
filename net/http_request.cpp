#include "net/http_request.h"

#include "net/redirect_policy.h"

#include <QElapsedTimer>
#include <QNetworkReply>
#include <QTimer>

#include <memory>

namespace http {

QNetworkRequest buildRequest(const QUrl &url, Redirects redirects, const QString &bearerToken)
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    if (!bearerToken.isEmpty() && redirects == Redirects::FollowNoLessSafe)
        redirects = Redirects::SameOrigin;
    // SameOrigin is left to supervise(), which sees each hop before the network layer makes it:
    // the built-in policies differ between Qt versions in what they carry along.
    QNetworkRequest::RedirectPolicy policy = QNetworkRequest::NoLessSafeRedirectPolicy;
    if (redirects == Redirects::Manual)
        policy = QNetworkRequest::ManualRedirectPolicy;
    else if (redirects == Redirects::SameOrigin)
        policy = QNetworkRequest::UserVerifiedRedirectPolicy;
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, policy);
    if (!bearerToken.isEmpty())
        request.setRawHeader("Authorization",
                             QStringLiteral("Bearer %1").arg(bearerToken).toUtf8());
    return request;
}

QNetworkRequest redirectedRequest(QNetworkRequest request, const QUrl &from, const QUrl &target)
{
    request.setUrl(target);
    request.setMaximumRedirectsAllowed(request.maximumRedirectsAllowed() - 1);
    if (!redirect::sameOrigin(from, target))
        request.setRawHeader("Authorization", QByteArray()); // removes it
    return request;
}

namespace {
const char kTooLargeProperty[] = "corvalenBodyTooLarge";
const char kRefusedRedirectProperty[] = "corvalenRefusedRedirect";
const char kTimedOutProperty[] = "corvalenTimedOut"; // the failure text

QString durationText(int ms)
{
    return ms % 1000 == 0 ? QStringLiteral("%1 s").arg(ms / 1000) : QStringLiteral("%1 ms").arg(ms);
}

void endAsTooSlow(QNetworkReply *reply, const QString &text)
{
    if (reply->isFinished() || timedOut(reply))
        return;
    reply->setProperty(kTimedOutProperty, text);
    reply->abort(); // from a timer, never from inside the reply's own signals
}

// A timer that lives as long as the reply and stops when it finishes.
QTimer *replyTimer(QNetworkReply *reply, int intervalMs, bool singleShot)
{
    auto *timer = new QTimer(reply);
    timer->setTimerType(Qt::PreciseTimer); // a coarse one may fire 5 % early
    timer->setInterval(intervalMs);
    timer->setSingleShot(singleShot);
    QObject::connect(reply, &QNetworkReply::finished, timer, &QTimer::stop);
    return timer;
}

void watchTime(QNetworkReply *reply, const Deadlines &deadlines)
{
    if (deadlines.inactivityMs > 0) {
        QTimer *quiet = replyTimer(reply, deadlines.inactivityMs, true);
        QObject::connect(quiet, &QTimer::timeout, reply, [reply] {
            endAsTooSlow(reply, QStringLiteral("The server did not answer in time."));
        });
        const auto restart = [quiet] {
            if (quiet->isActive())
                quiet->start();
        };
        QObject::connect(reply, &QNetworkReply::metaDataChanged, quiet, restart);
        QObject::connect(reply, &QNetworkReply::downloadProgress, quiet, restart);
        QObject::connect(reply, &QNetworkReply::uploadProgress, quiet, restart);
        quiet->start();
    }
    if (deadlines.totalMs > 0) {
        QTimer *deadline = replyTimer(reply, deadlines.totalMs, true);
        QObject::connect(deadline, &QTimer::timeout, reply, [reply, ms = deadlines.totalMs] {
            endAsTooSlow(reply, QStringLiteral("The server was too slow: no complete answer "
                                               "within %1.")
                                    .arg(durationText(ms)));
        });
        deadline->start();
    }
    if (deadlines.minBytesPerSecond > 0) {
        // -1 until the server shows a sign of life: a silent one is the inactivity time-out's.
        auto received = std::make_shared<qint64>(-1);
        auto clock = std::make_shared<QElapsedTimer>();
        clock->start();
        QObject::connect(reply, &QNetworkReply::metaDataChanged, reply,
                         [received] { *received = qMax<qint64>(*received, 0); });
        QObject::connect(reply, &QNetworkReply::downloadProgress, reply,
                         [received](qint64 bytes, qint64) { *received = qMax<qint64>(bytes, 0); });
        QTimer *check = replyTimer(reply, qBound(10, deadlines.rateGraceMs / 10, 1000), false);
        QObject::connect(check, &QTimer::timeout, reply, [reply, received, clock, deadlines] {
            const qint64 elapsed = clock->elapsed();
            if (*received >= 0 && elapsed >= deadlines.rateGraceMs &&
                *received * 1000 < deadlines.minBytesPerSecond * elapsed)
                endAsTooSlow(reply, QStringLiteral("The server was too slow: less than %1 "
                                                   "bytes per second on average.")
                                        .arg(deadlines.minBytesPerSecond));
        });
        check->start();
    }
}

void guardRedirects(QNetworkReply *reply)
{
    const QUrl origin = reply->request().url();
    QObject::connect(reply, &QNetworkReply::redirected, reply, [reply, origin](const QUrl &to) {
        const QUrl target = origin.resolved(to);
        if (redirect::sameOrigin(origin, target)) {
            reply->redirectAllowed();
            return;
        }
        // Nothing has gone to the other origin yet: the network layer waits for the verdict.
        // Aborting from inside the reply's own signal upsets its bookkeeping, hence queued.
        reply->setProperty(kRefusedRedirectProperty, target);
        QMetaObject::invokeMethod(reply, &QNetworkReply::abort, Qt::QueuedConnection);
    });
}
} // namespace

void supervise(QNetworkReply *reply, const Deadlines &deadlines)
{
    watchTime(reply, deadlines);
    const QVariant policy = reply->request().attribute(QNetworkRequest::RedirectPolicyAttribute);
    if (policy.toInt() == QNetworkRequest::UserVerifiedRedirectPolicy)
        guardRedirects(reply);
}

bool timedOut(const QNetworkReply *reply)
{
    return reply->property(kTimedOutProperty).isValid();
}

bool refusedRedirect(const QNetworkReply *reply)
{
    return reply->property(kRefusedRedirectProperty).isValid();
}

QString refusedRedirectText(const QNetworkReply *reply)
{
    return QStringLiteral("Refused a redirect to another origin: %1")
        .arg(reply->property(kRefusedRedirectProperty).toUrl().toString(QUrl::RemoveUserInfo));
}

QString errorText(const QNetworkReply *reply)
{
    if (timedOut(reply))
        return reply->property(kTimedOutProperty).toString();
    if (refusedRedirect(reply))
        return refusedRedirectText(reply);
    return reply->errorString();
}

void limitReplyBody(QNetworkReply *reply, qint64 maxBytes,
                    std::function<void(qint64 bytes)> onTooLarge)
{
    const auto check = [reply, maxBytes, onTooLarge = std::move(onTooLarge)](qint64 bytes) {
        if (bytes <= maxBytes || bodyTooLarge(reply))
            return;
        reply->setProperty(kTooLargeProperty, true);
        if (onTooLarge)
            onTooLarge(bytes);
        else // aborting inside the reply's own signals upsets its bookkeeping
            QMetaObject::invokeMethod(reply, &QNetworkReply::abort, Qt::QueuedConnection);
    };
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, check] {
        bool known = false;
        const qint64 declared =
            reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
        if (known)
            check(declared);
    });
    // A reader that waits for the whole body leaves it all waiting here; one that reads as it
    // arrives leaves little, so the count received so far is checked as well.
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply, check] {
        check(reply->bytesAvailable());
        if (bodyTooLarge(reply)) // until the abort runs, whatever arrives is thrown away
            reply->skip(reply->bytesAvailable());
    });
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply,
                     [check](qint64 received, qint64 total) { check(qMax(received, total)); });
}

bool bodyTooLarge(const QNetworkReply *reply)
{
    return reply->property(kTooLargeProperty).toBool();
}

QString bodyTooLargeText(qint64 maxBytes)
{
    return QStringLiteral("Reply body larger than %1 bytes").arg(maxBytes);
}

void dropReply(QNetworkReply *&member)
{
    QNetworkReply *reply = member;
    if (!reply)
        return;
    member = nullptr;
    reply->abort();
    reply->deleteLater();
}

void DeleteLater::operator()(QNetworkReply *reply) const
{
    reply->deleteLater();
}

FinishedReply takeFinished(QNetworkReply *reply, QNetworkReply *&member)
{
    FinishedReply finished(reply);
    if (!reply || reply != member)
        return {};
    member = nullptr;
    return finished;
}

} // namespace http
