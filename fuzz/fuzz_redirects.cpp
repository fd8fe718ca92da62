// One redirect decision: the first byte is the number of hops already followed, then lines:
// the answering URL, the Location value, and the URL keys already requested.
#include <QList>

#include "net/redirect_policy.h"

namespace {
bool isHttp(const QUrl &url)
{
    return url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https");
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const int followed = data[0] % 16;
    const QList<QByteArray> lines =
        QByteArray(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1)).split('\n');
    const QUrl from(QString::fromUtf8(lines.value(0)), QUrl::TolerantMode);
    const QUrl location(QString::fromUtf8(lines.value(1)), QUrl::TolerantMode);
    QSet<QString> visited;
    for (qsizetype i = 2; i < lines.size(); ++i)
        visited.insert(QString::fromUtf8(lines.at(i)));

    const redirect::Decision d = redirect::decide(from, location, visited, followed, 10);
    if (d.verdict == redirect::Verdict::Follow &&
        (!d.target.isValid() || !isHttp(d.target) || followed >= 10 || d.toKey == d.fromKey ||
         visited.contains(d.toKey) || d.toKey != redirect::urlKey(d.target) ||
         (from.scheme() == QLatin1String("https") && d.target.scheme() != QLatin1String("https"))))
        __builtin_trap();
    if (redirect::sameOrigin(from, d.target) != redirect::sameOrigin(d.target, from))
        __builtin_trap();
    return 0;
}
