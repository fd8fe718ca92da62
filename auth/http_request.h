#pragma once

#include <QNetworkRequest>
#include <QString>
#include <QUrl>

class QNetworkReply;

// The one place where the client's HTTP requests get their common settings, and where replies
// that are no longer wanted are let go.
namespace http {

// A transfer that neither sends nor receives a byte for this long is abandoned. Without it a
// server that accepts and never answers would leave the caller waiting forever. Qt restarts the
// clock on every piece of the body but does not see the bytes of the response head (6.4): the
// whole head must arrive within this time of the request.
inline constexpr int kTransferTimeoutMs = 30000;

enum class Redirects
{
    FollowNoLessSafe, // the network layer follows redirects that keep the security level
    SameOrigin,       // the request carries a secret: redirects within its origin only
    Manual,           // the caller reads the redirect answer and decides
};

// HTTP/1.1 only, the given redirect handling, the inactivity time-out, and an "Authorization:
// Bearer" header when a token is given. A request with a token never follows a redirect to
// another origin, whatever the caller asked for: FollowNoLessSafe becomes SameOrigin.
QNetworkRequest buildRequest(const QUrl &url, Redirects redirects,
                             const QString &bearerToken = QString());

// Every reply of a request from buildRequest goes through here right after it is sent. For
// SameOrigin requests it follows redirects within the origin of the request and refuses the
// others before anything reaches the other origin; the reply then fails, with
// refusedRedirect() set.
void supervise(QNetworkReply *reply);
bool refusedRedirect(const QNetworkReply *reply);
QString refusedRedirectText(const QNetworkReply *reply);
// The reason a reply failed, in words for the user: the refusals above when they apply, else
// the network layer's error text.
QString errorText(const QNetworkReply *reply);

// Answers of the authentication service and of the update check are small JSON documents;
// anything larger is refused rather than held in memory.
inline constexpr qint64 kMaxAuthReplyBytes = 1024 * 1024;

// Aborts the reply as soon as its Content-Length, or the body bytes received so far (after
// decompression), exceed maxBytes; bodyTooLarge() then tells its finished handler why.
void limitReplyBody(QNetworkReply *reply, qint64 maxBytes);
bool bodyTooLarge(const QNetworkReply *reply);
QString bodyTooLargeText(qint64 maxBytes);

// Forgets an in-flight reply before aborting it: abort() runs its finished handler at once, and
// that handler must see it as superseded. The deletion is scheduled on the reply itself.
void dropReply(QNetworkReply *&member);

} // namespace http
