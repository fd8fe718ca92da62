#include "net/redirect_policy.h"

namespace redirect {

namespace {

bool isHttpScheme(const QString &scheme)
{
    return scheme.compare(QLatin1String("http"), Qt::CaseInsensitive) == 0 ||
           scheme.compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
}

int effectivePort(const QUrl &url)
{
    const bool https = url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
    return url.port(https ? 443 : 80);
}

} // namespace

QString urlKey(const QUrl &url)
{
    return url.toString(QUrl::FullyEncoded | QUrl::RemoveFragment);
}

Decision decide(const QUrl &from, const QUrl &location, const QSet<QString> &visited, int followed,
                int maxHops)
{
    Decision d;
    d.target = from.resolved(location);
    d.fromKey = urlKey(from);
    d.toKey = urlKey(d.target);
    if (!d.target.isValid() || d.toKey.isEmpty() || !isHttpScheme(d.target.scheme()))
        d.verdict = Verdict::InvalidTarget; // never to local files or other schemes
    else if (from.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 &&
             d.target.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) != 0)
        d.verdict = Verdict::Insecure; // a bundle is code: once on TLS it stays there
    else if (d.toKey == d.fromKey || visited.contains(d.toKey))
        d.verdict = Verdict::Loop;
    else if (followed >= maxHops)
        d.verdict = Verdict::TooMany;
    else
        d.verdict = Verdict::Follow;
    return d;
}

bool sameOrigin(const QUrl &a, const QUrl &b)
{
    return a.scheme().compare(b.scheme(), Qt::CaseInsensitive) == 0 &&
           a.host().compare(b.host(), Qt::CaseInsensitive) == 0 &&
           effectivePort(a) == effectivePort(b);
}

} // namespace redirect
