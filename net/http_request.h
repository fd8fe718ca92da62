#pragma once

#include <QNetworkRequest>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>

class QNetworkReply;

// The one place where the client's HTTP requests get their common settings, and where replies
// that are no longer wanted are let go.
namespace http {

// A transfer that neither sends nor receives a byte for this long is abandoned. Without it a
// server that accepts and never answers would leave the caller waiting forever. The clock
// restarts on every piece of the body but does not see the bytes of the response head: the whole
// head must arrive within this time of the request.
inline constexpr int kTransferTimeoutMs = 30000;

// A peer that trickles a byte now and then keeps the inactivity time-out from ever firing. The
// small exchanges with the authentication service therefore have a deadline for the whole
// exchange, and bundle downloads, which may be large on a slow link, a minimum average rate.
inline constexpr int kAuthDeadlineMs = 60000;
inline constexpr qint64 kMinBundleBytesPerSecond = 16 * 1024;
inline constexpr int kBundleRateGraceMs = 30000;

struct Deadlines
{
    int inactivityMs = kTransferTimeoutMs; // no byte either way for this long
    int totalMs = 0;                       // > 0: the whole exchange, redirects included
    qint64 minBytesPerSecond = 0;          // > 0: received bytes over the time since the request,
    int rateGraceMs = 0;                   //      checked once this much time has passed

    static Deadlines auth() { return {kTransferTimeoutMs, kAuthDeadlineMs, 0, 0}; }
    static Deadlines bundle()
    {
        return {kTransferTimeoutMs, 0, kMinBundleBytesPerSecond, kBundleRateGraceMs};
    }
};

enum class Redirects
{
    FollowNoLessSafe, // the network layer follows redirects that keep the security level
    SameOrigin,       // the request carries a secret: redirects within its origin only
    Manual,           // the caller reads the redirect answer and decides
};

// HTTP/1.1 only, the given redirect handling, and an "Authorization:
// Bearer" header when a token is given. A request with a token never follows a redirect to
// another origin, whatever the caller asked for: FollowNoLessSafe becomes SameOrigin.
QNetworkRequest buildRequest(const QUrl &url, Redirects redirects,
                             const QString &bearerToken = QString());

// The request of a redirect answer from `from`, repeated at `target` by a caller that follows
// redirects itself: one hop fewer left, and no bearer token once the target is on another origin.
QNetworkRequest redirectedRequest(QNetworkRequest request, const QUrl &from, const QUrl &target);

// Every reply of a request from buildRequest goes through here right after it is sent: the
// request has no time limit of its own. The reply is aborted when a limit of `deadlines` is
// reached, and timedOut() then tells its finished handler why. For SameOrigin requests it
// follows redirects within the origin of the request and refuses the others before anything
// reaches the other origin; the reply then fails, with refusedRedirect() set.
void supervise(QNetworkReply *reply, const Deadlines &deadlines = Deadlines());
bool timedOut(const QNetworkReply *reply);
bool refusedRedirect(const QNetworkReply *reply);
QString refusedRedirectText(const QNetworkReply *reply);
// A 2xx status: the server answered with what was asked for.
inline bool isSuccess(int status)
{
    return status >= 200 && status <= 299;
}

// The reason a reply failed, in words for the user: the time-outs and refusals above when they
// apply, else the network layer's error text.
QString errorText(const QNetworkReply *reply);

// Answers of the authentication service and of the update check are small JSON documents;
// anything larger is refused rather than held in memory.
inline constexpr qint64 kMaxAuthReplyBytes = 1024 * 1024;

// Aborts the reply as soon as its Content-Length, or the body bytes received so far (after
// decompression), exceed maxBytes; bodyTooLarge() then tells its finished handler why. Given
// onTooLarge, that is called instead, once, with the size that crossed the cap, from inside the
// reply's signals, and decides what becomes of the reply. The cap holds whether the caller reads
// the body as it arrives or only once it is complete.
void limitReplyBody(QNetworkReply *reply, qint64 maxBytes,
                    std::function<void(qint64 bytes)> onTooLarge = {});
bool bodyTooLarge(const QNetworkReply *reply);
QString bodyTooLargeText(qint64 maxBytes);

// Forgets an in-flight reply before aborting it: abort() runs its finished handler at once, and
// that handler must see it as superseded. The deletion is scheduled on the reply itself.
void dropReply(QNetworkReply *&member);

struct DeleteLater
{
    void operator()(QNetworkReply *reply) const;
};
using FinishedReply = std::unique_ptr<QNetworkReply, DeleteLater>;

// The first step of a finished handler: the reply if it is still the one in flight in
// `member`, which then forgets it, else null. Either way the reply is deleted once the handler
// is done with it; a superseded one is only let go.
FinishedReply takeFinished(QNetworkReply *reply, QNetworkReply *&member);

} // namespace http
