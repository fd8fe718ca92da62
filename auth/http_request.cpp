#include "auth/http_request.h"

#include "viewmodel/redirect_policy.h"

#include <QNetworkReply>

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
    request.setTransferTimeout(kTransferTimeoutMs);
    if (!bearerToken.isEmpty())
        request.setRawHeader("Authorization",
                             QStringLiteral("Bearer %1").arg(bearerToken).toUtf8());
    return request;
}

namespace {
const char kTooLargeProperty[] = "corvalenBodyTooLarge";
const char kRefusedRedirectProperty[] = "corvalenRefusedRedirect";

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

void supervise(QNetworkReply *reply)
{
    const QVariant policy = reply->request().attribute(QNetworkRequest::RedirectPolicyAttribute);
    if (policy.toInt() == QNetworkRequest::UserVerifiedRedirectPolicy)
        guardRedirects(reply);
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
    if (refusedRedirect(reply))
        return refusedRedirectText(reply);
    return reply->errorString();
}

void limitReplyBody(QNetworkReply *reply, qint64 maxBytes)
{
    // Aborting from inside the reply's own signals upsets its bookkeeping, so the abort is
    // queued; until it runs, whatever arrives is thrown away.
    const auto refuse = [reply] {
        reply->setProperty(kTooLargeProperty, true);
        QMetaObject::invokeMethod(reply, &QNetworkReply::abort, Qt::QueuedConnection);
    };
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, maxBytes, refuse] {
        bool known = false;
        const qint64 declared =
            reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
        if (known && declared > maxBytes && !bodyTooLarge(reply))
            refuse();
    });
    // The handlers read the body only when it is complete, so what waits here is all of it.
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply, maxBytes, refuse] {
        if (!bodyTooLarge(reply) && reply->bytesAvailable() > maxBytes)
            refuse();
        if (bodyTooLarge(reply))
            reply->skip(reply->bytesAvailable());
    });
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

} // namespace http
