#pragma once

#include <QSet>
#include <QString>
#include <QUrl>

// Which redirects a bundle transfer follows. Pure functions of the URLs involved, so that every
// rule can be checked without a server.
namespace redirect {

// Loop detection compares URLs without their fragment: a fragment never reaches the server.
QString urlKey(const QUrl &url);

enum class Verdict
{
    Follow,
    InvalidTarget, // unparsable, or a scheme other than HTTP(S)
    Insecure,      // from HTTPS to anything else
    Loop,          // back to the answering URL or to one already requested
    TooMany,       // the hop budget is spent
};

struct Decision
{
    Verdict verdict = Verdict::InvalidTarget;
    QUrl target; // the location resolved against the answering URL
    QString fromKey;
    QString toKey;
};

// One redirect answer of `from` pointing at `location`, after `followed` hops of at most
// `maxHops`; `visited` holds the keys already requested in this chain.
Decision decide(const QUrl &from, const QUrl &location, const QSet<QString> &visited, int followed,
                int maxHops);

// Same scheme, host and port (default ports filled in): a bearer token may go along.
bool sameOrigin(const QUrl &a, const QUrl &b);

} // namespace redirect
